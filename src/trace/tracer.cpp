// The trace function of the traced child.
//
// Python first reaches it through sys.settrace's trampoline; on that first
// call it installs itself as the thread's C-level trace function with
// PyEval_SetTrace, keeping the same object as sys.gettrace() and the
// trampoline's per-frame rules (the "call" result becomes the frame's local
// trace function). From then on events come straight from the interpreter.
#include "instrument/instrument.hpp"
#include "project/project.hpp"
#include "trace/engine.hpp"
#include "trace/trace.hpp"

#include <cstring>

namespace vdx::trace {

namespace {

// Layout of the interpreter's frame object, checked against the frame
// attributes at load before it is relied on.
struct FrameLayout {
    PyObject_HEAD
    PyFrameObject* f_back;
    void* f_frame;
    PyObject* f_trace;
    int f_lineno;
    char f_trace_lines;
    char f_trace_opcodes;
#if PY_VERSION_HEX < 0x030D0000
    char f_fast_as_locals;  // 3.12: f_locals is a snapshot written back after a trace call
#endif
};

PyObject* g_trace_fn = nullptr;  // strong reference, for the process
InitCaptureHook g_init_hook = nullptr;
bool g_layout_ok = false;

inline FrameLayout* layout(PyFrameObject* f) { return reinterpret_cast<FrameLayout*>(f); }

#define GLOBAL(name) get_global(VDX_STR(name))

// ------------------------------------------------------------ hot globals
//
// The globals read on every event are kept as borrowed pointers while the
// module dict is unchanged; a dict watcher drops them on any change to it
// (the callback runs before the change), so a value rebound from Python is
// seen at the next event.

enum Hot {
    kStopTrace, kChecked, kClassnameList, kWatchYourself, kStopList, kStopLineNumbers, kTraceFn,
    kHotCount
};
const char* const kHotNames[kHotCount] = {
    "stop_trace", "trace_putong_var_checked", "trace_classname_list",
    "items_has_to_watch_yourself", "trace_stop_list", "trace_stop_line_numbers",
    "trace_fun_class_or_var"};
PyObject* g_hot[kHotCount];
bool g_hot_valid = false;
bool g_hot_watched = false;

int on_module_dict_change(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject* new_value) {
    g_hot_valid = false;
    bool tables_changed = engine_note_global_change(key);
    monitoring_note_global(event, key, new_value, tables_changed);
    return 0;
}

// Borrowed value of a hot global, or nullptr with NameError set.
PyObject* hot(Hot which) {
    if (!g_hot_watched) return get_global(kHotNames[which]);
    if (!g_hot_valid) {
        for (int i = 0; i < kHotCount; ++i) {
            g_hot[i] = PyDict_GetItemWithError(module_dict(), interned(kHotNames[i]));
            if (!g_hot[i] && PyErr_Occurred()) return nullptr;
        }
        g_hot_valid = true;
    }
    PyObject* v = g_hot[which];
    if (!v) PyErr_Format(PyExc_NameError, "name '%s' is not defined", kHotNames[which]);
    return v;
}

int is_true_global(PyObject* name) { return is_true(get_global(name)); }

int contains(PyObject* container, PyObject* item) {
    if (PyList_CheckExact(container) && PyList_GET_SIZE(container) == 0) return 0;
    return PySequence_Contains(container, item);
}

// `value in seq` for a line number: exact ints of a list are compared as C
// numbers, anything else through Python's ==. `boxed` holds the int object
// once one was needed.
int contains_long(PyObject* seq, long value, Ref& boxed) {
    auto box = [&]() -> PyObject* {
        if (!boxed) boxed = Ref::steal(PyLong_FromLong(value));
        return boxed.get();
    };
    if (!PyList_CheckExact(seq)) return box() ? PySequence_Contains(seq, boxed.get()) : -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
        PyObject* item = PyList_GET_ITEM(seq, i);
        if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact((PyLongObject*)item)) {
            if (PyUnstable_Long_CompactValue((PyLongObject*)item) == value) return 1;
            continue;
        }
        if (!box()) return -1;
        Py_INCREF(item);
        int r = PyObject_RichCompareBool(item, boxed.get(), Py_EQ);
        Py_DECREF(item);
        if (r != 0) return r;
    }
    return 0;
}

int same_or_equal(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

// Whether some stop entry names this file; files holding stop lines keep
// their line events whatever else is watched.
int file_has_stop_lines(PyObject* filename) {
    PyObject* stops = hot(kStopList);
    if (!stops) return -1;
    if (PyList_CheckExact(stops) && PyList_GET_SIZE(stops) == 0) return 0;
    Ref it = Ref::steal(PyObject_GetIter(stops));
    if (!it) return -1;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        Ref path = Ref::steal(PySequence_GetItem(entry.get(), 0));
        if (!path) {
            PyErr_Clear();
            return 1;
        }
        int same = same_or_equal(path.get(), filename);
        if (same != 0) return same;
    }
    return PyErr_Occurred() ? -1 : 0;
}

void stop_line_events(PyFrameObject* frame) {
    if (g_layout_ok) {
        layout(frame)->f_trace_lines = 0;
    } else if (PyObject_SetAttrString((PyObject*)frame, "f_trace_lines", Py_False) < 0) {
        PyErr_Clear();
    }
}


// ---------------------------------------------------------------- line event

enum class Next { Keep, StopFrame, Error };

// Whether a frame runs the main file's code (not the runner's, nor a string
// the program executes, nor the main file imported as a module).
bool is_main_file_frame(PyFrameObject* frame) {
    PyCodeObject* code = PyFrame_GetCode(frame);
    bool main = code_role(code) == CodeRole::MainFile;
    Py_DECREF(code);
    return main;
}

// The file name a code's stop lines are listed under: "<string>" for the
// main file's code.
PyObject* stop_file_name(PyCodeObject* code) {
    return code_role(code) == CodeRole::MainFile ? VDX_STR("<string>") : code->co_filename;
}

// `direct`: the event comes from the C-level installation, which may switch
// off line events of a frame that has nothing more to report.
// `place_done`, when given, tells whether later events at this place of the
// code cannot matter (it is neither watched nor a stop line's).
Next line_event(PyFrameObject* frame, bool direct, bool* place_done = nullptr) {
    // Stop lines are listed in the numbering of "<string>" for the main file.
    Ref filename;
    long raw_line;
    table_location(frame, filename, raw_line);
    Ref lineno;

    // Stop lines.
    PyObject* stop_numbers = hot(kStopLineNumbers);
    if (!stop_numbers) return Next::Error;
    int at_stop = contains_long(stop_numbers, raw_line, lineno);
    if (at_stop < 0) return Next::Error;
    const bool stop_number = at_stop;
    // A line of "<string>" is the main file's only in its code, and only
    // below the preamble's lines (a stop line 0 names no line of it).
    if (at_stop && str_is(filename.get(), "<string>") &&
        (!is_main_file_frame(frame) || raw_line <= main_file_shift()))
        at_stop = 0;
    PyErr_Clear();
    if (at_stop) {
        PyObject* stops = hot(kStopList);
        if (!stops) return Next::Error;
        if (!lineno) lineno = Ref::steal(PyLong_FromLong(raw_line));
        Ref text = Ref::steal(PyObject_Str(filename.get()));
        Ref pair = Ref::steal(text && lineno ? list_of({text.get(), lineno.get()}) : nullptr);
        if (!pair) return Next::Error;
        int hit = contains(stops, pair.get());
        if (hit < 0) return Next::Error;
        if (hit) {
            // What the frame's earlier statements did is told first, as its
            // next event would have.
            if (engine_has_frames() && engine_settle_at_stop(frame) < 0 &&
                !report_tool_error("reporting a watched change"))
                return Next::Error;
            Ref number = Ref::steal(PyObject_Str(lineno.get()));
            Ref line = Ref::steal(number ? concat({VDX_STR("Trace_stop At: "), text.get(), VDX_STR(" "),
                                                   number.get()})
                                         : nullptr);
            if (!line) return Next::Error;
            tool_write_line(line.get());
            PyObject* sys = GLOBAL("sys");
            if (!sys) return Next::Error;
            Ref r = Ref::steal(PyObject_CallMethodOneArg(sys, VDX_STR("settrace"), Py_None));
            if (!r || set_global(VDX_STR("stop_trace"), Py_True) < 0) return Next::Error;
            return Next::StopFrame;
        }
    }

    bool needed = true;
    int watched = engine_line_event(frame, place_done ? &needed : nullptr);
    if (watched < 0) return Next::Error;
    if (place_done) *place_done = !needed && !stop_number;
    if (watched) return Next::Keep;
    // Nothing watched in this code: its frames need line events only for
    // stop lines.
    int has_stops = file_has_stop_lines(filename.get());
    if (has_stops < 0) return Next::Error;
    if (has_stops) return Next::Keep;
    if (direct) stop_line_events(frame);
    return Next::StopFrame;
}

// ---------------------------------------------------------------- call event

// Re-reads the property-only attributes of the polled instances and reports
// the ones whose values changed since the last call event.
int poll_watched_items(PyFrameObject* frame) {
    PyObject* items = hot(kWatchYourself);
    int any = is_true(items);
    if (any <= 0) return any;

    Ref caller_file = Ref::steal(PyUnicode_FromString(""));
    Ref function_name = Ref::steal(PyUnicode_FromString(""));
    // A call with no Python caller (made by the interpreter at exit, or the
    // first of a thread) is placed at the called function itself.
    PyFrameObject* back = PyFrame_GetBack(frame);
    if (!back) back = (PyFrameObject*)Py_NewRef(frame);
    {
        PyCodeObject* code = PyFrame_GetCode(back);
        caller_file = Ref::borrow(code->co_filename);
        // The main file by its own path.
        if (code_role(code) == CodeRole::MainFile) {
            PyObject* main_file = get_global(VDX_STR("project_main_file"));
            if (!main_file) {
                Py_DECREF(code);
                Py_DECREF(back);
                return -1;
            }
            caller_file = Ref::borrow(main_file);
        }
        function_name = Ref::borrow(code->co_name);
        Py_DECREF(code);
        Py_DECREF(back);
    }
    Ref callers;  // made at the first change
    Ref pairs = Ref::steal(PyMapping_Items(items));
    if (!pairs) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* watch_key = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 0);
        PyObject* watch_item = instrument::filed_object(watch_key);
        PyObject* users = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 1);
        Ref values = Ref::steal(PyList_New(0));
        Ref attrs = Ref::steal(PyObject_GetAttrString(watch_item, "_only_property_attrs_trace_list"));
        if (!values || !attrs) return -1;
        Ref attr_name = Ref::steal(PyUnicode_FromString(""));
        Ref afterstr = Ref::steal(PyUnicode_FromString(""));
        Ref it = Ref::steal(PyObject_GetIter(attrs.get()));
        if (!it) return -1;
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            attr_name = Ref::steal(PySequence_GetItem(pair.get(), 0));
            afterstr = Ref::steal(PySequence_GetItem(pair.get(), 1));
            if (!attr_name || !afterstr) return -1;
            Ref current = Ref::steal(PyObject_GetAttr(watch_item, attr_name.get()));
            if (!current) {
                // A getter that fails while polled reads as None; only a
                // missing attribute goes unsaid.
                if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !report_tool_error("property poll"))
                    return -1;
                PyErr_Clear();
                current = Ref::borrow(Py_None);
            }
            Ref value1 = Ref::steal(instrument::values_along(current.get(), afterstr.get()));
            if (!value1) return -1;
            if (PyList_Append(values.get(), value1.get()) < 0) return -1;
        }
        if (PyErr_Occurred()) return -1;
        PyObject* last_values = GLOBAL("last_values_has_to_watch_yourself");
        if (!last_values) return -1;
        Ref previous = Ref::steal(PyObject_GetItem(last_values, watch_key));
        if (!previous) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
            PyErr_Clear();
            previous = Ref::borrow(Py_None);
        }
        int changed = PyObject_RichCompareBool(previous.get(), values.get(), Py_NE);
        if (changed < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            PyErr_Clear();
            changed = 1;
        }
        if (changed > 0 && PyList_Check(previous.get()) &&
            PyList_GET_SIZE(previous.get()) == PyList_GET_SIZE(values.get())) {
            // Named by the first attribute whose values changed, not the last
            // one polled (with one attribute, the same).
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(values.get()); ++j) {
                Ref a = Ref::borrow(PyList_GET_ITEM(previous.get(), j));
                Ref b = Ref::borrow(PyList_GET_ITEM(values.get(), j));
                int differs = PyObject_RichCompareBool(a.get(), b.get(), Py_NE);
                if (differs < 0) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
                    PyErr_Clear();
                    differs = 1;
                }
                if (!differs) continue;
                Ref pair = Ref::steal(PySequence_GetItem(attrs.get(), j));
                Ref name = pair ? Ref::steal(PySequence_GetItem(pair.get(), 0)) : Ref();
                Ref path = name ? Ref::steal(PySequence_GetItem(pair.get(), 1)) : Ref();
                if (!path) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
                    PyErr_Clear();  // the list changed meanwhile: keep the last pair
                    break;
                }
                attr_name = name;
                afterstr = path;
                break;
            }
        }
        if (changed) {
            Ref item_text = Ref::steal(report_text(watch_item));
            Ref name_text = Ref::steal(value_text(attr_name.get()));
            Ref path_text = Ref::steal(value_text(afterstr.get()));
            Ref before_text = Ref::steal(report_text(previous.get()));
            Ref after_text = Ref::steal(report_text(values.get()));
            Ref file_text = Ref::steal(value_text(caller_file.get()));
            Ref func_text = Ref::steal(value_text(function_name.get()));
            Ref report = Ref::steal(concat(
                {VDX_STR("-\u2193--------VALUE CHANGED4 in "), file_text.get(),
                 VDX_STR(" Function\uff1a"), func_text.get(), VDX_STR("\uff0c-"), item_text.get(),
                 VDX_STR("."), name_text.get(), VDX_STR(" changed/together with "),
                 path_text.get(), VDX_STR(" from "), before_text.get(), VDX_STR(" to "),
                 after_text.get()}));
            if (!report) return -1;
            if (!callers) callers = Ref::steal(instrument::caller_details((PyObject*)frame, 1));
            if (!callers) return -1;
            Ref user_it = Ref::steal(PyObject_GetIter(users));
            if (!user_it) return -1;
            while (Ref user = Ref::steal(PyIter_Next(user_it.get())))
                if (instrument::file_report(user.get(), callers.get(), report.get(), nullptr) < 0) return -1;
            if (PyErr_Occurred()) return -1;
        }
        if (PyObject_SetItem(last_values, watch_key, values.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace

int poll_watched(PyFrameObject* frame) { return poll_watched_items(frame); }
InitCaptureHook init_capture_hook() { return g_init_hook; }

namespace {

// ---------------------------------------------------------------- dispatch

int first_event_setup() {
    int checked = is_true(hot(kChecked));
    if (checked != 0) return checked < 0 ? -1 : 0;
    int vars = is_true_global(VDX_STR("trace_var_list"));
    int lists = vars > 0 ? 0 : is_true_global(VDX_STR("trace_list_list"));
    if (vars < 0 || lists < 0) return -1;
    // Watched classes need the scan too: it finds where the named instances
    // are created.
    int classes = vars || lists ? 0 : is_true(hot(kClassnameList));
    if (classes < 0) return -1;
    bool prepare = vars || lists || classes;
    if (!prepare) {
        // Stop lines stop tracing whatever else is watched.
        int stops = is_true_global(VDX_STR("trace_stop_list"));
        if (stops < 0) return -1;
        prepare = stops;
    }
    // Set before the tables are made, so that a failure is said once and
    // the program runs on with what could be made.
    if (set_global(VDX_STR("trace_putong_var_checked"), Py_True) < 0) return -1;
    if (prepare) {
        int rc = 0;
        if (vars || lists || classes) {
            rc = project::run_generate_linenos();
        } else {
            try {
                project::create_trace_stop_line_numbers();
            } catch (py::error_already_set& e) {
                e.restore();
                rc = -1;
            }
        }
        if (rc < 0 && !report_tool_error("preparing the watch tables")) return -1;
    }
    // From here on sys.monitoring can deliver the events, only where they
    // are needed.
    if (prepare && monitoring_try_start() < 0 && !report_tool_error("sys.monitoring")) return -1;
    return 0;
}

PyObject* self_ref() {
    PyObject* fn = hot(kTraceFn);
    return fn ? Py_NewRef(fn) : nullptr;
}

// One event; returns the frame's local trace function (new ref; None stops
// tracing the frame) or nullptr on error. `direct` as for line_event.
PyObject* handle_event(PyFrameObject* frame, int what, bool direct) {
    if (monitoring_active()) {
        // Events come through sys.monitoring: this thread's trace function
        // (installed when it started) goes.
        PyEval_SetTrace(nullptr, nullptr);
        return Py_NewRef(Py_None);
    }
    PyObject* stop = hot(kStopTrace);
    // None: the interpreter is shutting down and has cleared the module's
    // globals (a generator closed at exit still sends events).
    if (stop == Py_None) return Py_NewRef(Py_None);
    int stopped = is_true(stop);
    if (stopped != 0) return stopped < 0 ? nullptr : Py_NewRef(Py_None);
    if (first_event_setup() < 0) return nullptr;
    if (monitoring_active()) {
        // The run has just moved to sys.monitoring, which has not seen this
        // event: a line event is its first.
        PyEval_SetTrace(nullptr, nullptr);
        if (what == PyTrace_LINE && monitoring_line_event(frame) < 0) return nullptr;
        return Py_NewRef(Py_None);
    }
    if (what == PyTrace_LINE) {
        switch (line_event(frame, direct)) {
            case Next::Error: return nullptr;
            case Next::StopFrame: return Py_NewRef(Py_None);
            case Next::Keep: break;
        }
    } else if (what == PyTrace_CALL) {
        int classes = is_true(hot(kClassnameList));
        if (classes < 0) return nullptr;
        if (classes) {
            if (poll_watched_items(frame) < 0 && !report_tool_error("property poll")) return nullptr;
            if (g_init_hook) {
                PyCodeObject* code = PyFrame_GetCode(frame);
                bool is_init = str_is(code->co_name, "__init__");
                Py_DECREF(code);
                if (is_init) {
                    Ref local = Ref::steal(g_init_hook(frame));
                    if (!local) return nullptr;
                    if (local.get() == Py_None) return local.release();
                }
            }
        }
        // A generator or coroutine resumed within a line.
        bool resume_needed = false;
        if (engine_resume_event(frame, PyFrame_GetLasti(frame), &resume_needed) < 0 &&
            !report_tool_error("reporting a watched change"))
            return nullptr;
        if (direct) {
            // Frames of code that changes no watched name and of files without
            // stop lines get no line events: their first one would end them.
            Ref code = Ref::steal((PyObject*)PyFrame_GetCode(frame));
            int watched = engine_code_is_watched((PyCodeObject*)code.get());
            if (watched < 0) return nullptr;
            if (!watched) {
                int has_stops = file_has_stop_lines(stop_file_name((PyCodeObject*)code.get()));
                if (has_stops < 0) return nullptr;
                if (!has_stops) stop_line_events(frame);
            }
        }
    } else if (what == PyTrace_RETURN) {
        if (engine_has_frames()) engine_frame_exit(frame);
    } else if (what == PyTrace_EXCEPTION) {
        if (engine_has_frames()) engine_frame_exception(frame);
    }
    return self_ref();
}

const char* const kEventNames[] = {"call", "exception", "line", "return",
                                   "c_call", "c_exception", "c_return", "opcode"};

// The C-level trace function, with the trampoline's per-frame rules.
int c_trace(PyObject* obj, PyFrameObject* frame, int what, PyObject* arg) {
    PyObject* callback = what == PyTrace_CALL ? obj : layout(frame)->f_trace;
    if (!callback) return 0;
    PyObject* result;
    if (callback == g_trace_fn) {
        if (what != PyTrace_CALL && what != PyTrace_LINE && g_hot_valid && g_hot[kChecked] == Py_True &&
            g_hot[kTraceFn] == callback) {
            // "return" and "exception" events only settle the frame's open
            // reports once the tables are made: the result would be this very
            // function or None, and neither changes the frame's local trace
            // function.
            if (engine_has_frames()) {
                if (what == PyTrace_RETURN) engine_frame_exit(frame);
                else if (what == PyTrace_EXCEPTION) engine_frame_exception(frame);
            }
            return 0;
        }
        result = handle_event(frame, what, true);
        if (!result) {
            // The tool's own failure: one line on stderr, and the program
            // goes on traced. KeyboardInterrupt and SystemExit reach it.
            if (!report_tool_error("tracer")) return -1;
            if (what == PyTrace_CALL) Py_XSETREF(layout(frame)->f_trace, Py_NewRef(g_trace_fn));
            return 0;
        }
    } else {
        // A local trace function other than ours: call it as Python would
        // (3.13's f_locals writes through, with nothing to copy back).
#if PY_VERSION_HEX < 0x030D0000
        if (layout(frame)->f_fast_as_locals && PyFrame_FastToLocalsWithError(frame) < 0)
            return -1;
#endif
        PyObject* event = interned(kEventNames[what]);
        PyObject* args[3] = {(PyObject*)frame, event, arg ? arg : Py_None};
        result = PyObject_Vectorcall(callback, args, 3, nullptr);
#if PY_VERSION_HEX < 0x030D0000
        PyFrame_LocalsToFast(frame, 1);
#endif
    }
    if (!result) {
        PyEval_SetTrace(nullptr, nullptr);
        Py_CLEAR(layout(frame)->f_trace);
        return -1;
    }
    if (result != Py_None)
        Py_XSETREF(layout(frame)->f_trace, result);
    else
        Py_DECREF(result);
    return 0;
}

void install_direct_trace() {
    if (!g_layout_ok) return;
    PyThreadState* ts = PyThreadState_Get();
    if (ts->c_traceobj == g_trace_fn && ts->c_tracefunc != c_trace) PyEval_SetTrace(c_trace, g_trace_fn);
}

int event_code(PyObject* event) {
    for (int i = 0; i < 8; ++i)
        if (str_is(event, kEventNames[i])) return i;
    return -1;
}

PyObject* py_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"frame", "event", "arg"};
    PyObject* given[3] = {nullptr, nullptr, nullptr};
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "trace_fun_class_or_var() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int i = 0; i < 3; ++i)
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) slot = i;
        if (slot < 0 || given[slot]) {
            PyErr_Format(PyExc_TypeError, "trace_fun_class_or_var() got an unexpected or repeated argument '%U'", key);
            return nullptr;
        }
        given[slot] = args[nargs + k];
    }
    for (int i = 0; i < 3; ++i) {
        if (!given[i]) {
            PyErr_Format(PyExc_TypeError, "trace_fun_class_or_var() missing argument '%s'", names[i]);
            return nullptr;
        }
    }
    if (!PyFrame_Check(given[0])) {
        PyErr_SetString(PyExc_TypeError, "trace_fun_class_or_var() expects a frame");
        return nullptr;
    }
    install_direct_trace();
    int what = event_code(given[1]);
    PyObject* result = handle_event((PyFrameObject*)given[0], what, false);
    if (!result && report_tool_error("tracer")) result = Py_NewRef(g_trace_fn);
    return result;
}

PyMethodDef trace_def = {"trace_fun_class_or_var", (PyCFunction)(void (*)(void))py_trace,
                         METH_FASTCALL | METH_KEYWORDS,
                         "trace_fun_class_or_var(frame, event, arg)\n--\n\n"
                         "The tracer: reports watched changes and honours stop lines."};

// Confirms the frame layout on a live frame through its own attributes.
bool check_frame_layout() {
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return false;
    PyObject* f = (PyObject*)frame;
    Ref old_trace = Ref::steal(PyObject_GetAttrString(f, "f_trace"));
    Ref old_lines = Ref::steal(PyObject_GetAttrString(f, "f_trace_lines"));
    if (!old_trace || !old_lines) {
        PyErr_Clear();
        return false;
    }
    Ref probe = Ref::steal(PyList_New(0));
    bool ok = PyObject_SetAttrString(f, "f_trace", probe.get()) == 0 &&
              layout(frame)->f_trace == probe.get() &&
              PyObject_SetAttrString(f, "f_trace_lines", Py_False) == 0 &&
              layout(frame)->f_trace_lines == 0 &&
              PyObject_SetAttrString(f, "f_trace_lines", Py_True) == 0 &&
              layout(frame)->f_trace_lines == 1;
    PyErr_Clear();
    PyObject_SetAttrString(f, "f_trace", old_trace.get());
    PyObject_SetAttrString(f, "f_trace_lines", old_lines.get());
    PyErr_Clear();
    return ok;
}

}  // namespace

// ---------------------------------------------------------------- sys.monitoring

int code_needs_line_events(PyCodeObject* code) {
    int watched = engine_code_is_watched(code);
    if (watched != 0) return watched;
    return file_has_stop_lines(stop_file_name(code));
}

LineResult monitored_line_event(PyFrameObject* frame) {
    PyObject* stop = hot(kStopTrace);
    if (!stop) return LineResult::Error;
    if (stop == Py_None) return LineResult::Keep;  // shutting down
    int stopped = is_true(stop);
    if (stopped != 0) return stopped < 0 ? LineResult::Error : LineResult::Stopped;
    bool place_done = false;
    switch (line_event(frame, false, &place_done)) {
        case Next::Error: return LineResult::Error;
        case Next::Keep: return place_done ? LineResult::Done : LineResult::Keep;
        case Next::StopFrame: break;
    }
    stopped = is_true(hot(kStopTrace));
    if (stopped < 0) return LineResult::Error;
    return stopped ? LineResult::Stopped : LineResult::Done;
}

void set_init_capture_hook(InitCaptureHook hook) { g_init_hook = hook; }
PyObject* trace_function() noexcept { return g_trace_fn; }

void register_tracer(py::module_& m) {
    g_layout_ok = check_frame_layout();
    // Without a live frame (loaded from C) nothing can be checked, nor is
    // anything traced from here.
    if (!g_layout_ok && PyEval_GetFrame())
        tool_message("the frame layout of this interpreter is not the one vardex knows; frames are reached "
                     "through their attributes");
    check_interpreter_frame_layout();
    int watcher = PyDict_AddWatcher(on_module_dict_change);
    if (watcher >= 0 && PyDict_Watch(watcher, module_dict()) == 0)
        g_hot_watched = true;
    else
        PyErr_Clear();
    Ref modname = Ref::steal(PyUnicode_FromString("vardex"));
    g_trace_fn = PyCFunction_NewEx(&trace_def, m.ptr(), modname.get());
    if (!g_trace_fn) throw py::error_already_set();
    m.attr("trace_fun_class_or_var") = py::reinterpret_borrow<py::object>(g_trace_fn);
}

}  // namespace vdx::trace
