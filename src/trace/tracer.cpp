// The trace function of the traced child.
//
// Python first reaches it through sys.settrace's trampoline; on that first
// call it installs itself as the thread's C-level trace function with
// PyEval_SetTrace, keeping the same object as sys.gettrace() and the
// trampoline's per-frame rules (the "call" result becomes the frame's local
// trace function). From then on events come straight from the interpreter.
#include "instrument/instrument.hpp"
#include "project/project.hpp"
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
    char f_fast_as_locals;
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
    kStopTrace, kChecked, kClassnameList, kWatchYourself, kAimFiles, kStopList,
    kStopLineNumbers, kLastLineno, kWatchedLines, kTraceFn, kHotCount
};
const char* const kHotNames[kHotCount] = {
    "stop_trace", "trace_putong_var_checked", "trace_classname_list",
    "items_has_to_watch_yourself", "trace_aim_files", "trace_stop_list",
    "trace_stop_line_numbers", "last_trace_lineno", "trace_line_numbers_combine",
    "trace_fun_class_or_var"};
PyObject* g_hot[kHotCount];
bool g_hot_valid = false;
bool g_hot_watched = false;

int on_module_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    g_hot_valid = false;
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

int is_true(PyObject* v) {
    if (!v) return -1;
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) != 0;
    if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) != 0;
    return PyObject_IsTrue(v);
}

int is_true_global(PyObject* name) { return is_true(get_global(name)); }

int contains(PyObject* container, PyObject* item) {
    if (PyList_CheckExact(container) && PyList_GET_SIZE(container) == 0) return 0;
    return PySequence_Contains(container, item);
}

bool compact_int_is(PyObject* o, long value) {
    return PyLong_CheckExact(o) && PyUnstable_Long_IsCompact((PyLongObject*)o) &&
           PyUnstable_Long_CompactValue((PyLongObject*)o) == value;
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

bool same_str(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), n * PyUnicode_KIND(a)) == 0;
}

// `name in seq` for a file name: exact strs of a list are compared directly,
// anything else through Python's ==.
int contains_str(PyObject* seq, PyObject* name) {
    if (!PyList_CheckExact(seq) || !PyUnicode_CheckExact(name)) return contains(seq, name);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
        PyObject* item = PyList_GET_ITEM(seq, i);
        if (PyUnicode_CheckExact(item)) {
            if (same_str(item, name)) return 1;
            continue;
        }
        Py_INCREF(item);
        int r = PyObject_RichCompareBool(item, name, Py_EQ);
        Py_DECREF(item);
        if (r != 0) return r;
    }
    return 0;
}

int eq(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

int str_is(PyObject* s, const char* text) {
    return PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// print(*args) through the builtin, so output matches Python's own printing.
int print_values(std::initializer_list<PyObject*> values) {
    PyObject* print = PyDict_GetItemString(PyEval_GetBuiltins(), "print");
    if (!print) return -1;
    Ref args = Ref::steal(PyTuple_New((Py_ssize_t)values.size()));
    if (!args) return -1;
    Py_ssize_t i = 0;
    for (PyObject* v : values) PyTuple_SET_ITEM(args.get(), i++, Py_NewRef(v));
    Ref r = Ref::steal(PyObject_Call(print, args.get(), nullptr));
    return r ? 0 : -1;
}

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
        int same = eq(path.get(), filename);
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

PyObject* frame_filename(PyFrameObject* frame) {
    PyCodeObject* code = PyFrame_GetCode(frame);
    PyObject* name = Py_NewRef(code->co_filename);
    Py_DECREF(code);
    return name;
}

// ---------------------------------------------------------------- prediction

struct FrameScope {
    PyFrameObject* frame;
    Ref globals, locals;
    int ensure() {
        if (locals) return 0;
        globals = Ref::steal(PyFrame_GetGlobals(frame));
        if (!globals) return -1;
        locals = Ref::steal(PyFrame_GetLocals(frame));
        return locals ? 0 : -1;
    }
    ~FrameScope() {
        if (locals) {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            PyFrame_LocalsToFast(frame, 1);
            PyErr_Restore(t, v, tb);
        }
    }
};

PyObject* eval_in(FrameScope& scope, PyObject* expr) {
    if (scope.ensure() < 0) return nullptr;
    PyObject* eval = PyDict_GetItemString(PyEval_GetBuiltins(), "eval");
    if (!eval) return nullptr;
    return PyObject_CallFunctionObjArgs(eval, expr, scope.globals.get(), scope.locals.get(),
                                        nullptr);
}

PyObject* item(PyObject* record, Py_ssize_t i) { return PySequence_GetItem(record, i); }

PyObject* eval_item(FrameScope& scope, PyObject* record, Py_ssize_t i) {
    Ref expr = Ref::steal(item(record, i));
    if (!expr) return nullptr;
    return eval_in(scope, expr.get());
}

PyObject* call_on_copy(PyObject* copy, const char* method, std::initializer_list<PyObject*> args) {
    Ref name = Ref::steal(PyUnicode_FromString(method));
    if (!name) return nullptr;
    PyObject* argv[4] = {copy, nullptr, nullptr, nullptr};
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    Ref r = Ref::steal(PyObject_VectorcallMethod(name.get(), argv, n, nullptr));
    if (!r) return nullptr;
    return Py_NewRef(copy);
}

// The value the record's operation gives the copied target (new ref, nullptr
// with an exception set when the prediction fails).
PyObject* predict(FrameScope& scope, PyObject* record, PyObject* op, PyObject* copy) {
    if (str_is(op, "Function Value")) return PyUnicode_FromString("Function Value");
    if (str_is(op, "=")) return eval_item(scope, record, 3);
    auto one_arg = [&](const char* method) -> PyObject* {
        Ref a = Ref::steal(eval_item(scope, record, 3));
        if (!a) return nullptr;
        return call_on_copy(copy, method, {a.get()});
    };
    auto two_args = [&](const char* method) -> PyObject* {
        Ref a = Ref::steal(eval_item(scope, record, 3));
        if (!a) return nullptr;
        Ref b = Ref::steal(eval_item(scope, record, 4));
        if (!b) return nullptr;
        return call_on_copy(copy, method, {a.get(), b.get()});
    };
    for (const char* m : {"append", "extend", "remove", "update"})
        if (str_is(op, m)) return one_arg(m);
    for (const char* m : {"insert", "setdefault"})
        if (str_is(op, m)) return two_args(m);
    if (str_is(op, "pop")) {
        Ref third = Ref::steal(item(record, 3));
        if (!third) return nullptr;
        int plain = PySequence_Contains(third.get(), VDX_STR("Method Call"));
        if (plain < 0) return nullptr;
        return plain ? call_on_copy(copy, "pop", {}) : one_arg("pop");
    }
    for (const char* m : {"sort", "reverse", "clear"})
        if (str_is(op, m)) return call_on_copy(copy, m, {});
    if (str_is(op, "Delete")) {
        Ref key = Ref::steal(eval_item(scope, record, 3));
        if (!key || PyObject_DelItem(copy, key.get()) < 0) return nullptr;
        return Py_NewRef(copy);
    }
    using InPlace = PyObject* (*)(PyObject*, PyObject*);
    struct { const char* name; InPlace fn; } inplace[] = {{"Add", PyNumber_InPlaceAdd},
                                                          {"Mult", PyNumber_InPlaceMultiply},
                                                          {"Sub", PyNumber_InPlaceSubtract},
                                                          {"Div", PyNumber_InPlaceTrueDivide}};
    for (auto& e : inplace) {
        if (str_is(op, e.name)) {
            Ref v = Ref::steal(eval_item(scope, record, 3));
            if (!v) return nullptr;
            return e.fn(copy, v.get());
        }
    }
    Py_ssize_t n = PyObject_Size(record);
    if (n < 0) return nullptr;
    Ref last = Ref::steal(item(record, n - 1));
    if (!last) return nullptr;
    int subscript = PySequence_Contains(last.get(), VDX_STR("Subscript Assign"));
    if (subscript < 0) return nullptr;
    if (subscript) {
        Ref key = Ref::steal(eval_item(scope, record, 2));
        if (!key) return nullptr;
        Ref value = Ref::steal(eval_item(scope, record, 3));
        if (!value || PyObject_SetItem(copy, key.get(), value.get()) < 0) return nullptr;
        return Py_NewRef(copy);
    }
    return PyUnicode_FromString("unknown");
}

// Swallows an Exception (not KeyboardInterrupt/SystemExit); returns false if
// the pending error must propagate.
bool swallow_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// [target, value before, predicted value] for one record (new ref).
PyObject* change_triple(FrameScope& scope, PyObject* record) {
    Ref name = Ref::steal(item(record, 1));
    if (!name) return nullptr;
    Ref op = Ref::steal(item(record, 2));
    if (!op) return nullptr;
    Ref before = Ref::borrow(Py_None), copy = Ref::borrow(Py_None);
    Ref value = Ref::steal(eval_in(scope, name.get()));
    if (value) {
        before = value;
        PyObject* copy_mod = GLOBAL("copy");
        if (!copy_mod) return nullptr;
        Ref copied = Ref::steal(PyObject_CallMethod(copy_mod, "deepcopy", "O", value.get()));
        if (copied) copy = copied;
    }
    if (PyErr_Occurred() && !swallow_exception()) return nullptr;
    Ref after = Ref::steal(predict(scope, record, op.get(), copy.get()));
    if (!after) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyObject* exc = PyErr_GetRaisedException();
        int rc = print_values({VDX_STR("err when predict variable_copy:"), exc});
        Py_DECREF(exc);
        if (rc < 0) return nullptr;
        after = Ref::steal(PyUnicode_FromString("unknown 2"));
    }
    return list_of({name.get(), before.get(), after.get()});
}

// ---------------------------------------------------------------- line event

enum class Next { Keep, StopFrame, Error };

Next report_changes(PyFrameObject* frame, PyObject* changes, PyObject* filename, PyObject* source_lineno,
                    PyObject* line) {
    Ref code_text = Ref::steal(project::get_no_comment_line(line));
    if (!code_text) return Next::Error;
    Ref stripped = Ref::steal(PyObject_CallMethod(code_text.get(), "strip", nullptr));
    if (!stripped) return Next::Error;
    Ref lineno_text = Ref::steal(PyObject_Str(source_lineno));
    if (!lineno_text) return Next::Error;
    Py_ssize_t n = PyList_GET_SIZE(changes);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* triple = PyList_GET_ITEM(changes, i);
        PyObject* name = PyList_GET_ITEM(triple, 0);
        Ref name_text = Ref::steal(PyObject_Str(name));
        if (!name_text) return Next::Error;
        // The caller chain starts at the traced frame's own caller.
        Ref callers = Ref::steal(instrument::caller_details((PyObject*)frame, 0));
        if (!callers) return Next::Error;
        Ref label = Ref::steal(concat({VDX_STR("<"), name_text.get(), VDX_STR(">")}));
        if (!label || write_caller_details(label.get(), callers.get()) < 0) return Next::Error;
        Ref before = Ref::steal(PyObject_Str(PyList_GET_ITEM(triple, 1)));
        Ref after = Ref::steal(before ? PyObject_Str(PyList_GET_ITEM(triple, 2)) : nullptr);
        Ref file_text = Ref::steal(PyObject_Str(filename));
        if (!after || !file_text) return Next::Error;
        Ref report = Ref::steal(concat({VDX_STR("-\u2193--------VALUE CHANGED3 in "), file_text.get(),
                                        VDX_STR(" line "), lineno_text.get(), VDX_STR(":"),
                                        stripped.get(), VDX_STR(" Variable:"), name_text.get(),
                                        VDX_STR("\uff0cfrom "), before.get(), VDX_STR(" to "),
                                        after.get()}));
        if (!report) return Next::Error;
        Ref reports = Ref::steal(list_of({report.get()}));
        PyObject* info = GLOBAL("trace_info");
        if (!reports || !info ||
            instrument::combine_trace_info(info, label.get(), reports.get(), nullptr) < 0)
            return Next::Error;
        PyObject* main_file = GLOBAL("project_main_file");
        if (!main_file) return Next::Error;
        int is_main = eq(filename, main_file);
        if (is_main < 0) return Next::Error;
        if (is_main) {
            PyObject* add = GLOBAL("add_lines_lens");
            if (!add) return Next::Error;
            Ref one = Ref::steal(PyLong_FromLong(1));
            Ref shift = Ref::steal(PyNumber_Add(add, one.get()));
            Ref raw = Ref::steal(shift ? PyNumber_Add(source_lineno, shift.get()) : nullptr);
            if (!raw || set_global(VDX_STR("last_trace_filename"), VDX_STR("<string>")) < 0 ||
                set_global(VDX_STR("last_trace_lineno"), raw.get()) < 0)
                return Next::Error;
        } else if (set_global(VDX_STR("last_trace_filename"), filename) < 0 ||
                   set_global(VDX_STR("last_trace_lineno"), source_lineno) < 0) {
            return Next::Error;
        }
    }
    return Next::Keep;
}

// `direct`: the event comes from the C-level installation, which may switch
// off line events of a frame that has nothing more to report.
Next line_event(PyFrameObject* frame, bool direct) {
    Ref filename = Ref::steal(frame_filename(frame));
    const long raw_line = PyFrame_GetLineNumber(frame);
    Ref lineno;  // the line number as an int object, made when needed
    auto boxed = [&]() -> PyObject* {
        if (!lineno) lineno = Ref::steal(PyLong_FromLong(raw_line));
        return lineno.get();
    };

    // Stop lines.
    PyObject* stop_numbers = hot(kStopLineNumbers);
    if (!stop_numbers) return Next::Error;
    int at_stop = contains_long(stop_numbers, raw_line, lineno);
    if (at_stop < 0) return Next::Error;
    if (at_stop) {
        PyObject* stops = hot(kStopList);
        if (!stops || !boxed()) return Next::Error;
        Ref text = Ref::steal(PyObject_Str(filename.get()));
        Ref pair = Ref::steal(text ? list_of({text.get(), lineno.get()}) : nullptr);
        if (!pair) return Next::Error;
        int hit = contains(stops, pair.get());
        if (hit < 0) return Next::Error;
        if (hit) {
            if (print_values({VDX_STR("Trace_stop At:"), filename.get(), lineno.get()}) < 0)
                return Next::Error;
            PyObject* sys = GLOBAL("sys");
            if (!sys) return Next::Error;
            Ref r = Ref::steal(PyObject_CallMethod(sys, "settrace", "O", Py_None));
            if (!r || set_global(VDX_STR("stop_trace"), Py_True) < 0) return Next::Error;
            return Next::StopFrame;
        }
    }

    // Files that modify no watched name.
    PyObject* aim_files = hot(kAimFiles);
    if (!aim_files) return Next::Error;
    int in_aim = contains_str(aim_files, filename.get());
    if (in_aim < 0) return Next::Error;
    if (!in_aim) {
        int has_stops = file_has_stop_lines(filename.get());
        if (has_stops < 0) return Next::Error;
        if (!has_stops && direct) stop_line_events(frame);
        return Next::StopFrame;
    }

    // The line reported by the previous event.
    PyObject* last_lineno = hot(kLastLineno);
    if (!last_lineno) return Next::Error;
    if (!compact_int_is(last_lineno, -1)) {
        Ref minus_one = Ref::steal(PyLong_FromLong(-1));
        int armed = PyObject_RichCompareBool(last_lineno, minus_one.get(), Py_NE);
        if (armed < 0) return Next::Error;
        if (armed) {
            PyObject* last_file = GLOBAL("last_trace_filename");
            if (!last_file || !boxed()) return Next::Error;
            int same_line = eq(lineno.get(), last_lineno);
            int same_file = same_line > 0 ? eq(filename.get(), last_file) : 0;
            if (same_line < 0 || same_file < 0) return Next::Error;
            if (same_line && same_file) return Next::Keep;
            if (set_global(VDX_STR("last_trace_lineno"), minus_one.get()) < 0 ||
                set_global(VDX_STR("last_trace_filename"), VDX_STR("")) < 0)
                return Next::Error;
        }
    }

    PyObject* watched_lines = hot(kWatchedLines);
    if (!watched_lines) return Next::Error;
    int watched = contains_long(watched_lines, raw_line, lineno);
    if (watched <= 0) return watched < 0 ? Next::Error : Next::Keep;
    if (!boxed()) return Next::Error;

    // A watched line: map to the source file and its own numbering.
    if (str_is(filename.get(), "<string>")) {
        PyObject* main_file = GLOBAL("project_main_file");
        if (!main_file) return Next::Error;
        filename = Ref::borrow(main_file);
    }
    Ref located = Ref::steal(line_from_file(filename.get(), lineno.get()));
    if (!located) return Next::Error;
    PyObject* line = PyTuple_GET_ITEM(located.get(), 0);
    PyObject* source_lineno = PyTuple_GET_ITEM(located.get(), 1);
    PyObject* last_source = GLOBAL("last_trace_lienno");
    PyObject* last_file = GLOBAL("last_trace_filename");
    if (!last_source || !last_file) return Next::Error;
    int same = eq(source_lineno, last_source);
    if (same > 0) same = eq(filename.get(), last_file);
    if (same < 0) return Next::Error;
    if (same) return Next::Keep;
    if (set_global(VDX_STR("last_trace_lienno"), source_lineno) < 0 ||
        set_global(VDX_STR("last_trace_filename"), filename.get()) < 0)
        return Next::Error;

    Ref changes = Ref::steal(PyList_New(0));
    if (!changes) return Next::Error;
    {
        FrameScope scope{frame, {}, {}};
        PyObject* aim_info = GLOBAL("trace_aim_info_list");
        if (!aim_info) return Next::Error;
        Ref entries = Ref::steal(PySequence_List(aim_info));
        if (!entries) return Next::Error;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            PyObject* entry = PyList_GET_ITEM(entries.get(), i);
            Ref entry_file = Ref::steal(PySequence_GetItem(entry, 0));
            if (!entry_file) return Next::Error;
            int mine = eq(entry_file.get(), filename.get());
            if (mine < 0) return Next::Error;
            if (!mine) continue;
            Ref records = Ref::steal(PySequence_GetItem(entry, 1));
            Ref rec_list = Ref::steal(records ? PySequence_List(records.get()) : nullptr);
            if (!rec_list) return Next::Error;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(rec_list.get()); ++j) {
                PyObject* record = PyList_GET_ITEM(rec_list.get(), j);
                Ref rec_line = Ref::steal(PySequence_GetItem(record, 0));
                if (!rec_line) return Next::Error;
                int here = eq(rec_line.get(), source_lineno);
                if (here < 0) return Next::Error;
                if (!here) continue;
                Ref triple = Ref::steal(change_triple(scope, record));
                if (!triple || PyList_Append(changes.get(), triple.get()) < 0) return Next::Error;
            }
        }
    }
    return report_changes(frame, changes.get(), filename.get(), source_lineno, line);
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
    if (PyFrameObject* back = PyFrame_GetBack(frame)) {
        PyCodeObject* code = PyFrame_GetCode(back);
        caller_file = Ref::borrow(code->co_filename);
        function_name = Ref::borrow(code->co_name);
        Py_DECREF(code);
        Py_DECREF(back);
    }
    Ref callers = Ref::steal(instrument::caller_details((PyObject*)frame, 1));
    if (!callers) return -1;
    Ref pairs = Ref::steal(PyMapping_Items(items));
    if (!pairs) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* watch_item = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 0);
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
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
                PyErr_Clear();
                current = Ref::borrow(Py_None);
            }
            Ref value1 = Ref::steal(list_of({current.get()}));
            if (!value1) return -1;
            int has_path = PyObject_IsTrue(afterstr.get());
            if (has_path < 0) return -1;
            if (has_path) {
                Ref chain = Ref::steal(get_attribute_value_and_intermediates(current.get(), afterstr.get()));
                if (!chain) return -1;
                Ref r = Ref::steal(PySequence_InPlaceConcat(value1.get(), chain.get()));
                if (!r) return -1;
            }
            if (PyList_Append(values.get(), value1.get()) < 0) return -1;
        }
        if (PyErr_Occurred()) return -1;
        PyObject* last_values = GLOBAL("last_values_has_to_watch_yourself");
        if (!last_values) return -1;
        Ref previous = Ref::steal(PyObject_GetItem(last_values, watch_item));
        if (!previous) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
            PyErr_Clear();
            previous = Ref::borrow(Py_None);
        }
        int changed = PyObject_RichCompareBool(previous.get(), values.get(), Py_NE);
        if (changed < 0) return -1;
        if (changed) {
            Ref item_text = Ref::steal(PyObject_Str(watch_item));
            Ref name_text = Ref::steal(PyObject_Str(attr_name.get()));
            Ref path_text = Ref::steal(PyObject_Str(afterstr.get()));
            Ref before_text = Ref::steal(PyObject_Str(previous.get()));
            Ref after_text = Ref::steal(PyObject_Str(values.get()));
            Ref file_text = Ref::steal(PyObject_Str(caller_file.get()));
            Ref func_text = Ref::steal(PyObject_Str(function_name.get()));
            Ref report = Ref::steal(concat(
                {VDX_STR("-\u2193--------VALUE CHANGED4 in "), file_text.get(),
                 VDX_STR(" Function\uff1a"), func_text.get(), VDX_STR("\uff0c-"), item_text.get(),
                 VDX_STR("."), name_text.get(), VDX_STR(" changed/together with "),
                 path_text.get(), VDX_STR(" from "), before_text.get(), VDX_STR(" to "),
                 after_text.get()}));
            if (!report) return -1;
            Ref user_it = Ref::steal(PyObject_GetIter(users));
            if (!user_it) return -1;
            while (Ref user = Ref::steal(PyIter_Next(user_it.get()))) {
                if (write_caller_details(user.get(), callers.get()) < 0) return -1;
                Ref reports = Ref::steal(list_of({report.get()}));
                PyObject* info = GLOBAL("trace_info");
                if (!reports || !info ||
                    instrument::combine_trace_info(info, user.get(), reports.get(), nullptr) < 0)
                    return -1;
            }
            if (PyErr_Occurred()) return -1;
        }
        if (PyObject_SetItem(last_values, watch_item, values.get()) < 0) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- dispatch

int first_event_setup() {
    int checked = is_true(hot(kChecked));
    if (checked != 0) return checked < 0 ? -1 : 0;
    int vars = is_true_global(VDX_STR("trace_var_list"));
    int lists = vars > 0 ? 0 : is_true_global(VDX_STR("trace_list_list"));
    if (vars < 0 || lists < 0) return -1;
    bool prepare = vars || lists;
    if (!prepare) {
        // Stop lines stop tracing whatever else is watched.
        int stops = is_true_global(VDX_STR("trace_stop_list"));
        if (stops < 0) return -1;
        prepare = stops;
    }
    if (prepare) {
        if (vars || lists) {
            if (project::run_generate_linenos() < 0) return -1;
        } else {
            try {
                project::create_trace_stop_line_numbers();
            } catch (py::error_already_set& e) {
                e.restore();
                return -1;
            }
        }
    }
    return set_global(VDX_STR("trace_putong_var_checked"), Py_True);
}

PyObject* self_ref() {
    PyObject* fn = hot(kTraceFn);
    return fn ? Py_NewRef(fn) : nullptr;
}

// One event; returns the frame's local trace function (new ref; None stops
// tracing the frame) or nullptr on error. `direct` as for line_event.
PyObject* handle_event(PyFrameObject* frame, int what, bool direct) {
    int stopped = is_true(hot(kStopTrace));
    if (stopped != 0) return stopped < 0 ? nullptr : Py_NewRef(Py_None);
    if (first_event_setup() < 0) return nullptr;
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
            if (poll_watched_items(frame) < 0) return nullptr;
            if (g_init_hook) {
                PyCodeObject* code = PyFrame_GetCode(frame);
                bool is_init = str_is(code->co_name, "__init__");
                Py_DECREF(code);
                if (is_init) return g_init_hook(frame);
            }
        }
        if (direct) {
            // Frames of files that neither modify a watched name nor hold a
            // stop line get no line events: their first one would end them.
            PyObject* aim_files = hot(kAimFiles);
            if (!aim_files) return nullptr;
            Ref filename = Ref::steal(frame_filename(frame));
            int in_aim = contains_str(aim_files, filename.get());
            int has_stops = in_aim == 0 ? file_has_stop_lines(filename.get()) : 0;
            if (in_aim < 0 || has_stops < 0) return nullptr;
            if (!in_aim && !has_stops) stop_line_events(frame);
        }
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
            // "return" and "exception" events do nothing once the tables are
            // made: the result would be this very function or None, and
            // neither changes the frame's local trace function.
            return 0;
        }
        result = handle_event(frame, what, true);
    } else {
        // A local trace function other than ours: call it as Python would.
        if (layout(frame)->f_fast_as_locals && PyFrame_FastToLocalsWithError(frame) < 0)
            return -1;
        PyObject* event = interned(kEventNames[what]);
        PyObject* args[3] = {(PyObject*)frame, event, arg ? arg : Py_None};
        result = PyObject_Vectorcall(callback, args, 3, nullptr);
        PyFrame_LocalsToFast(frame, 1);
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
    return handle_event((PyFrameObject*)given[0], what, false);
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

void set_init_capture_hook(InitCaptureHook hook) { g_init_hook = hook; }
PyObject* trace_function() noexcept { return g_trace_fn; }

void register_tracer(py::module_& m) {
    g_layout_ok = check_frame_layout();
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
