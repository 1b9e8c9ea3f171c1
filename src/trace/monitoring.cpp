// The sys.monitoring engine.
//
// The trace function's steps stay the same; only the delivery of events
// changes. sys.settrace delivers every line and call of every file, and the
// tracer can only ignore what it does not need. sys.monitoring delivers what
// a tool asks for, per code object, and a place whose events need no work is
// switched off for good by answering DISABLE:
//
// - calls (PY_START, PY_RESUME, PY_THROW) for every code. The first call of a
//   code decides whether its frames need line events: it holds watched
//   statements, or its file holds stop lines. Calls that need no work (not an
//   __init__ of a run that watches classes) are then switched off.
// - for the code that needs them only: line events as sys.settrace makes
//   them (LINE, and a backward jump that stays within one line), and the
//   events that end or interrupt a frame (PY_RETURN, PY_YIELD,
//   STOP_ITERATION; PY_UNWIND, RAISE and RERAISE are only given for every
//   code). Line places that can never matter are switched off; an exception
//   in a frame with reports still open brings its code's places back, since
//   the handler's line settles them.
// - once properties are polled, every call: a second tool id then takes all
//   calls and never switches one off. restart_events() would do the same
//   with one id, but it also switches on again what other tools of the
//   program switched off; it serves only when no second id is free.
//
// The same frames thus see the same line events at the same instructions as
// under the trace function, where those can matter, and the reports are the
// same.
//
// There is no C-level monitoring API in 3.12: the callbacks are builtin
// functions registered with sys.monitoring.register_callback. A callback runs
// with the thread's tracing suspended, so the tool's own work makes no
// events. Nothing the tool raises leaves a callback: it is said on stderr
// (KeyboardInterrupt and SystemExit go on to the program).
#include "trace/engine.hpp"
#include "trace/trace.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace vdx::trace {

namespace {

int g_tool = -1;       // the tool's id
int g_poll_tool = -1;  // the second id, taking every call while properties are polled
bool g_active = false;
bool g_restarted = false;  // polling without a second id: calls are never switched off
PyObject* g_disable = nullptr;  // sys.monitoring.DISABLE
// sys.monitoring's functions, held from the start: its module may be cleared
// before the tool stops at shutdown.
PyObject* g_set_events = nullptr;
PyObject* g_set_local_events = nullptr;
PyObject* g_register_callback = nullptr;
PyObject* g_free_tool_id = nullptr;
PyObject* g_use_tool_id = nullptr;
PyObject* g_restart_events = nullptr;
PyObject* g_events = nullptr;  // sys.monitoring.events
// The callbacks, alive for the process: one may be running when the tool stops.
auto& g_callables = *new std::vector<Ref>();
int g_items_watcher = -1;
PyObject* g_items = nullptr;  // the polled table being watched (strong)

// Per code: the generation of the tables it was last looked at against
// (code extra), and the codes given local events (strong, to clear them).
Py_ssize_t g_extra = -1;
std::uintptr_t g_generation = 1;
auto& g_local_codes = *new std::vector<Ref>();
auto& g_local_set = *new std::unordered_set<PyObject*>();
long g_local_mask = 0;
long g_line_mask = 0;  // LINE and JUMP

PyObject* disable() { return Py_NewRef(g_disable); }

int set_local_events(PyObject* code, long mask) {
    if (g_tool < 0) return 0;
    Ref r = Ref::steal(PyObject_CallFunction(g_set_local_events, "iOl", g_tool, code, mask));
    return r ? 0 : -1;
}

// The first call of a code (again after the tables changed): line events for
// its frames when they need them. A look that fails is tried again at the
// code's next call.
int look_at_code(PyCodeObject* code) {
    if (!g_active) return 0;
    void* seen = nullptr;
    if (g_extra >= 0) {
        if (PyUnstable_Code_GetExtra((PyObject*)code, g_extra, &seen) < 0) return -1;
        if ((std::uintptr_t)seen == g_generation) return 0;
    }
    if (!g_local_set.count((PyObject*)code)) {
        int need = code_needs_line_events(code);
        if (need < 0) return -1;
        if (need) {
            if (set_local_events((PyObject*)code, g_local_mask) < 0) return -1;
            g_local_set.insert((PyObject*)code);
            g_local_codes.push_back(Ref::borrow((PyObject*)code));
        }
    }
    if (g_extra >= 0 && PyUnstable_Code_SetExtra((PyObject*)code, g_extra, (void*)g_generation) < 0) return -1;
    return 0;
}

const char* const kAllEvents[] = {"PY_START", "PY_RESUME", "PY_THROW", "LINE", "JUMP", "PY_RETURN",
                                  "PY_YIELD", "STOP_ITERATION", "PY_UNWIND", "RAISE", "RERAISE"};

void release_tool(int tool) {
    Ref r1 = Ref::steal(PyObject_CallFunction(g_set_events, "ii", tool, 0));
    if (!r1) PyErr_Clear();
    for (const char* name : kAllEvents) {
        Ref ev = Ref::steal(PyObject_GetAttrString(g_events, name));
        Ref r = Ref::steal(ev ? PyObject_CallFunction(g_register_callback, "iOO", tool, ev.get(), Py_None) : nullptr);
        if (!r) PyErr_Clear();
    }
    Ref r2 = Ref::steal(PyObject_CallFunction(g_free_tool_id, "i", tool));
    if (!r2) PyErr_Clear();
}

// Ends every event of the tool and frees its ids: set_events(0) ends the
// global ones, the local ones are cleared code by code, and free_tool_id
// does neither.
void stop_events() {
    if (g_tool < 0) return;
    g_active = false;
    PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
    for (const Ref& code : g_local_codes)
        if (set_local_events(code.get(), 0) < 0) PyErr_Clear();
    g_local_codes.clear();
    g_local_set.clear();
    if (g_poll_tool >= 0) release_tool(g_poll_tool);
    g_poll_tool = -1;
    release_tool(g_tool);
    g_tool = -1;
    if (pending) PyErr_SetRaisedException(pending);
}

// The first free one of the ids no tool kind claims (the named ones stay
// for their kinds), else -1 with no error set; -2 with an error.
int take_tool_id() {
    for (int id : {4, 3}) {
        Ref r = Ref::steal(PyObject_CallFunction(g_use_tool_id, "is", id, "vardex"));
        if (r) return id;
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -2;
        PyErr_Clear();
    }
    return -1;
}

// ------------------------------------------------------------ calls

// The work of a "call" event: the property poll, then the capture of a
// first instance in its __init__. 0 or -1.
int call_work(bool start, PyObject* code, PyFrameObject* frame, bool polled) {
    if (polled && poll_watched(frame) < 0 && !report_tool_error("property poll")) return -1;
    if (start && str_is(((PyCodeObject*)code)->co_name, "__init__")) {
        if (InitCaptureHook hook = init_capture_hook()) {
            Ref local = Ref::steal(hook(frame));
            if (!local && !report_tool_error("tracer")) return -1;
        }
    }
    return 0;
}

// What a call has to do, from the module's globals: 1 when stopped, and the
// truth of the watched classes and of the polled table; -1 with an error.
struct CallState {
    bool shutdown = false;  // the globals are cleared: nothing to do
    int stopped = 0, classes = 0, polled = 0;
    bool failed() const { return stopped < 0 || classes < 0 || polled < 0; }
};

CallState call_state() {
    CallState s;
    PyObject* stop = get_global(VDX_STR("stop_trace"));
    if (!stop || stop == Py_None) {
        PyErr_Clear();
        s.shutdown = true;
        return s;
    }
    s.stopped = PyObject_IsTrue(stop);
    if (s.stopped) return s;
    s.classes = is_true(get_global(VDX_STR("trace_classname_list")));
    if (s.classes > 0) s.polled = is_true(get_global(VDX_STR("items_has_to_watch_yourself")));
    return s;
}

// One call of a Python function (PY_START), a resumed generator or
// coroutine (PY_RESUME, PY_THROW): what a "call" event of the trace
// function does, then whether the code needs its calls any more.
PyObject* on_call(bool start, PyObject* code, int offset) {
    if (!g_active) return disable();
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame || !PyCode_Check(code)) Py_RETURN_NONE;
    CallState s = call_state();
    if (s.shutdown) Py_RETURN_NONE;
    if (s.stopped > 0) return disable();
    if (s.failed() || look_at_code((PyCodeObject*)code) < 0) {
        if (!report_tool_error("tracer")) return nullptr;
        Py_RETURN_NONE;
    }
    // A resumption inside a line with watched statements after the yield.
    bool resume_needed = false;
    if (!start && offset >= 0 && engine_resume_event(frame, offset, &resume_needed) < 0 &&
        !report_tool_error("reporting a watched change"))
        return nullptr;
    // The second id does the work of every call once properties are polled.
    if (!s.classes || g_poll_tool >= 0) {
        if (resume_needed) Py_RETURN_NONE;
        return disable();
    }
    if (call_work(start, code, frame, s.polled) < 0) return nullptr;
    if (str_is(((PyCodeObject*)code)->co_name, "__init__") || g_restarted || resume_needed) Py_RETURN_NONE;
    return disable();
}

// The instruction offset of a call event's arguments (code, offset), or -1.
int offset_arg(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || !PyLong_Check(args[1])) return -1;
    long v = PyLong_AsLong(args[1]);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return (int)v;
}

PyObject* py_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return on_call(true, nargs > 0 ? args[0] : Py_None, -1);
}
PyObject* py_resume(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return on_call(false, nargs > 0 ? args[0] : Py_None, offset_arg(args, nargs));
}
// PY_THROW is not tied to a location: DISABLE there would raise in the
// program, so it is never returned. A throw goes to a handler, not on
// with the line: nothing is resumed.
PyObject* py_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* r = on_call(false, nargs > 0 ? args[0] : Py_None, -1);
    if (r == g_disable) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    return r;
}

// Every call, under the second id while properties are polled.
PyObject* every_call(bool start, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* code = nargs > 0 ? args[0] : Py_None;
    if (!g_active || !PyCode_Check(code)) Py_RETURN_NONE;
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) Py_RETURN_NONE;
    CallState s = call_state();
    if (s.shutdown || s.stopped > 0) Py_RETURN_NONE;
    if (s.failed()) {
        if (!report_tool_error("tracer")) return nullptr;
        Py_RETURN_NONE;
    }
    if (s.classes && call_work(start, code, frame, s.polled) < 0) return nullptr;
    Py_RETURN_NONE;
}
PyObject* every_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return every_call(true, args, nargs); }
PyObject* every_resume(PyObject*, PyObject* const* args, Py_ssize_t nargs) { return every_call(false, args, nargs); }

// ------------------------------------------------------------ lines

PyObject* line_at(PyFrameObject* frame) {
    switch (monitored_line_event(frame)) {
        case LineResult::Keep: break;
        case LineResult::Done: return disable();
        case LineResult::Stopped:
            stop_events();
            return disable();
        case LineResult::Error:
            if (!report_tool_error("tracer")) return nullptr;
            break;
    }
    Py_RETURN_NONE;
}

PyObject* on_line(PyObject*, PyObject* const*, Py_ssize_t) {
    if (!g_active) return disable();
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) Py_RETURN_NONE;
    return line_at(frame);
}

// sys.settrace makes a line event of a backward jump that stays within its
// line (a loop on one line); other jumps reach a LINE event of their own.
PyObject* on_jump(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!g_active || nargs < 3 || !PyCode_Check(args[0])) return disable();
    long from = PyLong_AsLong(args[1]);
    long to = PyLong_AsLong(args[2]);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return disable();
    }
    if (to > from) return disable();
    PyCodeObject* code = (PyCodeObject*)args[0];
    int to_line = PyCode_Addr2Line(code, (int)to);
    if (to_line < 0 || to_line != PyCode_Addr2Line(code, (int)from)) return disable();
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) Py_RETURN_NONE;
    return line_at(frame);
}

// ------------------------------------------------------------ frame ends

// PY_RETURN, PY_YIELD (local), PY_UNWIND (global): the frame leaves. Never
// DISABLE: a later frame of the same code may have reports to settle.
PyObject* on_exit(PyObject*, PyObject* const*, Py_ssize_t) {
    if (g_active && engine_has_frames())
        if (PyFrameObject* frame = PyEval_GetFrame()) engine_frame_exit(frame);
    if (PyErr_Occurred()) return nullptr;  // KeyboardInterrupt, SystemExit
    Py_RETURN_NONE;
}

// Line events at every place of the code again: the places switched off
// come back when LINE and JUMP are cleared and set again. 0 or -1.
int rearm(PyFrameObject* frame) {
    Ref code = Ref::steal((PyObject*)PyFrame_GetCode(frame));
    if (!g_local_set.count(code.get())) return 0;
    for (long mask : {g_local_mask & ~g_line_mask, g_local_mask}) {
        if (set_local_events(code.get(), mask) < 0) {
            if (!report_tool_error("sys.monitoring")) return -1;
            return 0;
        }
    }
    return 0;
}

// The places of a code switched off as settle places come back when a
// frame of it has reports open again.
void rearm_code(PyObject* code) {
    if (!g_active || !g_local_set.count(code)) return;
    PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
    for (long mask : {g_local_mask & ~g_line_mask, g_local_mask}) {
        if (set_local_events(code, mask) < 0) {
            if (!report_tool_error("sys.monitoring")) PyErr_Clear();
            break;
        }
    }
    if (pending) PyErr_SetRaisedException(pending);
}

// RAISE (global), STOP_ITERATION (local): an exception in the frame. Reports
// it leaves open settle at the frame's next line event, which may be at a
// place switched off (a handler): the code's places come back.
PyObject* on_exception(PyObject*, PyObject* const*, Py_ssize_t) {
    if (g_active && engine_has_frames()) {
        PyFrameObject* frame = PyEval_GetFrame();
        if (frame && engine_frame_exception(frame) && rearm(frame) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// RERAISE (global): an exception goes on from a finally or a handler. The
// trace function has no event for it, but the next line may again be a
// handler's.
PyObject* on_reraise(PyObject*, PyObject* const*, Py_ssize_t) {
    if (g_active && engine_has_frames()) {
        PyFrameObject* frame = PyEval_GetFrame();
        if (frame && engine_frame_has_open_reports(frame) && rearm(frame) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

#define VDX_CB(name, fn) {name, (PyCFunction)(void (*)(void))fn, METH_FASTCALL, nullptr}

struct Handler {
    const char* event;
    bool local;  // given per code (the others are given for every code)
    PyMethodDef def;
};

Handler g_handlers[] = {
    {"PY_START", false, VDX_CB("_monitoring_call", py_start)},
    {"PY_RESUME", false, VDX_CB("_monitoring_resume", py_resume)},
    {"PY_THROW", false, VDX_CB("_monitoring_throw", py_throw)},
    {"PY_UNWIND", false, VDX_CB("_monitoring_unwind", on_exit)},
    {"RAISE", false, VDX_CB("_monitoring_raise", on_exception)},
    {"RERAISE", false, VDX_CB("_monitoring_reraise", on_reraise)},
    {"LINE", true, VDX_CB("_monitoring_line", on_line)},
    {"JUMP", true, VDX_CB("_monitoring_jump", on_jump)},
    {"PY_RETURN", true, VDX_CB("_monitoring_return", on_exit)},
    {"PY_YIELD", true, VDX_CB("_monitoring_yield", on_exit)},
    {"STOP_ITERATION", true, VDX_CB("_monitoring_stop_iteration", on_exception)},
};

Handler g_poll_handlers[] = {
    {"PY_START", false, VDX_CB("_monitoring_every_call", every_start)},
    {"PY_RESUME", false, VDX_CB("_monitoring_every_resume", every_resume)},
    {"PY_THROW", false, VDX_CB("_monitoring_every_throw", every_resume)},
};

// Registers the handlers under the tool id; the masks get their events. 0 or -1.
template <size_t N>
int register_handlers(int tool, Handler (&handlers)[N], long* global_mask, long* local_mask) {
    Ref modname = Ref::steal(PyUnicode_FromString("vardex"));
    for (Handler& h : handlers) {
        Ref ev = Ref::steal(PyObject_GetAttrString(g_events, h.event));
        Ref fn = Ref::steal(ev ? PyCFunction_NewEx(&h.def, nullptr, modname.get()) : nullptr);
        if (!fn) return -1;
        g_callables.push_back(fn);
        Ref r = Ref::steal(PyObject_CallFunction(g_register_callback, "iOO", tool, ev.get(), fn.get()));
        if (!r) return -1;
        long bit = PyLong_AsLong(ev.get());
        if (bit == -1 && PyErr_Occurred()) return -1;
        *(h.local ? local_mask : global_mask) |= bit;
        if (!std::strcmp(h.event, "LINE") || !std::strcmp(h.event, "JUMP")) g_line_mask |= bit;
    }
    return 0;
}

// ------------------------------------------------------------ polling

void restart_events() {
    if (!g_active) return;
    PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
    Ref r = Ref::steal(PyObject_CallNoArgs(g_restart_events));
    // Called from a dict watcher too: nothing may stay set.
    if (!r && !report_tool_error("sys.monitoring")) PyErr_Clear();
    if (pending) PyErr_SetRaisedException(pending);
}

// Properties are polled from now on: every call matters.
void start_polling() {
    if (!g_active || g_poll_tool >= 0 || g_restarted) return;
    PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
    int tool = take_tool_id();
    if (tool == -2 && !report_tool_error("sys.monitoring")) PyErr_Clear();
    long global_mask = 0, local_mask = 0;
    bool ok = tool >= 0 && register_handlers(tool, g_poll_handlers, &global_mask, &local_mask) == 0;
    if (ok) {
        Ref r = Ref::steal(PyObject_CallFunction(g_set_events, "il", tool, global_mask));
        ok = (bool)r;
    }
    if (ok) {
        g_poll_tool = tool;
    } else {
        if (PyErr_Occurred() && !report_tool_error("sys.monitoring")) PyErr_Clear();
        if (tool >= 0) release_tool(tool);
        // One id for everything: the calls switched off come back, for every
        // tool of the program too.
        g_restarted = true;
        restart_events();
    }
    if (pending) PyErr_SetRaisedException(pending);
}

// The polled table gains its first entry.
int on_items_change(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_CLONED) && dict == g_items &&
        PyDict_GET_SIZE(dict) == 0)
        start_polling();
    return 0;
}

void watch_items(PyObject* items) {
    if (g_items_watcher < 0 || !items || !PyDict_Check(items) || items == g_items) return;
    if (g_items) PyDict_Unwatch(g_items_watcher, g_items);
    Py_XSETREF(g_items, Py_NewRef(items));
    if (PyDict_Watch(g_items_watcher, items) < 0) PyErr_Clear();
}

int start_with_tool(int tool);

}  // namespace

bool monitoring_active() { return g_active; }

void monitoring_note_global(PyDict_WatchEvent event, PyObject* key, PyObject* new_value, bool tables_changed) {
    if (!g_active) return;
    // The interpreter clears the module's globals when it shuts down: the
    // trace function has then stopped too.
    if (event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_DEALLOCATED ||
        (key && str_is(key, "stop_trace") && (!new_value || new_value == Py_None))) {
        stop_events();
        return;
    }
    if (!key || !PyUnicode_Check(key)) return;
    if (str_is(key, "items_has_to_watch_yourself")) {
        watch_items(new_value);
        if (new_value && PyDict_Check(new_value) && PyDict_GET_SIZE(new_value)) start_polling();
        return;
    }
    // Watch tables or stop lines rebound while the program runs: every code
    // is looked at again at its next call.
    if (tables_changed || str_is(key, "trace_stop_list") || str_is(key, "trace_stop_line_numbers")) {
        ++g_generation;
        restart_events();
    }
}

int monitoring_line_event(PyFrameObject* frame) {
    Ref r = Ref::steal(line_at(frame));
    return r ? 0 : -1;
}

int monitoring_try_start() {
    if (g_active) return 0;
    const char* engine = std::getenv("VARDEX_ENGINE");
    if (engine && std::strcmp(engine, "settrace") == 0) return 0;
    PyObject* sys = get_global("sys");
    if (!sys) return -1;
    Ref mon = Ref::steal(PyObject_GetAttrString(sys, "monitoring"));
    if (!mon) return -1;
    if (!g_use_tool_id) {
        PyObject** slots[] = {&g_set_events, &g_set_local_events, &g_register_callback, &g_free_tool_id,
                              &g_use_tool_id, &g_restart_events, &g_events, &g_disable};
        const char* names[] = {"set_events", "set_local_events", "register_callback", "free_tool_id",
                               "use_tool_id", "restart_events", "events", "DISABLE"};
        for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
            *slots[i] = PyObject_GetAttrString(mon.get(), names[i]);
            if (!*slots[i]) {
                for (size_t j = 0; j < i; ++j) Py_CLEAR(*slots[j]);
                return -1;
            }
        }
    }
    int tool = take_tool_id();
    if (tool == -2) return -1;
    if (tool < 0) {
        tool_message("no free sys.monitoring tool id; tracing with sys.settrace");
        return 0;
    }
    g_tool = tool;
    int rc = start_with_tool(tool);
    if (rc < 0) {
        // Nothing of the tool stays: its id is free for the program again.
        PyObject* pending = PyErr_GetRaisedException();
        g_active = true;
        stop_events();
        PyErr_SetRaisedException(pending);
    }
    return rc;
}

namespace {

int start_with_tool(int tool) {
    if (g_extra < 0) g_extra = PyUnstable_Eval_RequestCodeExtraIndex(nullptr);
    if (g_extra < 0) PyErr_Clear();  // then every call looks the code up
    long global_mask = 0;
    g_local_mask = 0;
    if (register_handlers(tool, g_handlers, &global_mask, &g_local_mask) < 0) return -1;
    if (g_items_watcher < 0) g_items_watcher = PyDict_AddWatcher(on_items_change);
    if (g_items_watcher < 0) PyErr_Clear();
    PyObject* items = get_global("items_has_to_watch_yourself");
    watch_items(items);
    PyErr_Clear();
    g_active = true;
    ++g_generation;
    engine_set_rearm_hook(rearm_code);
    Ref r = Ref::steal(PyObject_CallFunction(g_set_events, "il", tool, global_mask));
    if (!r) return -1;
    if (items && PyDict_Check(items) && PyDict_GET_SIZE(items)) start_polling();
    // The frames already running started before the tool saw their calls.
    for (Ref f = Ref::borrow((PyObject*)PyEval_GetFrame()); f;
         f = Ref::steal((PyObject*)PyFrame_GetBack((PyFrameObject*)f.get()))) {
        Ref code = Ref::steal((PyObject*)PyFrame_GetCode((PyFrameObject*)f.get()));
        if (look_at_code((PyCodeObject*)code.get()) < 0) return -1;
    }
    // From now on events come through sys.monitoring; this thread's trace
    // function goes, and so does that of every thread at its first event.
    PyEval_SetTrace(nullptr, nullptr);
    return 0;
}

}  // namespace

}  // namespace vdx::trace
