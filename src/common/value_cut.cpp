// Value texts of bounded length: str() of a value, cut to the module's
// limit and ended with "…" when cut.
//
// Strings and the built-in containers (list, tuple, dict, set, frozenset, and
// subclasses that keep their base's text) are rendered piece by piece, the
// way their own repr writes them, and the rendering stops once the limit is
// passed: a list of a million numbers costs as much as the few elements that
// are shown. Anything else runs its own __str__ (or __repr__, inside a
// container) and its text is cut.
#include "common/pyobj.hpp"

#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace vdx {

namespace {

constexpr Py_UCS4 kEllipsis = 0x2026;

class Renderer {
public:
    explicit Renderer(Py_ssize_t limit) : limit_(limit) {}

    bool full() const { return length_ > limit_; }

    // ASCII pieces (most of any value's text) gather in a byte buffer; other
    // texts are kept as they are, in order.
    int add(PyObject* text) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        length_ += n;
        if (PyUnicode_IS_ASCII(text)) {
            ascii_.append((const char*)PyUnicode_DATA(text), (size_t)n);
            return 0;
        }
        if (flush() < 0) return -1;
        parts_.push_back(Ref::borrow(text));
        return 0;
    }
    void add_ascii(const char* text, size_t n) {
        ascii_.append(text, n);
        length_ += (Py_ssize_t)n;
    }
    int add_owned(PyObject* text) {
        if (!text) return -1;
        Ref owned = Ref::steal(text);
        return add(owned.get());
    }

    // repr(o) as a container's repr writes an element. 0 or -1 with an error.
    int element(PyObject* o) {
        if (full()) return 0;
        // The common scalars without a text object of their own.
        if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact((PyLongObject*)o)) {
            char buf[32];
            auto end = std::to_chars(buf, buf + sizeof buf, (long long)PyUnstable_Long_CompactValue((PyLongObject*)o)).ptr;
            add_ascii(buf, (size_t)(end - buf));
            return 0;
        }
        if (o == Py_None) return add_ascii("None", 4), 0;
        if (o == Py_True) return add_ascii("True", 4), 0;
        if (o == Py_False) return add_ascii("False", 5), 0;
        if (PyFloat_CheckExact(o)) {
            char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(o), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text) return -1;
            add_ascii(text, strlen(text));
            PyMem_Free(text);
            return 0;
        }
        if (Py_EnterRecursiveCall(" while making a value's text")) return -1;
        int rc = element_inner(o);
        Py_LeaveRecursiveCall();
        return rc;
    }

    // str(o) at the top. 0 or -1 with an error.
    int top(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        if (PyUnicode_CheckExact(o)) {
            Py_ssize_t n = PyUnicode_GET_LENGTH(o);
            if (n <= limit_) return add(o);
            return add_owned(PyUnicode_Substring(o, 0, limit_ + 1));
        }
        if (t->tp_str == PyBaseObject_Type.tp_str && container_kind(o) != kNone) return element(o);
        return add_owned(PyObject_Str(o));
    }

    // The joined text, cut to the limit (new ref).
    PyObject* result() {
        if (flush() < 0) return nullptr;
        Ref tuple = Ref::steal(PyTuple_New((Py_ssize_t)parts_.size()));
        if (!tuple) return nullptr;
        for (size_t i = 0; i < parts_.size(); ++i) PyTuple_SET_ITEM(tuple.get(), (Py_ssize_t)i, Py_NewRef(parts_[i].get()));
        Ref joined = Ref::steal(PyUnicode_Join(VDX_STR(""), tuple.get()));
        if (!joined) return nullptr;
        return cut_text(joined.get(), limit_);
    }

private:
    enum Kind { kNone, kList, kTuple, kDict, kSet, kFrozenSet };

    static Kind container_kind(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        if (PyList_Check(o) && t->tp_repr == PyList_Type.tp_repr) return kList;
        if (PyTuple_Check(o) && t->tp_repr == PyTuple_Type.tp_repr) return kTuple;
        if (PyDict_Check(o) && t->tp_repr == PyDict_Type.tp_repr) return kDict;
        // set's repr names the type of a subclass; only the two exact types here.
        if (t == &PySet_Type) return kSet;
        if (t == &PyFrozenSet_Type) return kFrozenSet;
        return kNone;
    }

    Py_ssize_t room() const { return limit_ - length_ + 1; }

    int element_inner(PyObject* o) {
        if (PyUnicode_CheckExact(o)) return quoted(o, false);
        if (PyBytes_CheckExact(o)) return quoted(o, true);
        switch (container_kind(o)) {
            case kList: return sequence(o, VDX_STR("["), VDX_STR("]"), false);
            case kTuple: return sequence(o, VDX_STR("("), VDX_STR(")"), true);
            case kDict: return dict(o);
            case kSet:
            case kFrozenSet: return set(o);
            case kNone: break;
        }
        return add_owned(PyObject_Repr(o));
    }

    // repr of a str or bytes, written only as far as the limit. The quote is
    // the one repr() chooses for the whole value: '"' when the value holds
    // a "'" and no '"'.
    int quoted(PyObject* o, bool bytes) {
        Py_ssize_t n = bytes ? PyBytes_GET_SIZE(o) : PyUnicode_GET_LENGTH(o);
        Py_ssize_t take = room();
        if (n <= take) return add_owned(PyObject_Repr(o));
        Ref prefix = Ref::steal(bytes ? PyBytes_FromStringAndSize(PyBytes_AS_STRING(o), take)
                                      : PyUnicode_Substring(o, 0, take));
        if (!prefix) return -1;
        auto has = [&](char c) -> int {
            if (bytes) return memchr(PyBytes_AS_STRING(o), c, (size_t)n) != nullptr;
            Py_ssize_t at = PyUnicode_FindChar(o, (Py_UCS4)c, 0, n, 1);
            return at == -2 ? -1 : at >= 0;
        };
        int single = has('\''), dbl = single > 0 ? has('"') : 0;
        if (single < 0 || dbl < 0) return -1;
        // A trailing character that makes the prefix's repr choose the same
        // quote as the whole value's; it and the closing quote are dropped.
        const char* tail = single && !dbl ? "'" : "\"";
        Ref extra = Ref::steal(bytes ? PyBytes_FromString(tail) : PyUnicode_FromString(tail));
        if (!extra) return -1;
        Ref joined = Ref::steal(bytes ? PyNumber_Add(prefix.get(), extra.get())
                                      : PyUnicode_Concat(prefix.get(), extra.get()));
        if (!joined) return -1;
        Ref r = Ref::steal(PyObject_Repr(joined.get()));
        if (!r) return -1;
        // The tail needs no escape inside the chosen quotes: drop it and the
        // closing quote.
        return add_owned(PyUnicode_Substring(r.get(), 0, PyUnicode_GET_LENGTH(r.get()) - 2));
    }

    int sequence(PyObject* o, PyObject* open, PyObject* close, bool tuple) {
        int rec = Py_ReprEnter(o);
        if (rec != 0) {
            if (rec < 0) return -1;
            return add(tuple ? VDX_STR("(...)") : VDX_STR("[...]"));
        }
        int rc = sequence_items(o, open, close, tuple);
        Py_ReprLeave(o);
        return rc;
    }

    int sequence_items(PyObject* o, PyObject* open, PyObject* close, bool tuple) {
        if (add(open) < 0) return -1;
        Py_ssize_t i = 0;
        for (; !full(); ++i) {
            // The list may change while its elements' texts are made.
            Py_ssize_t size = tuple ? PyTuple_GET_SIZE(o) : PyList_GET_SIZE(o);
            if (i >= size) break;
            Ref item = Ref::borrow(tuple ? PyTuple_GET_ITEM(o, i) : PyList_GET_ITEM(o, i));
            if (i > 0 && add(VDX_STR(", ")) < 0) return -1;
            if (element(item.get()) < 0) return -1;
        }
        if (full()) return 0;
        if (tuple && i == 1 && add(VDX_STR(",")) < 0) return -1;
        return add(close);
    }

    int dict(PyObject* o) {
        int rec = Py_ReprEnter(o);
        if (rec != 0) {
            if (rec < 0) return -1;
            return add(VDX_STR("{...}"));
        }
        int rc = dict_items(o);
        Py_ReprLeave(o);
        return rc;
    }

    int dict_items(PyObject* o) {
        if (add(VDX_STR("{")) < 0) return -1;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (!full() && PyDict_Next(o, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (!first && add(VDX_STR(", ")) < 0) return -1;
            first = false;
            if (element(key.get()) < 0 || add(VDX_STR(": ")) < 0 || element(value.get()) < 0) return -1;
        }
        if (full()) return 0;
        return add(VDX_STR("}"));
    }

    int set(PyObject* o) {
        bool frozen = Py_TYPE(o) == &PyFrozenSet_Type;
        if (PySet_GET_SIZE(o) == 0) return add(frozen ? VDX_STR("frozenset()") : VDX_STR("set()"));
        int rec = Py_ReprEnter(o);
        if (rec != 0) {
            if (rec < 0) return -1;
            return add(frozen ? VDX_STR("frozenset(...)") : VDX_STR("set(...)"));
        }
        int rc = set_items(o, frozen);
        Py_ReprLeave(o);
        return rc;
    }

    int set_items(PyObject* o, bool frozen) {
        if (add(frozen ? VDX_STR("frozenset({") : VDX_STR("{")) < 0) return -1;
        Ref it = Ref::steal(PyObject_GetIter(o));
        if (!it) return -1;
        bool first = true;
        while (!full()) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                if (PyErr_Occurred()) return -1;
                break;
            }
            if (!first && add(VDX_STR(", ")) < 0) return -1;
            first = false;
            if (element(item.get()) < 0) return -1;
        }
        if (full()) return 0;
        return add(frozen ? VDX_STR("})") : VDX_STR("}"));
    }

    int flush() {
        if (ascii_.empty()) return 0;
        PyObject* text = PyUnicode_DecodeASCII(ascii_.data(), (Py_ssize_t)ascii_.size(), nullptr);
        if (!text) return -1;
        parts_.push_back(Ref::steal(text));
        ascii_.clear();
        return 0;
    }

    Py_ssize_t limit_;
    Py_ssize_t length_ = 0;
    std::string ascii_;
    std::vector<Ref> parts_;
};

}  // namespace

PyObject* cut_text(PyObject* text, Py_ssize_t limit) {
    if (limit <= 0 || !PyUnicode_Check(text) || PyUnicode_GET_LENGTH(text) <= limit) return Py_NewRef(text);
    Ref head = Ref::steal(PyUnicode_Substring(text, 0, limit - 1));
    if (!head) return nullptr;
    Ref ellipsis = Ref::steal(PyUnicode_FromOrdinal(kEllipsis));
    return ellipsis ? PyUnicode_Concat(head.get(), ellipsis.get()) : nullptr;
}

Py_ssize_t report_text_limit() {
    PyObject* n = PyDict_GetItemWithError(module_dict(), VDX_STR("N"));
    if (!n || !PyLong_Check(n)) {
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t v = PyLong_AsSsize_t(n);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return v > 0 ? v : 0;
}

PyObject* cut_value_text(PyObject* obj, Py_ssize_t limit) {
    if (limit <= 0) return value_text(obj);
    {
        Renderer r(limit);
        if (r.top(obj) == 0) {
            PyObject* out = r.result();
            if (out) return out;
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    // A text that cannot be made piece by piece (an element's repr fails)
    // is made as str() makes it, with its fallback.
    PyErr_Clear();
    Ref whole = Ref::steal(value_text(obj));
    return whole ? cut_text(whole.get(), limit) : nullptr;
}

PyObject* report_text(PyObject* obj) { return cut_value_text(obj, report_text_limit()); }

}  // namespace vdx
