// Python-object helpers shared by every area of the module: owned references,
// interned names, and call-time access to the module's globals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <vector>
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
// The same for a string literal, cached by its address (cheaper on hot paths).
PyObject* interned_literal(const char* text);

// The module object and its dict; set once by the module's exec slot.
void set_module(PyObject* module);
PyObject* module() noexcept;       // borrowed
PyObject* module_dict() noexcept;  // borrowed

// Globals made at their first use (the standard modules the module binds are
// imported only when something uses them). `make` returns a new reference,
// or nullptr with an error.
void add_lazy_global(const char* name, std::function<PyObject*()> make);
// The lazy global of that name, made and bound now (borrowed); nullptr
// without an error when there is none of that name.
PyObject* lazy_global(PyObject* name);
std::vector<std::string> lazy_global_names();
// A global's value if it is bound (borrowed), nullptr without an error when
// it is a lazy one not made yet (or not defined); reading does not make it.
PyObject* peek_global(const char* name);

// Raw access to module globals, read at call time.
// get_global: borrowed reference, or nullptr with NameError set.
PyObject* get_global(PyObject* name);
inline PyObject* get_global(const char* name) { return get_global(interned_literal(name)); }
int set_global(PyObject* name, PyObject* value);
inline int set_global(const char* name, PyObject* value) { return set_global(interned_literal(name), value); }

// Truth of a value (nullptr: -1, an error already set), with the module's
// usual tables (bools, None, lists, dicts) decided without a call.
inline int is_true(PyObject* v) {
    if (!v) return -1;
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) != 0;
    if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) != 0;
    return PyObject_IsTrue(v);
}

// tp_dealloc of a garbage-collected heap type whose tp_clear drops its references.
template <inquiry Clear>
void gc_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// pybind11 flavour: throws error_already_set.
py::object g(const char* name);
void set_g(const char* name, py::handle value);

// Python truthiness / equality helpers that throw on error.
bool truthy(py::handle o);
bool equals(py::handle a, py::handle b);

// getattr(obj, name) where a missing attribute is no error: 1 with *out (a
// new reference), 0 without, -1 with an error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// The next item of a set or frozenset (borrowed), as PyDict_Next does for a
// dict: `it` starts as nullptr and holds the iteration between calls.
// false at the end (or with an error set).
bool set_next(PyObject* set, Py_ssize_t* pos, PyObject** key, Ref& it);

// `s` is a str equal to the ASCII text.
inline bool str_is(PyObject* s, const char* text) {
    return PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// Text of a value for a message: paths with undecodable bytes hold lone
// surrogates, which UTF-8 cannot hold; they are shown as escapes.
std::string utf8_text(py::handle value);

// Names typed as a list: full-width commas and blanks count as commas, pieces
// are stripped and empty ones dropped. Line numbers: the pieces made only of
// decimal digits, as ints.
py::list split_names(py::handle text);
py::list split_line_numbers(py::handle text);

// Concatenation of str objects (new reference or nullptr).
PyObject* concat(std::initializer_list<PyObject*> parts);

// A new list holding the given items (new reference or nullptr).
PyObject* list_of(std::initializer_list<PyObject*> items);

// print(obj) on sys.stdout (raw: str of obj plus a newline). Returns -1 on error.
int print_line(PyObject* obj);

// The tool's own output: the standard error the process started with (a
// duplicate of descriptor 2 taken at load), never the program's streams.
// Writing never raises and leaves any pending exception in place.
void init_tool_output();
// Points the channel at another descriptor (owned by the caller); returns the
// previous one. Forgets which messages were said.
int set_tool_output_fd(int fd);
void tool_write(PyObject* text);
void tool_write_line(PyObject* text);
void tool_write_line(const std::string& text);
// One "vardex: " line; a message already said in this process is not repeated.
void tool_message(const std::string& text);
// "Type: message" of an exception object.
std::string describe_exception(PyObject* exc);
// Turns a pending ordinary exception into one "vardex: <where>: ..." line and
// clears it; returns false (leaving it set) for KeyboardInterrupt/SystemExit.
bool report_tool_error(const char* where);
// str(obj) for a report; a failing __str__/__repr__ gives the object.__repr__
// form and a "vardex: " line. nullptr only for KeyboardInterrupt/SystemExit.
PyObject* value_text(PyObject* obj);
PyObject* object_repr_text(PyObject* obj);
// Report texts of bounded length. The limit is the module global N (0, or
// not an int: whole). A cut text keeps limit - 1 characters and ends with
// "…". str() of strings and built-in containers is made only as far as the
// limit, so its cost follows the limit, not the value.
Py_ssize_t report_text_limit();
PyObject* cut_text(PyObject* text, Py_ssize_t limit);
PyObject* cut_value_text(PyObject* obj, Py_ssize_t limit);
// value_text cut to the module's limit.
PyObject* report_text(PyObject* obj);

// Runs pybind11-style code for a raw C API caller: 0, or -1 with the
// exception it threw set as the Python error.
template <typename F>
int guarded_call(F&& f) {
    try {
        f();
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

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
py::object read_utf8(py::handle path, const char* method, py::tuple args = py::tuple(),
                     py::object newline = py::none());
// The bytes of a file, or its first `size` bytes (open, read, close).
py::bytes read_bytes(py::handle path, Py_ssize_t size = -1);
// Flushes sys.<name> when there is one (a closed standard stream is None);
// a failure of the flush is dropped.
void flush_stream(const char* name);

// A Python source file as the interpreter reads it: bytes decoded by
// importlib.util.decode_source (coding declaration, BOM, universal newlines).
// New ref, or nullptr with the error of opening or decoding.
PyObject* read_source_text(PyObject* path);
// The same for the bytes of a source.
PyObject* decode_source(PyObject* data);
// The lines of a source text, each with its "\n" (only "\n" ends a line).
PyObject* split_source_lines(PyObject* text);

// warnings.catch_warnings() with every warning ignored, for the scope.
class QuietWarnings {
public:
    QuietWarnings();
    ~QuietWarnings();
    QuietWarnings(const QuietWarnings&) = delete;
    QuietWarnings& operator=(const QuietWarnings&) = delete;
    bool ok() const { return ok_; }
    // Restores the filters; keeps a pending exception. False on a new error.
    bool close();
private:
    PyObject* cm_ = nullptr;
    bool ok_ = false;
};

// No trace or monitoring events in this thread for the scope: the tool's own
// work inside a hook (reading values, writing a report) is not the program's,
// and must neither be traced nor poll.
class QuietTrace {
public:
    QuietTrace() : ts_(PyThreadState_Get()) { PyThreadState_EnterTracing(ts_); }
    ~QuietTrace() { PyThreadState_LeaveTracing(ts_); }
    QuietTrace(const QuietTrace&) = delete;
    QuietTrace& operator=(const QuietTrace&) = delete;
private:
    PyThreadState* ts_;
};

// A Python class made by calling type(name, bases, namespace) with
// __module__ "vardex", for classes whose base is a Python-level class.
py::object make_class(const char* name, py::tuple bases, py::dict ns);

}  // namespace vdx
