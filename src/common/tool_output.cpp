// The tool's own output channel and the text of values in reports.
//
// Everything the tool says while a program runs goes to the standard error
// the process started with: a duplicate of descriptor 2 taken when the module
// loads, before the program can redirect or rebind anything. Text is encoded
// with that stream's encoding and "backslashreplace", so nothing is lost.
#include "common/pyobj.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vdx {

namespace {

int g_err_fd = -1;
std::string g_err_encoding = "utf-8";
std::unordered_set<std::string> g_said;
std::unordered_set<std::string> g_text_failures;
bool g_muted = false;
constexpr size_t kMaxDistinctMessages = 50;

void write_all(const char* data, size_t n) {
    if (g_err_fd < 0) return;
    while (n > 0) {
#ifdef _WIN32
        int w = _write(g_err_fd, data, (unsigned)n);
#else
        ssize_t w = ::write(g_err_fd, data, n);
#endif
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += w;
        n -= (size_t)w;
    }
}

}  // namespace

void init_tool_output() {
    if (g_err_fd >= 0) return;
#ifdef _WIN32
    g_err_fd = _dup(2);
#else
    g_err_fd = fcntl(2, F_DUPFD_CLOEXEC, 3);
#endif
    PyObject* err = PySys_GetObject("stderr");  // borrowed
    if (err && err != Py_None) {
        Ref enc = Ref::steal(PyObject_GetAttrString(err, "encoding"));
        if (enc && PyUnicode_Check(enc.get())) {
            const char* s = PyUnicode_AsUTF8(enc.get());
            if (s && *s) g_err_encoding = s;
        }
    }
    PyErr_Clear();
}

int set_tool_output_fd(int fd) {
    int old = g_err_fd;
    g_err_fd = fd;
    g_said.clear();
    g_muted = false;
    return old;
}

void tool_write(PyObject* text) {
    if (g_err_fd < 0 || !text) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Ref s = Ref::steal(PyUnicode_Check(text) ? Py_NewRef(text) : PyObject_Str(text));
    Ref bytes;
    if (s) bytes = Ref::steal(PyUnicode_AsEncodedString(s.get(), g_err_encoding.c_str(), "backslashreplace"));
    if (!bytes && s) {
        PyErr_Clear();
        bytes = Ref::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "backslashreplace"));
    }
    if (bytes) write_all(PyBytes_AS_STRING(bytes.get()), (size_t)PyBytes_GET_SIZE(bytes.get()));
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

void tool_write_line(PyObject* text) {
    if (!text) return;
    Ref line = Ref::steal(PyUnicode_Check(text) ? PyUnicode_Concat(text, VDX_STR("\n")) : nullptr);
    if (!line) {
        PyErr_Clear();
        Ref s = Ref::steal(PyObject_Str(text));
        if (s) line = Ref::steal(PyUnicode_Concat(s.get(), VDX_STR("\n")));
        if (!line) {
            PyErr_Clear();
            return;
        }
    }
    tool_write(line.get());
}

void tool_write_line(const std::string& text) {
    std::string line = text + "\n";
    Ref s = Ref::steal(PyUnicode_DecodeUTF8(line.data(), (Py_ssize_t)line.size(), "replace"));
    if (s) tool_write(s.get());
    else PyErr_Clear();
}

void tool_message(const std::string& text) {
    if (g_muted) return;
    if (!g_said.insert(text).second) return;
    if (g_said.size() > kMaxDistinctMessages) {
        g_muted = true;
        tool_write_line(std::string("vardex: further messages of this run are not shown"));
        return;
    }
    tool_write_line("vardex: " + text);
}

std::string describe_exception(PyObject* exc) {
    if (!exc) return "unknown error";
    std::string out;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    const char* type_name = Py_TYPE(exc)->tp_name;
    const char* dot = std::strrchr(type_name, '.');
    out = dot ? dot + 1 : type_name;
    Ref msg = Ref::steal(PyObject_Str(exc));
    if (msg) {
        const char* s = PyUnicode_AsUTF8(msg.get());
        if (s && *s) out += std::string(": ") + s;
    }
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
    return out;
}

bool report_tool_error(const char* where) {
    if (!PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;  // KeyboardInterrupt, SystemExit
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    tool_message(std::string(where) + ": " + describe_exception(exc.get()));
    return true;
}

PyObject* object_repr_text(PyObject* obj) {
    PyObject* r = PyBaseObject_Type.tp_repr(obj);
    if (r) return r;
    PyErr_Clear();
    return PyUnicode_FromFormat("<object at %p>", obj);
}

PyObject* value_text(PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    if (s) return s;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    // An object whose text reads attributes its __init__ has not set yet
    // (the creation of a watched instance is reported before __init__ runs)
    // goes unsaid.
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_AttributeError)) return object_repr_text(obj);
    // Said once per kind of value and of failure, not per value.
    std::string type_name = Py_TYPE(obj)->tp_name;
    std::string key = type_name + "\n" + Py_TYPE(exc.get())->tp_name;
    if (g_text_failures.insert(key).second)
        tool_message("str() of a " + type_name + " value failed (" + describe_exception(exc.get()) +
                     "); such values are shown in object.__repr__ form");
    return object_repr_text(obj);
}

}  // namespace vdx
