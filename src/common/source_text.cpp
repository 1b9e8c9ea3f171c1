// Python source files read as the interpreter reads them.
#include "common/pyobj.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace vdx {

namespace {

// The text of a source that declares no encoding and is valid UTF-8 without
// a BOM, with its line ends made "\n"; nullptr without an error otherwise.
PyObject* plain_utf8_source(PyObject* data) {
    const char* bytes = PyBytes_AS_STRING(data);
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n >= 3 && (unsigned char)bytes[0] == 0xEF && (unsigned char)bytes[1] == 0xBB && (unsigned char)bytes[2] == 0xBF)
        return nullptr;
    // A coding declaration can only be on the first two lines.
    Py_ssize_t end = 0;
    for (int line = 0; line < 2 && end < n; ++line) {
        const char* nl = (const char*)memchr(bytes + end, '\n', (size_t)(n - end));
        Py_ssize_t stop = nl ? nl - bytes + 1 : n;
        const char* cr = (const char*)memchr(bytes + end, '\r', (size_t)(stop - end));
        if (cr) stop = std::min(stop, (Py_ssize_t)(cr - bytes + 1));
        if (std::string_view(bytes + end, (size_t)(stop - end)).find("coding") != std::string_view::npos) return nullptr;
        end = stop;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes, n, nullptr));
    if (!text) {
        PyErr_Clear();
        return nullptr;
    }
    if (!memchr(bytes, '\r', (size_t)n)) return text.release();
    Ref once = Ref::steal(PyUnicode_Replace(text.get(), VDX_STR("\r\n"), VDX_STR("\n"), -1));
    return once ? PyUnicode_Replace(once.get(), VDX_STR("\r"), VDX_STR("\n"), -1) : nullptr;
}

}  // namespace

PyObject* read_source_text(PyObject* path) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* open = builtins ? PyDict_GetItemString(builtins, "open") : nullptr;
    if (!open) {
        PyErr_SetString(PyExc_RuntimeError, "no open()");
        return nullptr;
    }
    Ref f = Ref::steal(PyObject_CallFunction(open, "Os", path, "rb"));
    if (!f) return nullptr;
    Ref data = Ref::steal(PyObject_CallMethod(f.get(), "read", nullptr));
    PyObject* saved = data ? nullptr : PyErr_GetRaisedException();
    Ref closed = Ref::steal(PyObject_CallMethod(f.get(), "close", nullptr));
    if (saved) {
        PyErr_SetRaisedException(saved);
        return nullptr;
    }
    if (!closed) return nullptr;
    return decode_source(data.get());
}

PyObject* decode_source(PyObject* data) {
    // Most sources are UTF-8 without a BOM or a coding declaration: decoded
    // here as the interpreter would (universal newlines), without importing
    // the tokenizer; any other goes through importlib.util.decode_source.
    if (PyBytes_Check(data)) {
        Ref text = Ref::steal(plain_utf8_source(data));
        if (text || PyErr_Occurred()) return text.release();
    }
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    if (!util) return nullptr;
    return PyObject_CallMethodOneArg(util.get(), VDX_STR("decode_source"), data);
}

PyObject* split_source_lines(PyObject* text) {
    Ref parts = Ref::steal(PyUnicode_Split(text, VDX_STR("\n"), -1));
    if (!parts) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(parts.get());
    Ref lines = Ref::steal(PyList_New(0));
    if (!lines) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* part = PyList_GET_ITEM(parts.get(), i);
        if (i == n - 1) {
            if (PyUnicode_GET_LENGTH(part) > 0 && PyList_Append(lines.get(), part) < 0) return nullptr;
            break;
        }
        Ref line = Ref::steal(PyUnicode_Concat(part, VDX_STR("\n")));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    return lines.release();
}

QuietWarnings::QuietWarnings() {
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) return;
    Ref cm = Ref::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    Ref entered = cm ? Ref::steal(PyObject_CallMethod(cm.get(), "__enter__", nullptr)) : Ref();
    if (!entered) return;
    cm_ = cm.release();
    Ref r = Ref::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "s", "ignore"));
    ok_ = (bool)r;
}

bool QuietWarnings::close() {
    if (!cm_) return ok_;
    PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
    Ref r = Ref::steal(PyObject_CallMethod(cm_, "__exit__", "OOO", Py_None, Py_None, Py_None));
    Py_CLEAR(cm_);
    bool fine = (bool)r;
    if (pending) {
        if (!fine) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return true;
    }
    return fine;
}

QuietWarnings::~QuietWarnings() {
    if (cm_) close();
}

}  // namespace vdx
