// Python source files read as the interpreter reads them.
#include "common/pyobj.hpp"

namespace vdx {

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
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    if (!util) return nullptr;
    return PyObject_CallMethodOneArg(util.get(), VDX_STR("decode_source"), data.get());
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
