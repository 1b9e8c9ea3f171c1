// Python-object helpers shared by every area of the module: owned references,
// interned names, and call-time access to the module's globals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace vdx {

namespace py = pybind11;

// An owned strong reference for raw C API code (hot paths).
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* o = p_; p_ = nullptr; return o; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
private:
    PyObject* p_ = nullptr;
};

// Interned string, created once per call site and kept for the process.
#define VDX_STR(literal)                                                        \
    ([]() -> PyObject* {                                                        \
        static PyObject* s_ = PyUnicode_InternFromString(literal);              \
        return s_;                                                              \
    }())

// Interned string looked up by text (cached); for code that builds names at run time.
PyObject* interned(std::string_view text);

// The module object and its dict; set once by the module's exec slot.
void set_module(PyObject* module);
PyObject* module() noexcept;       // borrowed
PyObject* module_dict() noexcept;  // borrowed

// Raw access to module globals, read at call time.
// get_global: borrowed reference, or nullptr with NameError set.
PyObject* get_global(PyObject* name);
inline PyObject* get_global(const char* name) { return get_global(interned(name)); }
int set_global(PyObject* name, PyObject* value);
inline int set_global(const char* name, PyObject* value) { return set_global(interned(name), value); }

// pybind11 flavour: throws error_already_set.
py::object g(const char* name);
void set_g(const char* name, py::handle value);

// Python truthiness / equality helpers that throw on error.
bool truthy(py::handle o);
bool equals(py::handle a, py::handle b);

// Concatenation of str objects (new reference or nullptr).
PyObject* concat(std::initializer_list<PyObject*> parts);

// A new list holding the given items (new reference or nullptr).
PyObject* list_of(std::initializer_list<PyObject*> items);

// print(obj) on sys.stdout (raw: str of obj plus a newline). Returns -1 on error.
int print_line(PyObject* obj);

// Raw C API: convert a PyObject* result, throwing if it is nullptr.
inline py::object check(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}
inline void check_rc(int rc) {
    if (rc < 0) throw py::error_already_set();
}

// open(path, "r", encoding="utf-8"), then method(*args) on the file, closing
// it whatever happens; "read" and "readlines" are the usual methods.
py::object read_utf8(py::handle path, const char* method, py::tuple args = py::tuple());

// A Python class made by calling type(name, bases, namespace) with
// __module__ "vardex", for classes whose base is a Python-level class.
py::object make_class(const char* name, py::tuple bases, py::dict ns);

}  // namespace vdx
