// The sys.monitoring engine of runs that watch only classes.
//
// Such a run needs nothing of line events: the hooks installed on watched
// classes report by themselves, and the tracer's own work is at calls (the
// capture of the first instance in __init__, and the poll of properties
// without setter, which must see every call). sys.monitoring delivers calls
// only, and a code object whose calls need no work (not an __init__, nothing
// to poll) is switched off for good by returning DISABLE. When the polled
// table gains its first entry, restart_events() switches them all on again.
//
// There is no C-level monitoring API in 3.12: the callbacks are builtin
// functions registered with sys.monitoring.register_callback.
#include "trace/trace.hpp"

#include <cstdlib>
#include <cstring>

namespace vdx::trace {

namespace {

int g_tool = -1;
bool g_active = false;
PyObject* g_monitoring = nullptr;  // sys.monitoring
PyObject* g_disable = nullptr;     // sys.monitoring.DISABLE
int g_items_watcher = -1;
PyObject* g_items = nullptr;  // the polled table being watched (strong)

int non_empty(PyObject* name) {
    PyObject* v = get_global(name);
    if (!v) return -1;
    if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) != 0;
    if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) != 0;
    return PyObject_IsTrue(v);
}

// One call of a Python function (PY_START), a resumed generator or
// coroutine (PY_RESUME, PY_THROW): what a "call" event of the trace
// function does, then whether the code needs its calls any more.
PyObject* on_call(bool start, PyObject* code) {
    if (!g_active) return Py_NewRef(g_disable);
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) Py_RETURN_NONE;
    int stopped = non_empty(VDX_STR("stop_trace"));
    int classes = stopped ? 0 : non_empty(VDX_STR("trace_classname_list"));
    int polled = classes > 0 ? non_empty(VDX_STR("items_has_to_watch_yourself")) : 0;
    if (stopped < 0 || classes < 0 || polled < 0) {
        if (!report_tool_error("tracer")) return nullptr;
        Py_RETURN_NONE;
    }
    if (stopped || !classes) return Py_NewRef(g_disable);
    if (polled && poll_watched(frame) < 0 && !report_tool_error("property poll")) return nullptr;
    bool is_init = PyCode_Check(code) && str_is(((PyCodeObject*)code)->co_name, "__init__");
    if (is_init && start) {
        if (InitCaptureHook hook = init_capture_hook()) {
            Ref local = Ref::steal(hook(frame));
            if (!local && !report_tool_error("tracer")) return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (is_init || polled) Py_RETURN_NONE;
    return Py_NewRef(g_disable);
}

PyObject* py_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return on_call(true, nargs > 0 ? args[0] : Py_None);
}
PyObject* py_resume(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return on_call(false, nargs > 0 ? args[0] : Py_None);
}
// PY_THROW is not tied to a location: DISABLE there would raise in the
// program, so it is never returned.
PyObject* py_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* r = on_call(false, nargs > 0 ? args[0] : Py_None);
    if (r == g_disable) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    return r;
}

// Ends the tool's events and frees its id: free_tool_id does not clear them.
PyObject* stop_monitoring(PyObject*, PyObject*) {
    if (g_tool < 0) Py_RETURN_NONE;
    g_active = false;
    Ref r1 = Ref::steal(PyObject_CallMethod(g_monitoring, "set_events", "ii", g_tool, 0));
    if (!r1) PyErr_Clear();
    Ref events = Ref::steal(PyObject_GetAttrString(g_monitoring, "events"));
    for (const char* name : {"PY_START", "PY_RESUME", "PY_THROW"}) {
        Ref ev = Ref::steal(events ? PyObject_GetAttrString(events.get(), name) : nullptr);
        Ref r = Ref::steal(ev ? PyObject_CallMethod(g_monitoring, "register_callback", "iOO", g_tool, ev.get(), Py_None)
                              : nullptr);
        if (!r) PyErr_Clear();
    }
    Ref r2 = Ref::steal(PyObject_CallMethod(g_monitoring, "free_tool_id", "i", g_tool));
    if (!r2) PyErr_Clear();
    g_tool = -1;
    Py_RETURN_NONE;
}

PyMethodDef start_def = {"_monitoring_call", (PyCFunction)(void (*)(void))py_start, METH_FASTCALL, nullptr};
PyMethodDef resume_def = {"_monitoring_resume", (PyCFunction)(void (*)(void))py_resume, METH_FASTCALL, nullptr};
PyMethodDef throw_def = {"_monitoring_throw", (PyCFunction)(void (*)(void))py_throw, METH_FASTCALL, nullptr};
PyMethodDef stop_def = {"_monitoring_stop", stop_monitoring, METH_NOARGS, nullptr};

void restart_events() {
    if (!g_active) return;
    PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
    Ref r = Ref::steal(PyObject_CallMethod(g_monitoring, "restart_events", nullptr));
    // Called from a dict watcher too: nothing may stay set.
    if (!r && !report_tool_error("sys.monitoring")) PyErr_Clear();
    if (pending) PyErr_SetRaisedException(pending);
}

// The polled table gains its first entry.
int on_items_change(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_CLONED) && dict == g_items &&
        PyDict_GET_SIZE(dict) == 0)
        restart_events();
    return 0;
}

void watch_items(PyObject* items) {
    if (g_items_watcher < 0 || !items || !PyDict_Check(items) || items == g_items) return;
    if (g_items) PyDict_Unwatch(g_items_watcher, g_items);
    Py_XSETREF(g_items, Py_NewRef(items));
    if (PyDict_Watch(g_items_watcher, items) < 0) PyErr_Clear();
}

}  // namespace

bool monitoring_active() { return g_active; }

void monitoring_note_global(PyObject* key, PyObject* new_value) {
    if (!g_active || !key || !str_is(key, "items_has_to_watch_yourself")) return;
    watch_items(new_value);
    if (new_value && PyDict_Check(new_value) && PyDict_GET_SIZE(new_value)) restart_events();
}

namespace {
int start_with_tool(int tool);
}  // namespace

int monitoring_try_start() {
    if (g_active) return 0;
    const char* engine = std::getenv("VARDEX_ENGINE");
    if (engine && std::strcmp(engine, "settrace") == 0) return 0;
    PyObject* sys = get_global("sys");
    if (!sys) return -1;
    Ref mon = Ref::steal(PyObject_GetAttrString(sys, "monitoring"));
    if (!mon) return -1;
    int tool = -1;
    // The ids no tool kind claims first; the named ones stay for their kinds.
    for (int id : {4, 3}) {
        Ref r = Ref::steal(PyObject_CallMethod(mon.get(), "use_tool_id", "is", id, "vardex"));
        if (r) {
            tool = id;
            break;
        }
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
    }
    if (tool < 0) {
        tool_message("no free sys.monitoring tool id; tracing with sys.settrace");
        return 0;
    }
    g_tool = tool;
    g_monitoring = mon.release();
    int rc = start_with_tool(tool);
    if (rc < 0) {
        // Nothing of the tool stays: its id is free for the program again.
        PyObject* pending = PyErr_GetRaisedException();
        g_active = false;
        Ref r = Ref::steal(stop_monitoring(nullptr, nullptr));
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    return rc;
}

namespace {

int start_with_tool(int tool) {
    g_disable = PyObject_GetAttrString(g_monitoring, "DISABLE");
    Ref events = Ref::steal(PyObject_GetAttrString(g_monitoring, "events"));
    if (!g_disable || !events) return -1;
    Ref modname = Ref::steal(PyUnicode_FromString("vardex"));
    Ref start_fn = Ref::steal(PyCFunction_NewEx(&start_def, nullptr, modname.get()));
    Ref resume_fn = Ref::steal(PyCFunction_NewEx(&resume_def, nullptr, modname.get()));
    Ref throw_fn = Ref::steal(PyCFunction_NewEx(&throw_def, nullptr, modname.get()));
    if (!start_fn || !resume_fn || !throw_fn) return -1;
    long mask = 0;
    for (const char* name : {"PY_START", "PY_RESUME", "PY_THROW"}) {
        Ref ev = Ref::steal(PyObject_GetAttrString(events.get(), name));
        if (!ev) return -1;
        PyObject* fn = std::strcmp(name, "PY_START") == 0    ? start_fn.get()
                       : std::strcmp(name, "PY_RESUME") == 0 ? resume_fn.get()
                                                             : throw_fn.get();
        Ref r = Ref::steal(PyObject_CallMethod(g_monitoring, "register_callback", "iOO", tool, ev.get(), fn));
        if (!r) return -1;
        mask |= PyLong_AsLong(ev.get());
    }
    if (g_items_watcher < 0) g_items_watcher = PyDict_AddWatcher(on_items_change);
    if (g_items_watcher < 0) PyErr_Clear();
    watch_items(get_global("items_has_to_watch_yourself"));
    PyErr_Clear();
    Ref stop_fn = Ref::steal(PyCFunction_NewEx(&stop_def, nullptr, modname.get()));
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref reg = Ref::steal(stop_fn && atexit ? PyObject_CallMethod(atexit.get(), "register", "O", stop_fn.get()) : nullptr);
    if (!reg) return -1;
    g_active = true;
    Ref r = Ref::steal(PyObject_CallMethod(g_monitoring, "set_events", "il", tool, mask));
    if (!r) {
        g_active = false;
        return -1;
    }
    // From now on calls come through sys.monitoring; this thread's trace
    // function goes, and so does that of every thread at its first event.
    PyEval_SetTrace(nullptr, nullptr);
    return 0;
}

}  // namespace

}  // namespace vdx::trace
