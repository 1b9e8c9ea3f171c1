#include "common/pyobj.hpp"

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vdx {

namespace {
PyObject* g_module = nullptr;
PyObject* g_dict = nullptr;
}

PyObject* interned(std::string_view text) {
    static std::unordered_map<std::string, PyObject*> cache;
    std::string key(text);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    PyObject* s = PyUnicode_FromStringAndSize(key.data(), (Py_ssize_t)key.size());
    if (!s) return nullptr;
    PyUnicode_InternInPlace(&s);
    cache.emplace(std::move(key), s);
    return s;
}

PyObject* interned_literal(const char* text) {
    static std::unordered_map<const char*, PyObject*> cache;
    auto it = cache.find(text);
    if (it != cache.end()) return it->second;
    PyObject* s = interned(text);
    if (s) cache.emplace(text, s);
    return s;
}

void set_module(PyObject* m) {
    Py_INCREF(m);
    g_module = m;
    g_dict = PyModule_GetDict(m);
}

PyObject* module() noexcept { return g_module; }
PyObject* module_dict() noexcept { return g_dict; }

namespace {
// Globals made at their first use: name -> maker (a new reference or nullptr
// with an error). Held for the process.
auto& g_lazy = *new std::unordered_map<std::string, std::function<PyObject*()>>();
}

void add_lazy_global(const char* name, std::function<PyObject*()> make) { g_lazy[name] = std::move(make); }

PyObject* lazy_global(PyObject* name) {
    if (!PyUnicode_Check(name)) return nullptr;
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) {
        PyErr_Clear();
        return nullptr;
    }
    auto it = g_lazy.find(text);
    if (it == g_lazy.end()) return nullptr;
    Ref made = Ref::steal(it->second());
    if (!made) return nullptr;
    // Bound once made: later reads find it in the module's dict.
    if (PyDict_SetItem(g_dict, name, made.get()) < 0) return nullptr;
    return PyDict_GetItemWithError(g_dict, name);
}

std::vector<std::string> lazy_global_names() {
    std::vector<std::string> names;
    for (auto& [name, make] : g_lazy) names.push_back(name);
    return names;
}

bool set_next(PyObject* set, Py_ssize_t* pos, PyObject** key, Ref& it) {
#if PY_VERSION_HEX >= 0x030D0000
    // The set's own iterator: no program code runs for it.
    (void)pos;
    if (!it) {
        it = Ref::steal(PyObject_GetIter(set));
        if (!it) return false;
    }
    PyObject* next = PyIter_Next(it.get());
    if (!next) return false;
    *key = next;
    Py_DECREF(next);  // the set holds it
    return true;
#else
    (void)it;
    Py_hash_t hash;
    return _PySet_NextEntry(set, pos, key, &hash);
#endif
}

PyObject* peek_global(const char* name) {
    PyObject* v = PyDict_GetItemWithError(g_dict, interned_literal(name));
    if (!v) PyErr_Clear();
    return v;
}

PyObject* get_global(PyObject* name) {
    if (!name) return nullptr;
    PyObject* v = PyDict_GetItemWithError(g_dict, name);
    if (v || PyErr_Occurred()) return v;
    v = lazy_global(name);
    if (!v && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

int set_global(PyObject* name, PyObject* value) {
    if (!name) return -1;
    return PyDict_SetItem(g_dict, name, value);
}

py::object g(const char* name) {
    PyObject* v = get_global(name);
    if (!v) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(v);
}

void set_g(const char* name, py::handle value) { check_rc(set_global(name, value.ptr())); }

bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    check_rc(r);
    return r != 0;
}

bool equals(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check_rc(r);
    return r != 0;
}

PyObject* concat(std::initializer_list<PyObject*> parts) {
    Ref tuple = Ref::steal(PyTuple_New((Py_ssize_t)parts.size()));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* p : parts) {
        if (!p) return nullptr;
        Py_INCREF(p);
        PyTuple_SET_ITEM(tuple.get(), i++, p);
    }
    return PyUnicode_Join(VDX_STR(""), tuple.get());
}

PyObject* list_of(std::initializer_list<PyObject*> items) {
    PyObject* list = PyList_New((Py_ssize_t)items.size());
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list, i++, Py_NewRef(item));
    return list;
}

int print_line(PyObject* obj) {
    // Held strongly: writing may run Python code that rebinds sys.stdout.
    Ref out = Ref::borrow(PySys_GetObject("stdout"));
    if (!out || out.get() == Py_None) return 0;  // print() is a no-op without stdout
    if (PyFile_WriteObject(obj, out.get(), Py_PRINT_RAW) < 0) return -1;
    return PyFile_WriteString("\n", out.get());
}

void flush_stream(const char* name) {
    PyObject* f = PySys_GetObject(name);  // borrowed
    if (!f || f == Py_None) return;
    PyObject* r = PyObject_CallMethod(f, "flush", nullptr);
    if (r) {
        Py_DECREF(r);
    } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
    } else {
        throw py::error_already_set();
    }
}

py::bytes read_bytes(py::handle path, Py_ssize_t size) {
    py::object f = py::module_::import("builtins").attr("open")(path, "rb");
    py::object data;
    try {
        data = f.attr("read")(size);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return py::reinterpret_borrow<py::bytes>(data);
}

py::object read_utf8(py::handle path, const char* method, py::tuple args, py::object newline) {
    py::object f = py::module_::import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8",
                                                                 py::arg("newline") = newline);
    py::object result;
    try {
        result = f.attr(method)(*args);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return result;
}

std::string utf8_text(py::handle value) {
    py::bytes b = py::str(value).attr("encode")("utf-8", "backslashreplace");
    return std::string(b);
}

py::list split_names(py::handle text) {
    py::list names;
    py::object pieces = py::str(text).attr("replace")("\uff0c", ",").attr("replace")(" ", ",").attr("split")(",");
    for (auto piece : pieces) {
        py::object s = piece.attr("strip")();
        if (truthy(s)) names.append(s);
    }
    return names;
}

py::list split_line_numbers(py::handle text) {
    py::list numbers;
    for (auto piece : split_names(text))
        // Digits that int() reads: a superscript digit is a digit, not a number.
        if (truthy(piece.attr("isdigit")()) && truthy(piece.attr("isdecimal")()))
            numbers.append(py::int_(py::reinterpret_borrow<py::object>(piece)));
    return numbers;
}

py::object make_class(const char* name, py::tuple bases, py::dict ns) {
    ns["__module__"] = "vardex";
    ns["__qualname__"] = name;
    py::object type = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type);
    return type(name, bases, ns);
}

}  // namespace vdx
