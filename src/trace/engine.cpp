// Reports of watched statements, one per execution.
//
// Each line event of a frame whose code holds watched statements looks up
// (in the code's map) which statements start before the frame's next event.
// Those that start on every path are reported at once, before they run, with
// the value before and the predicted value after. Those that start only on
// some paths are prepared the same way, at the same moment, and filed at the
// frame's next event when its place shows the statement ran. When the place
// cannot tell (both kinds of path end there, or an exception intervened), the
// value of the target decides: a statement that ran has rebound or changed it.
//
// When reports are observed (the module global observe_values), every
// statement is prepared the same way but nothing is filed before it ran: the
// frame's next event (or its return, yield or unwind) compares the target
// with what it was and files a report only when the statement changed it,
// with the value it holds now. A statement spread over lines stays open
// while the events move on inside it.
#include "instrument/instrument.hpp"
#include "project/project.hpp"
#include "trace/engine.hpp"
#include "trace/trace.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <unordered_set>

namespace vdx::trace {

namespace {

// ------------------------------------------------------------ main-file code

// Held for the life of the process (never destroyed: their references must
// not be released after the interpreter has gone).
auto& g_main_codes = *new std::unordered_set<PyObject*>();
auto& g_runner_codes = *new std::unordered_set<PyObject*>();
auto& g_code_refs = *new std::vector<Ref>();

void add_code_tree(PyObject* code, std::unordered_set<PyObject*>& into) {
    std::vector<PyObject*> todo{code};
    while (!todo.empty()) {
        PyObject* c = todo.back();
        todo.pop_back();
        if (!PyCode_Check(c) || !into.insert(c).second) continue;
        g_code_refs.push_back(Ref::borrow(c));
        PyObject* consts = ((PyCodeObject*)c)->co_consts;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) todo.push_back(PyTuple_GET_ITEM(consts, i));
    }
}

// ------------------------------------------------------------ records per file

auto& g_files = *new std::vector<std::shared_ptr<FileRecords>>();  // in the order first asked for
auto& g_file_keys = *new std::vector<Ref>();                      // the frame file names they answer
auto& g_maps = *new std::unordered_map<PyObject*, std::unique_ptr<CodeMap>>();
PyObject* g_last_code = nullptr;
CodeMap* g_last_map = nullptr;
bool g_dirty = false;
int g_observe = -1;  // observe_values as last read (-1: not read since the tables changed)

bool observing() {
    if (g_observe < 0) {
        PyObject* v = PyDict_GetItemWithError(module_dict(), VDX_STR("observe_values"));
        int on = v ? PyObject_IsTrue(v) : 0;
        if (on < 0 || PyErr_Occurred()) {
            PyErr_Clear();
            on = 0;
        }
        g_observe = on;
    }
    return g_observe == 1;
}

int eq(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

long as_long(PyObject* v, bool* ok) {
    long n = PyLong_Check(v) ? PyLong_AsLong(v) : -1;
    *ok = PyLong_Check(v) && !(n == -1 && PyErr_Occurred());
    PyErr_Clear();
    return n;
}

int flags_from_op(PyObject* record, PyObject* op) {
    Py_ssize_t n = PyObject_Size(record);
    if (n < 0) return -1;
    Ref last = Ref::steal(PySequence_GetItem(record, n - 1));
    if (!last) return -1;
    int method = PyUnicode_Check(last.get()) && PyUnicode_Find(last.get(), VDX_STR("Method Call"), 0, PY_SSIZE_T_MAX, 1) >= 0;
    int subscript = PyUnicode_Check(last.get()) &&
                    PyUnicode_Find(last.get(), VDX_STR("Subscript Assign"), 0, PY_SSIZE_T_MAX, 1) >= 0;
    PyErr_Clear();
    if (method || subscript || str_is(op, "Delete")) return 0;
    return kBinding;
}

// Fills the records of one aim entry, with their places when the scan gave them.
int load_records(FileRecords& fr, PyObject* records, PyObject* spans) {
    Ref recs = Ref::steal(PySequence_Fast(records, "records"));
    if (!recs) return -1;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(recs.get());
    Ref span_list;
    if (spans && spans != Py_None) {
        span_list = Ref::steal(PySequence_Fast(spans, "spans"));
        if (!span_list) PyErr_Clear();
        else if (PySequence_Fast_GET_SIZE(span_list.get()) != n) span_list = Ref();
    }
    std::map<std::tuple<int, int, int, int>, int> groups;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* t = PySequence_Fast_GET_ITEM(recs.get(), i);
        Record r;
        r.tuple = Ref::borrow(t);
        Ref line = Ref::steal(PySequence_GetItem(t, 0));
        r.name = Ref::steal(line ? PySequence_GetItem(t, 1) : nullptr);
        r.op = Ref::steal(r.name ? PySequence_GetItem(t, 2) : nullptr);
        if (!r.op) {
            PyErr_Clear();
            continue;  // not a record
        }
        bool ok;
        r.line = as_long(line.get(), &ok);
        if (!ok) continue;
        bool placed = false;
        if (span_list) {
            PyObject* s = PySequence_Fast_GET_ITEM(span_list.get(), i);
            if (PyTuple_Check(s) && (PyTuple_GET_SIZE(s) == 9 || PyTuple_GET_SIZE(s) == 10)) {
                if (PyTuple_GET_SIZE(s) == 10 && PyUnicode_Check(PyTuple_GET_ITEM(s, 9)))
                    r.key = Ref::borrow(PyTuple_GET_ITEM(s, 9));
                int v[9];
                placed = true;
                for (int j = 0; j < 9 && placed; ++j) v[j] = (int)as_long(PyTuple_GET_ITEM(s, j), &placed);
                if (placed) {
                    r.l0 = v[0], r.c0 = v[1], r.l1 = v[2], r.c1 = v[3];
                    r.gl0 = v[4], r.gc0 = v[5], r.gl1 = v[6], r.gc1 = v[7];
                    r.flags = v[8];
                }
            }
        }
        if (!placed) {
            // A record without its place: all code of its line.
            r.l0 = r.l1 = r.gl0 = r.gl1 = (int)r.line;
            r.c0 = r.gc0 = 0;
            r.c1 = r.gc1 = 1 << 24;
            r.flags = flags_from_op(t, r.op.get());
            if (r.flags < 0) {
                PyErr_Clear();
                r.flags = 0;
            }
        }
        auto key = std::make_tuple(r.gl0, r.gc0, r.gl1, r.gc1);
        auto it = groups.find(key);
        if (it == groups.end()) it = groups.emplace(key, (int)groups.size()).first;
        r.group = it->second;
        fr.records.push_back(std::move(r));
    }
    return 0;
}

// os.path.<how>(path) (new ref), or nullptr with no error when it fails.
PyObject* path_call(const char* how, PyObject* path) {
    PyObject* os = get_global("os");
    Ref ospath = os ? Ref::steal(PyObject_GetAttrString(os, "path")) : Ref();
    PyObject* r = ospath ? PyObject_CallMethod(ospath.get(), how, "O", path) : nullptr;
    if (!r) PyErr_Clear();
    return r;
}

int same_path(PyObject* a, PyObject* b) {
    int same = eq(a, b);
    if (same != 0) return same;
    for (const char* how : {"normpath", "realpath"}) {
        Ref na = Ref::steal(path_call(how, a));
        Ref nb = na ? Ref::steal(path_call(how, b)) : Ref();
        if (!nb) return 0;
        same = eq(na.get(), nb.get());
        if (same != 0) return same;
    }
    return 0;
}

// The scanned files by their real paths, made at the first file name that
// is not one of them as it stands.
auto& g_real_aims = *new Ref();  // never destroyed: it may outlive the interpreter

// The scanned file a frame's file name reaches through symbolic links or
// ".." (a file the program imported by another path than the scan's), as
// a new reference; nullptr with no error when there is none.
PyObject* scanned_alias(PyObject* filename, PyObject* aim_files) {
    if (!g_real_aims) {
        Ref table = Ref::steal(PyDict_New());
        Ref files = table ? Ref::steal(PySequence_List(aim_files)) : Ref();
        if (!files) {
            PyErr_Clear();
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); ++i) {
            PyObject* f = PyList_GET_ITEM(files.get(), i);
            if (!PyUnicode_Check(f) || PyUnicode_CompareWithASCIIString(f, "<string>") == 0) continue;
            Ref real = Ref::steal(path_call("realpath", f));
            if (real && PyDict_SetDefault(table.get(), real.get(), f) == nullptr) PyErr_Clear();
        }
        g_real_aims = table;
    }
    if (PyDict_GET_SIZE(g_real_aims.get()) == 0 || !PyUnicode_Check(filename)) return nullptr;
    // Only names of files: "<frozen ...>" and the like are none.
    if (PyUnicode_READ_CHAR(filename, 0) == '<') return nullptr;
    Ref real = Ref::steal(path_call("realpath", filename));
    if (!real) return nullptr;
    PyObject* found = PyDict_GetItemWithError(g_real_aims.get(), real.get());
    if (!found) PyErr_Clear();
    return Py_XNewRef(found);
}

// The records of a file (null when none), `report_name` being the name that
// reports give it.
std::shared_ptr<FileRecords> records_for(PyObject* filename, PyObject* report_name, bool main_file, int* err) {
    *err = 0;
    for (size_t i = 0; i < g_file_keys.size(); ++i)
        if (g_file_keys[i].get() == filename || eq(g_file_keys[i].get(), filename) > 0) return g_files[i];
    PyErr_Clear();
    auto fail = [&]() {
        *err = -1;
        return std::shared_ptr<FileRecords>();
    };
    PyObject* aim_files = get_global("trace_aim_files");
    PyObject* aim_info = get_global("trace_aim_info_list");
    if (!aim_files || !aim_info) return fail();
    PyObject* spans_all = PyDict_GetItemWithError(module_dict(), VDX_STR("trace_aim_spans"));
    if (!spans_all && PyErr_Occurred()) return fail();
    std::shared_ptr<FileRecords> found;
    int listed = PySequence_Contains(aim_files, main_file ? VDX_STR("<string>") : filename);
    if (listed < 0) return fail();
    Ref alias;
    if (!listed && !main_file && PyUnicode_Check(filename) && PyUnicode_GET_LENGTH(filename) > 0) {
        alias = Ref::steal(scanned_alias(filename, aim_files));
        listed = alias ? 1 : 0;
    }
    Ref entries = Ref::steal(PySequence_List(aim_info));
    if (!entries) return fail();
    if (listed) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            PyObject* entry = PyList_GET_ITEM(entries.get(), i);
            Ref file = Ref::steal(PySequence_GetItem(entry, 0));
            Ref records = file ? Ref::steal(PySequence_GetItem(entry, 1)) : Ref();
            if (!records) {
                PyErr_Clear();
                continue;
            }
            int same = main_file ? same_path(file.get(), report_name) : eq(file.get(), alias ? alias.get() : filename);
            if (same < 0) return fail();
            if (!same) continue;
            Ref spans;
            if (spans_all) {
                spans = Ref::steal(PySequence_GetItem(spans_all, i));
                if (!spans) PyErr_Clear();
            }
            auto fr = std::make_shared<FileRecords>();
            fr->file = Ref::borrow(report_name);
            if (load_records(*fr, records.get(), spans.get()) < 0) return fail();
            if (!fr->records.empty()) found = fr;
            break;
        }
    }
    g_file_keys.push_back(Ref::borrow(filename));
    g_files.push_back(found);
    return found;
}

CodeMap* map_for(PyCodeObject* code) {
    PyObject* key = (PyObject*)code;
    if (key == g_last_code) return g_last_map;
    auto it = g_maps.find(key);
    if (it != g_maps.end()) {
        g_last_code = key;
        g_last_map = it->second.get();
        return g_last_map;
    }
    auto map = std::make_unique<CodeMap>();
    PyObject* filename = code->co_filename;
    std::shared_ptr<FileRecords> file;
    int shift = 0, err = 0;
    switch (code_role(code)) {
        case CodeRole::MainFile: {
            // The main file's records, reported under its path; run from a
            // string, its lines are shifted by the preamble.
            PyObject* main_file = get_global("project_main_file");
            if (!main_file) return nullptr;
            if (str_is(filename, "<string>")) {
                long n = main_file_shift();
                if (n < 0) return nullptr;
                shift = (int)n;
            }
            file = records_for(VDX_STR("<string>"), main_file, true, &err);
            break;
        }
        case CodeRole::File:
            file = records_for(filename, filename, false, &err);
            break;
        default:
            break;
    }
    if (err < 0 || build_code_map(*map, code, file, shift) < 0) return nullptr;
    map->observe = observing();
    CodeMap* raw = map.get();
    g_maps.emplace(key, std::move(map));
    g_last_code = key;
    g_last_map = raw;
    return raw;
}

// ------------------------------------------------------------ frame states

// How an observed statement's change is told once it ran.
enum class Sign {
    Unbound,    // the name was not bound: a binding is the change
    Immutable,  // an immutable built-in value: another value is the change
    Length,     // a list, dict or set whose every recorded call changes its length the same way
    Keyed,      // a list or dict whose statements assign or delete given items only
    Identity,   // plain rebindings only: another object is the change
    Snapshot,   // built-in values: not equal to the copy taken before
    Text,       // anything else: another object, or another str() of it
};

struct Captured {
    int entry = -1;
    int rec = -1;
    Ref label, callers, report;
    Ref before;  // the value before (nullptr: not bound)
    Ref snapshot;
    // Observed reports.
    int from = -1;             // the instruction of the event that made it
    std::vector<int> entries;  // every entry of its name that the event starts
    int lo = 0, hi = -1;       // the run of its statement
    int line_lo = 0, line_hi = -1;  // the run of all its statements on the line
    Sign sign = Sign::Unbound;
    bool binds = false;  // some statement binds the name: read where it stores it
    Py_ssize_t length = 0;
    Ref before_text;           // the report's "from" text
    Ref before_full;           // Text: str() of the value before
    struct Item {
        Ref key, value, copy;  // value nullptr: no such item; copy: of an inert mutable value
    };
    std::vector<Item> items;   // Keyed: the items the statement may change
};

// An execution of a statement spread over lines: events inside it that move
// forward belong to the same execution.
struct Exec {
    int group, lo, hi;
    int pos;  // how far it has got: its entry, then each event inside it
    std::vector<Ref> names;
};

struct FrameState {
    CodeMap* map = nullptr;
    bool counted = false;  // counted among its code's frames with open reports
    int pending_from = -1;
    int last_event = -1;  // the instruction of the frame's previous line event
    bool raised = false;
    std::vector<Captured> pending;
    std::vector<Exec> execs;
    Ref suspended;  // a frame that yielded inside a watched statement, held until it ends
};

auto& g_frames = *new std::unordered_map<PyFrameObject*, FrameState>();
RearmHook g_rearm = nullptr;

// A code whose settle places were brought back this often keeps them: its
// reports are too frequent for switching them off to pay.
constexpr int kMaxRearms = 64;

// Keeps the code's count of frames with open reports in step with the frame.
void note_open(FrameState& st, bool& counted) {
    bool open = !st.pending.empty();
    if (open == counted || !st.map) return;
    counted = open;
    st.map->open_frames += open ? 1 : -1;
    if (open && st.map->settle_off && g_rearm) {
        st.map->settle_off = false;
        ++st.map->rearms;
        g_rearm(st.map->code.get());
    }
}

int emit(const Captured& c) {
    return instrument::file_report(c.label.get(), c.callers.get(), c.report.get(), nullptr);
}

// Whether a statement that may or may not have run did: its target was
// rebound, or its value differs from the copy taken before.
bool ran(PyFrameObject* frame, const FrameState& st, const Captured& c) {
    const Record& rec = st.map->file->records[c.rec];
    PyObject* v = nullptr;
    int found = lookup_name(frame, rec.name.get(), &v);
    Ref now = Ref::steal(v);
    if (found < 0) {
        PyErr_Clear();
        return true;
    }
    if ((found != 0) != (bool)c.before) return true;
    if (!found) return false;
    if (now.get() != c.before.get()) return true;
    if (c.snapshot) {
        if (!is_inert(now.get())) return true;
        int same = PyObject_RichCompareBool(c.snapshot.get(), now.get(), Py_EQ);
        if (same < 0) {
            PyErr_Clear();
            return true;
        }
        return !same;
    }
    return !(rec.flags & kBinding);  // a mutation whose effect cannot be compared
}

int settle(PyFrameObject* frame, FrameState& st, int target) {
    std::vector<Captured> pending;
    pending.swap(st.pending);
    const Outcome* out = nullptr;
    if (!st.raised && st.pending_from >= 0) {
        for (const Outcome& o : st.map->actions[st.pending_from].outcomes)
            if (o.target == target) out = &o;
    }
    st.raised = false;
    st.pending_from = -1;
    for (const Captured& c : pending) {
        bool report;
        if (st.map->file->records[c.rec].flags & kConfirmByValue) report = ran(frame, st, c);
        else if (out && std::binary_search(out->must.begin(), out->must.end(), c.entry)) report = true;
        else if (out && !std::binary_search(out->may.begin(), out->may.end(), c.entry)) report = false;
        else report = ran(frame, st, c);
        if (report && emit(c) < 0) return -1;
    }
    return 0;
}

// ------------------------------------------------------------ observed reports

bool op_is(const Record& rec, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (str_is(rec.op.get(), n)) return true;
    return false;
}

// How the change of a name is told, from the value before and the records of
// the name that the event starts.
Sign sign_for(PyObject* before, const std::vector<const Record*>& recs) {
    if (!before) return Sign::Unbound;
    if (is_immutable(before)) return Sign::Immutable;
    bool length = PyList_CheckExact(before) || PyDict_CheckExact(before) || PyAnySet_CheckExact(before);
    bool keyed = PyList_CheckExact(before) || PyDict_CheckExact(before);
    bool plain = true;
    bool grows = false, shrinks = false;
    for (const Record* r : recs) {
        keyed = keyed && r->key && expression_is_plain(r->key.get());
        // Each of these calls changes the length when it returns, all of them
        // the same way: a pop and an append could leave it as it was.
        grows = grows || op_is(*r, {"append", "insert"});
        shrinks = shrinks || op_is(*r, {"pop", "remove"});
        length = length && op_is(*r, {"append", "insert", "pop", "remove"}) && !(grows && shrinks);
        if (plain && (!(r->flags & kBinding) || !str_is(r->op.get(), "="))) plain = false;
        if (plain) {
            Ref value = Ref::steal(PySequence_GetItem(r->tuple.get(), 3));
            plain = value && expression_is_plain(value.get());
            PyErr_Clear();
        }
    }
    if (length) return Sign::Length;
    if (keyed) return Sign::Keyed;
    // Rebound to a value made without program code: the same object cannot
    // have changed.
    if (plain) return Sign::Identity;
    if (is_inert(before)) return Sign::Snapshot;
    return Sign::Text;
}

PyObject* none_text() { return Py_NewRef(VDX_STR("None")); }

// The item of a list or dict at a key (nullptr with no error: none there).
PyObject* item_at(PyObject* container, PyObject* key) {
    PyObject* v = PyObject_GetItem(container, key);
    if (!v && (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_IndexError) ||
               PyErr_ExceptionMatches(PyExc_TypeError)))
        PyErr_Clear();
    return v;
}

// Keyed: the items at the keys of the statement, read before it runs. 1, or
// 0 when a key cannot be read without running program code (or fails).
int capture_items(PyFrameObject* frame, const std::vector<const Record*>& recs, PyObject* container,
                  Captured* out) {
    for (const Record* r : recs) {
        bool unsafe = false;
        Ref key = Ref::steal(safe_eval(frame, r->key.get(), &unsafe));
        if (!key) {
            PyErr_Clear();
            return 0;
        }
        // Looked up again after the statement: only keys whose hash and
        // comparison run no program code.
        PyObject* k = key.get();
        bool plain_key = is_immutable(k);
        if (!plain_key && PySlice_Check(k)) {
            PySliceObject* sl = (PySliceObject*)k;
            plain_key = is_immutable(sl->start) && is_immutable(sl->stop) && is_immutable(sl->step);
        }
        if (!plain_key) return 0;
        Captured::Item item;
        item.key = key;
        item.value = Ref::steal(item_at(container, key.get()));
        if (PyErr_Occurred()) return -1;
        if (item.value && !is_immutable(item.value.get()) && is_inert(item.value.get())) {
            item.copy = Ref::steal(inert_copy(item.value.get()));
            if (!item.copy) return -1;
        }
        out->items.push_back(std::move(item));
    }
    out->length = PyObject_Size(container);
    return out->length < 0 ? -1 : 1;
}

// Whether an item read again differs from the one read before: 1, 0 or -1.
int item_changed(const Captured::Item& was, PyObject* now) {
    PyObject* b = was.value.get();
    if (!b || !now) return (b != nullptr) != (now != nullptr);
    if (was.copy) {
        if (!is_inert(now)) return 1;
        int same = PyObject_RichCompareBool(was.copy.get(), now, Py_EQ);
        return same < 0 ? -1 : !same;
    }
    if (now == b) return 0;
    if (!is_immutable(b) || Py_TYPE(now) != Py_TYPE(b) || !is_immutable(now)) return 1;
    int same = PyObject_RichCompareBool(b, now, Py_EQ);
    return same < 0 ? -1 : !same;
}

// Prepares an observed report: the value before and what tells its change.
int observe_capture(PyFrameObject* frame, CodeMap* map, int k, const std::vector<int>& entries, Captured* out) {
    const auto& records = map->file->records;
    int rep = entries.front();
    out->entry = rep;
    out->entries = entries;
    out->rec = map->entry_rec[rep];
    out->from = k;
    out->lo = map->group_lo[rep];
    out->hi = map->group_hi[rep];
    // The run of all the statements on the name the event starts: a loop
    // inside a later one (a comprehension) has line events that are part of
    // the line's run. (Copies of one statement, as a loop's test compiled
    // twice, are executions of their own.)
    out->line_lo = out->lo;
    out->line_hi = out->hi;
    for (int e : entries) {
        if (map->entry_rec[e] == out->rec) continue;
        out->line_lo = std::min(out->line_lo, map->group_lo[e]);
        out->line_hi = std::max(out->line_hi, map->group_hi[e]);
    }
    const Record& rec = records[out->rec];
    std::vector<const Record*> recs;
    for (int e : entries) recs.push_back(&records[map->entry_rec[e]]);
    for (const Record* r : recs) out->binds = out->binds || (r->flags & kBinding);
    PyObject* v = nullptr;
    int found = out->binds ? lookup_binding(frame, rec.name.get(), &v) : lookup_name(frame, rec.name.get(), &v);
    if (found < 0) return -1;
    out->before = Ref::steal(v);
    out->sign = sign_for(out->before.get(), recs);
    PyObject* b = out->before.get();
    if (out->sign == Sign::Keyed) {
        int ok = capture_items(frame, recs, b, out);
        if (ok < 0) return -1;
        if (!ok) {
            out->items.clear();
            out->sign = is_inert(b) ? Sign::Snapshot : Sign::Text;
        }
    }
    switch (out->sign) {
        case Sign::Keyed:
            out->before_text = Ref::steal(report_text(b));
            break;
        case Sign::Unbound:
            out->before_text = Ref::steal(none_text());
            break;
        case Sign::Length:
            out->length = PyObject_Size(b);
            if (out->length < 0) return -1;
            out->before_text = Ref::steal(report_text(b));
            break;
        case Sign::Snapshot:
            out->snapshot = Ref::steal(inert_copy(b));
            if (!out->snapshot) {
                // Too deep to copy here: its text tells instead.
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
                PyErr_Clear();
                out->sign = Sign::Text;
                out->before_full = Ref::steal(value_text(b));
                if (!out->before_full) return -1;
                out->before_text = Ref::steal(cut_text(out->before_full.get(), report_text_limit()));
                break;
            }
            out->before_text = Ref::steal(report_text(b));
            break;
        case Sign::Text:
            out->before_full = Ref::steal(value_text(b));
            if (!out->before_full) return -1;
            out->before_text = Ref::steal(cut_text(out->before_full.get(), report_text_limit()));
            break;
        case Sign::Immutable:
        case Sign::Identity:
            out->before_text = Ref::steal(report_text(b));
            break;
    }
    return out->before_text ? 0 : -1;
}

// Whether the statement changed the name: 1, 0, or -1 with an error.
int changed(PyFrameObject* frame, const FrameState& st, const Captured& c, Ref& now) {
    const Record& rec = st.map->file->records[c.rec];
    PyObject* v = nullptr;
    int found = c.binds ? lookup_binding(frame, rec.name.get(), &v) : lookup_name(frame, rec.name.get(), &v);
    if (found < 0) return -1;
    now = Ref::steal(v);
    PyObject* b = c.before.get();
    if (c.sign == Sign::Unbound || !found) return found != (b != nullptr);
    PyObject* n = now.get();
    if (n == b) {
        switch (c.sign) {
            case Sign::Length: {
                Py_ssize_t size = PyObject_Size(n);
                return size < 0 ? -1 : size != c.length;
            }
            case Sign::Keyed: {
                Py_ssize_t size = PyObject_Size(n);
                if (size < 0) return -1;
                if (size != c.length) return 1;
                for (const Captured::Item& item : c.items) {
                    Ref v = Ref::steal(item_at(n, item.key.get()));
                    if (PyErr_Occurred()) return -1;
                    int ch = item_changed(item, v.get());
                    if (ch != 0) return ch;
                }
                return 0;
            }
            case Sign::Snapshot: {
                // A value that now holds objects of the program has changed;
                // one of built-in values is compared without program code.
                if (!is_inert(n)) return 1;
                int same = PyObject_RichCompareBool(c.snapshot.get(), n, Py_EQ);
                return same < 0 ? -1 : !same;
            }
            case Sign::Text: {
                Ref text = Ref::steal(value_text(n));
                if (!text) return -1;
                int same = PyObject_RichCompareBool(text.get(), c.before_full.get(), Py_EQ);
                return same < 0 ? -1 : !same;
            }
            default:
                return 0;
        }
    }
    if (c.sign != Sign::Immutable) return 1;
    // Immutable values: another value of the same type is the change.
    if (Py_TYPE(n) != Py_TYPE(b) || !is_immutable(n)) return 1;
    int same = PyObject_RichCompareBool(b, n, Py_EQ);
    return same < 0 ? -1 : !same;
}

// Files an observed report, with the value the name holds now.
int emit_observed(PyFrameObject* frame, const FrameState& st, const Captured& c, PyObject* now) {
    CodeMap* map = st.map;
    const Record& rec = map->file->records[c.rec];
    Ref name_text = Ref::steal(PyObject_Str(rec.name.get()));
    if (!name_text) return -1;
    Ref label = Ref::steal(concat({VDX_STR("<"), name_text.get(), VDX_STR(">")}));
    Ref callers = Ref::steal(instrument::caller_details((PyObject*)frame, 0));
    Ref after_text = Ref::steal(now ? report_text(now) : none_text());
    Ref file_text = Ref::steal(PyObject_Str(map->file->file.get()));
    Ref source_lineno = Ref::steal(PyLong_FromLong(rec.line));
    if (!label || !callers || !after_text || !file_text || !source_lineno) return -1;
    Ref located = Ref::steal(source_line(map->file->file.get(), source_lineno.get()));
    if (!located) return -1;
    Ref no_comment = Ref::steal(project::get_no_comment_line(PyTuple_GET_ITEM(located.get(), 0)));
    Ref code_text = no_comment ? Ref::steal(PyObject_CallMethod(no_comment.get(), "strip", nullptr)) : Ref();
    Ref line_text = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(located.get(), 1)));
    if (!code_text || !line_text) return -1;
    Ref report = Ref::steal(concat({VDX_STR("-\u2193--------VALUE CHANGED3 in "), file_text.get(),
                                    VDX_STR(" line "), line_text.get(), VDX_STR(":"), code_text.get(),
                                    VDX_STR(" Variable:"), name_text.get(), VDX_STR("\uff0cfrom "),
                                    c.before_text.get(), VDX_STR(" to "), after_text.get()}));
    if (!report) return -1;
    return instrument::file_report(label.get(), callers.get(), report.get(), nullptr);
}

// Whether the outcome of the event before says that none of the capture's
// entries ran (1), that one surely ran (2), or cannot tell (0).
int path_says(const FrameState& st, const Captured& c, int target) {
    if (st.raised || c.from < 0 || c.from != st.last_event) return 0;
    const EventAction& act = st.map->actions[c.from];
    const Outcome* out = nullptr;
    for (const Outcome& o : act.outcomes)
        if (o.target == target) out = &o;
    if (!out) return 0;
    bool may = false;
    for (int e : c.entries) {
        if (std::binary_search(out->must.begin(), out->must.end(), e)) return 2;
        may = may || std::binary_search(out->may.begin(), out->may.end(), e);
    }
    return may ? 0 : 1;
}

// Settles the observed reports at the frame's next event (instruction
// `target`, or an exit target). `open_at` >= 0: the statement around that
// instruction is still running (an event inside it, a yield inside it), so
// its reports stay open.
int settle_observed(PyFrameObject* frame, FrameState& st, int target, int open_at, bool at_yield = false) {
    std::vector<Captured> pending;
    pending.swap(st.pending);
    int rc = 0;
    for (Captured& c : pending) {
        if (rc < 0) {
            st.pending.push_back(std::move(c));
            continue;
        }
        // An event at the statement's entry starts it again; a yield there
        // is part of it (3.13 fuses the load that begins `a = yield b` into
        // the store before it, so its yield is its first instruction).
        int entry = st.map->entry_instr[c.entry];
        // A line event inside the run of the line's statements on the name
        // (a comprehension's loop) leaves them running; a yield ends those
        // before it.
        int lo = at_yield ? c.lo : std::min(c.lo, c.line_lo);
        int hi = at_yield ? c.hi : std::max(c.hi, c.line_hi);
        bool inside = open_at >= 0 && !st.raised && open_at >= lo && open_at <= hi &&
                      (open_at > entry || (at_yield && open_at == entry));
        if (inside) {
            st.pending.push_back(std::move(c));
            continue;
        }
        if (path_says(st, c, target) == 1) continue;
        Ref now;
        int ch = changed(frame, st, c, now);
        if (ch < 0) {
            if (!report_tool_error("telling a watched change")) rc = -1;
            continue;
        }
        if (ch && emit_observed(frame, st, c, now.get()) < 0) rc = -1;
    }
    st.raised = false;
    st.pending_from = -1;
    return rc;
}

// The names one event starts, each prepared once (a name already open in
// the frame is covered by that report), in the order they run.
int observe_action(PyFrameObject* frame, FrameState& st, int k, const EventAction& act) {
    CodeMap* map = st.map;
    const auto& records = map->file->records;
    std::vector<int> order(act.certain);
    order.insert(order.end(), act.possible.begin(), act.possible.end());
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return map->entry_instr[a] < map->entry_instr[b]; });
    std::vector<std::pair<PyObject*, std::vector<int>>> names;
    for (int e : order) {
        PyObject* name = records[map->entry_rec[e]].name.get();
        std::vector<int>* into = nullptr;
        for (auto& n : names)
            if (PyUnicode_Compare(n.first, name) == 0) into = &n.second;
        if (into) into->push_back(e);
        else names.push_back({name, {e}});
    }
    PyErr_Clear();
    for (auto& [name, entries] : names) {
        bool open = false;
        for (const Captured& c : st.pending)
            open = open || PyUnicode_Compare(records[c.rec].name.get(), name) == 0;
        PyErr_Clear();
        if (open) continue;
        std::sort(entries.begin(), entries.end());
        std::vector<int> by_place(entries);
        std::stable_sort(by_place.begin(), by_place.end(),
                         [&](int a, int b) { return map->entry_instr[a] < map->entry_instr[b]; });
        Captured c;
        if (observe_capture(frame, map, k, by_place, &c) < 0) return -1;
        std::sort(c.entries.begin(), c.entries.end());
        st.pending.push_back(std::move(c));
    }
    return 0;
}

// ------------------------------------------------------------ predictions

PyObject* text(const char* s) { return PyUnicode_FromString(s); }

// Item i of the record, evaluated when that cannot run program code; nullptr
// with *unknown set when it could (or, when `inert`, the value is not inert).
PyObject* argument(PyFrameObject* frame, const Record& rec, PyObject* base, Py_ssize_t i, bool inert,
                   bool* unknown) {
    Ref src = Ref::steal(PySequence_GetItem(rec.tuple.get(), i));
    if (!src) return nullptr;
    bool unsafe = false;
    // The target reads as `base`: its value before this statement.
    PyObject* v = safe_eval(frame, src.get(), &unsafe, base ? rec.name.get() : nullptr, base);
    if (unsafe) *unknown = true;
    if (v && inert && !is_inert(v)) {
        Py_DECREF(v);
        *unknown = true;
        return nullptr;
    }
    return v;
}

PyObject* call_on(PyObject* target, const char* method, std::initializer_list<PyObject*> args) {
    Ref name = Ref::steal(PyUnicode_FromString(method));
    if (!name) return nullptr;
    PyObject* argv[4] = {target, nullptr, nullptr, nullptr};
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    Ref r = Ref::steal(PyObject_VectorcallMethod(name.get(), argv, n, nullptr));
    return r ? Py_NewRef(target) : nullptr;
}

// The value the record gives its target. `base` is the value before (nullptr:
// not bound). nullptr with an error when a prediction raised.
PyObject* predict(PyFrameObject* frame, const Record& rec, PyObject* base) {
    PyObject* op = rec.op.get();
    PyObject* record = rec.tuple.get();
    if (str_is(op, "Function Value")) return text("Function Value");
    if (rec.flags & kPredictUnknown) return text("unknown");
    bool unknown = false;
    if (str_is(op, "=")) {
        PyObject* v = argument(frame, rec, base, 3, false, &unknown);
        return unknown ? text("unknown") : v;
    }
    struct Shape { const char* op; int args; bool inert1, inert2; };
    static const Shape shapes[] = {
        {"append", 1, false, false}, {"extend", 1, true, false},      {"insert", 2, true, false},
        {"remove", 1, true, false},  {"setdefault", 2, true, false}, {"update", 1, true, false},
        {"sort", 0, false, false},   {"reverse", 0, false, false},   {"clear", 0, false, false},
        {"pop", -1, true, false},    {"Delete", -2, true, false},
        {"Add", -3, true, false},    {"Mult", -3, true, false},      {"Sub", -3, true, false},
        {"Div", -3, true, false},
    };
    const Shape* shape = nullptr;
    for (const Shape& s : shapes)
        if (str_is(op, s.op)) shape = &s;
    bool subscript = false;
    if (!shape) {
        Py_ssize_t n = PyObject_Size(record);
        Ref last = n > 0 ? Ref::steal(PySequence_GetItem(record, n - 1)) : Ref();
        if (!last) return nullptr;
        subscript = PyUnicode_Check(last.get()) &&
                    PyUnicode_Find(last.get(), VDX_STR("Subscript Assign"), 0, PY_SSIZE_T_MAX, 1) >= 0;
        if (PyErr_Occurred()) return nullptr;
        if (!subscript) return text("unknown");
    }
    // The operation is applied to a copy, which must be of inert values.
    Ref copy;
    if (!base) copy = Ref::borrow(Py_None);
    else if (is_inert(base)) copy = Ref::steal(deep_copy(base));
    else return text("unknown");
    if (!copy) return nullptr;
    auto arg = [&](Py_ssize_t i, bool inert) { return Ref::steal(argument(frame, rec, base, i, inert, &unknown)); };
    if (subscript) {
        Ref key = arg(2, true);
        if (unknown) return text("unknown");
        Ref value = key ? arg(3, false) : Ref();
        if (unknown) return text("unknown");
        if (!value || PyObject_SetItem(copy.get(), key.get(), value.get()) < 0) return nullptr;
        return copy.release();
    }
    const char* m = shape->op;
    if (shape->args == -3) {  // in-place operator
        Ref v = arg(3, true);
        if (unknown) return text("unknown");
        if (!v) return nullptr;
        using InPlace = PyObject* (*)(PyObject*, PyObject*);
        InPlace fn = m[0] == 'A' ? PyNumber_InPlaceAdd
                   : m[0] == 'M' ? PyNumber_InPlaceMultiply
                   : m[0] == 'S' ? PyNumber_InPlaceSubtract
                                 : PyNumber_InPlaceTrueDivide;
        return fn(copy.get(), v.get());
    }
    if (shape->args == -2) {  // deletion of a key
        Ref key = arg(3, true);
        if (unknown) return text("unknown");
        if (!key || PyObject_DelItem(copy.get(), key.get()) < 0) return nullptr;
        return copy.release();
    }
    if (shape->args == -1) {  // pop() or pop(index)
        Ref third = Ref::steal(PySequence_GetItem(record, 3));
        if (!third) return nullptr;
        int plain = PyUnicode_Check(third.get()) &&
                    PyUnicode_Find(third.get(), VDX_STR("Method Call"), 0, PY_SSIZE_T_MAX, 1) >= 0;
        if (PyErr_Occurred()) return nullptr;
        if (plain) return call_on(copy.get(), "pop", {});
        Ref i = arg(3, true);
        if (unknown) return text("unknown");
        return i ? call_on(copy.get(), "pop", {i.get()}) : nullptr;
    }
    if (shape->args == 0) return call_on(copy.get(), m, {});
    Ref a = arg(3, shape->inert1);
    if (unknown) return text("unknown");
    if (!a) return nullptr;
    if (shape->args == 1) return call_on(copy.get(), m, {a.get()});
    Ref b = arg(4, shape->inert2);
    if (unknown) return text("unknown");
    return b ? call_on(copy.get(), m, {a.get(), b.get()}) : nullptr;
}

// What a report carries over to a later statement of the same line that
// changes the same name: the predicted value, when there is one.
struct Carry {
    Ref name;
    bool known;
    Ref value;  // nullptr with known: not bound
};

Carry* carry_for(std::vector<Carry>& carries, PyObject* name) {
    for (auto& c : carries)
        if (PyUnicode_Compare(c.name.get(), name) == 0) return &c;
    PyErr_Clear();
    return nullptr;
}

// Prepares the report of one record: the caller block and the report line,
// with the value before and the predicted value after.
int capture(PyFrameObject* frame, CodeMap* map, int r, bool merged, std::vector<Carry>& carries,
            Captured* out) {
    const Record& rec = map->file->records[r];
    out->rec = r;
    Ref before;
    bool before_known = true;
    if (Carry* c = carry_for(carries, rec.name.get())) {
        before_known = c->known;
        before = c->value;
    } else {
        PyObject* v = nullptr;
        int found = lookup_name(frame, rec.name.get(), &v);
        if (found < 0) return -1;
        before = Ref::steal(v);
    }
    out->before = before;
    if (before && is_inert(before.get())) {
        out->snapshot = Ref::steal(deep_copy(before.get()));
        if (!out->snapshot && !report_tool_error("copying a watched value")) return -1;
    }
    Ref after;
    if (merged || !before_known) {
        after = Ref::steal(text("unknown"));
    } else {
        after = Ref::steal(predict(frame, rec, before.get()));
        if (!after && (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError))) {
            // The tracer's own evaluation ran out of room (the program is deep
            // in recursion): not an error of the program's expression.
            if (!report_tool_error("predicting a watched value")) return -1;
            after = Ref::steal(text("unknown"));
        } else if (!after) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            Ref msg = Ref::steal(value_text(exc.get()));
            if (!msg) return -1;
            Ref line = Ref::steal(concat({VDX_STR("err when predict variable_copy: "), msg.get()}));
            if (line) tool_write_line(line.get());
            after = Ref::steal(text("unknown 2"));
        }
    }
    if (!after) return -1;
    // A later statement of this line starts from this one's result.
    bool predicted = !(PyUnicode_CheckExact(after.get()) &&
                       (str_is(after.get(), "unknown") || str_is(after.get(), "unknown 2") ||
                        str_is(after.get(), "Function Value")));
    if (Carry* c = carry_for(carries, rec.name.get())) {
        c->known = predicted;
        c->value = predicted ? after : Ref();
    } else {
        carries.push_back({rec.name, predicted, predicted ? after : Ref()});
    }

    Ref name_text = Ref::steal(PyObject_Str(rec.name.get()));
    if (!name_text) return -1;
    out->label = Ref::steal(concat({VDX_STR("<"), name_text.get(), VDX_STR(">")}));
    out->callers = Ref::steal(instrument::caller_details((PyObject*)frame, 0));
    if (!out->label || !out->callers) return -1;
    Ref before_text = before_known ? Ref::steal(report_text(before ? before.get() : Py_None))
                                   : Ref::steal(text("unknown"));
    Ref after_text = Ref::steal(report_text(after.get()));
    Ref file_text = Ref::steal(PyObject_Str(map->file->file.get()));
    if (!before_text || !after_text || !file_text) return -1;
    Ref source_lineno = Ref::steal(PyLong_FromLong(rec.line));
    Ref located = source_lineno ? Ref::steal(source_line(map->file->file.get(), source_lineno.get())) : Ref();
    if (!located) return -1;
    Ref no_comment = Ref::steal(project::get_no_comment_line(PyTuple_GET_ITEM(located.get(), 0)));
    Ref code_text = no_comment ? Ref::steal(PyObject_CallMethod(no_comment.get(), "strip", nullptr)) : Ref();
    Ref line_text = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(located.get(), 1)));
    if (!code_text || !line_text) return -1;
    out->report = Ref::steal(concat({VDX_STR("-\u2193--------VALUE CHANGED3 in "), file_text.get(),
                                     VDX_STR(" line "), line_text.get(), VDX_STR(":"), code_text.get(),
                                     VDX_STR(" Variable:"), name_text.get(), VDX_STR("\uff0cfrom "),
                                     before_text.get(), VDX_STR(" to "), after_text.get()}));
    return out->report ? 0 : -1;
}

struct Item {
    int entry;
    bool certain;
};

// The records one event starts, merged per statement execution and name, in
// the order they run; reported or kept for the frame's next event.
int handle_action(PyFrameObject* frame, FrameState& st, int k, const EventAction& act) {
    CodeMap* map = st.map;
    const auto& records = map->file->records;
    std::vector<Item> items;
    for (int e : act.certain) items.push_back({e, true});
    for (int e : act.possible) items.push_back({e, false});
    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        return map->entry_instr[a.entry] < map->entry_instr[b.entry];
    });
    struct Key {
        int group;
        int run;  // which copy of the statement's code
        PyObject* name;
        int rep;  // the entry that gives the report
        bool certain;
        bool merged;
    };
    std::vector<Key> keys;
    for (const Item& it : items) {
        const Record& rec = records[map->entry_rec[it.entry]];
        int run = map->group_lo[it.entry];
        Key* key = nullptr;
        for (auto& kk : keys)
            if (kk.group == rec.group && kk.run == run && PyUnicode_Compare(kk.name, rec.name.get()) == 0) key = &kk;
        PyErr_Clear();
        if (!key) {
            keys.push_back({rec.group, run, rec.name.get(), it.entry, it.certain, false});
            continue;
        }
        // One report per name and execution of a statement: its binding (the
        // last one) gives the value; several mutations give "unknown".
        const Record& rep = records[map->entry_rec[key->rep]];
        bool rep_binds = rep.flags & kBinding, this_binds = rec.flags & kBinding;
        if (this_binds && rep_binds) {
            // Bound more than once by the statement: no one binding tells
            // the value it ends with.
            key->rep = it.entry;
            key->merged = true;
        } else if (this_binds) {
            key->rep = it.entry;
            key->merged = false;
        } else if (!rep_binds) {
            key->merged = true;
        }
        key->certain = key->certain || it.certain;
    }
    std::vector<Carry> carries;
    for (const Key& key : keys) {
        // A statement spread over lines has events inside it; its names are
        // reported once per execution.
        Exec* exec = nullptr;
        for (auto& e : st.execs)
            if (e.group == key.group && e.lo == map->group_lo[key.rep]) exec = &e;
        if (exec) {
            bool seen = false;
            for (auto& n : exec->names) seen = seen || PyUnicode_Compare(n.get(), key.name) == 0;
            PyErr_Clear();
            if (seen) continue;
            exec->names.push_back(Ref::borrow(key.name));
        } else {
            st.execs.push_back({key.group, map->group_lo[key.rep], map->group_hi[key.rep],
                                std::max(k, map->entry_instr[key.rep]), {Ref::borrow(key.name)}});
        }
        int rec_index = map->entry_rec[key.rep];
        Captured c;
        c.entry = key.rep;
        if (capture(frame, map, rec_index, key.merged, carries, &c) < 0) return -1;
        if (key.certain && !(records[rec_index].flags & kConfirmByValue)) {
            if (emit(c) < 0) return -1;
        } else {
            if (st.pending.empty()) st.raised = false;
            st.pending.push_back(std::move(c));
            st.pending_from = k;
        }
    }
    return 0;
}

}  // namespace

void register_main_code(PyObject* code) { add_code_tree(code, g_main_codes); engine_reset(); }
void register_runner_code(PyObject* code) { add_code_tree(code, g_runner_codes); }

CodeRole code_role(PyCodeObject* code) {
    PyObject* key = (PyObject*)code;
    if (g_main_codes.count(key)) return CodeRole::MainFile;
    if (!str_is(code->co_filename, "<string>")) return CodeRole::File;
    if (g_runner_codes.count(key)) return CodeRole::Runner;
    return g_main_codes.empty() ? CodeRole::MainFile : CodeRole::OtherString;
}

long main_file_shift() {
    PyObject* add = get_global("add_lines_lens");
    if (!add) return -1;
    long n = PyLong_AsLong(add);
    if (n == -1 && PyErr_Occurred()) return -1;
    return n + 1;
}

void table_location(PyFrameObject* frame, Ref& name, long& line) {
    PyCodeObject* code = PyFrame_GetCode(frame);
    line = PyFrame_GetLineNumber(frame);
    if (code_role(code) == CodeRole::MainFile && !str_is(code->co_filename, "<string>")) {
        long shift = main_file_shift();
        if (shift < 0) {
            PyErr_Clear();
            shift = 19;
        }
        name = Ref::borrow(VDX_STR("<string>"));
        line += shift;
    } else {
        name = Ref::borrow(code->co_filename);
    }
    Py_DECREF(code);
}

void engine_reset() {
    g_real_aims = Ref();
    g_frames.clear();
    g_maps.clear();
    g_files.clear();
    g_file_keys.clear();
    g_last_code = nullptr;
    g_last_map = nullptr;
    g_dirty = false;
    g_observe = -1;
}

bool engine_note_global_change(PyObject* key) {
    if (!key) {
        g_dirty = true;
        return true;
    }
    if (!PyUnicode_Check(key)) return false;
    for (const char* name : {"trace_aim_info_list", "trace_aim_spans", "trace_aim_files", "project_main_file",
                             "add_lines_lens", "observe_values"}) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
            g_dirty = true;
            return true;
        }
    }
    return false;
}

bool engine_has_frames() { return !g_frames.empty(); }

bool engine_frame_has_open_reports(PyFrameObject* frame) {
    auto it = g_frames.find(frame);
    return it != g_frames.end() && !it->second.pending.empty();
}

int engine_code_is_watched(PyCodeObject* code) {
    if (g_dirty) engine_reset();
    CodeMap* map = map_for(code);
    return map ? map->any : -1;
}

int predicted_event(PyFrameObject* frame, FrameState& st, int k);

void engine_set_rearm_hook(RearmHook hook) { g_rearm = hook; }

namespace {

// The place of a frame's line event: the event of a backward jump within a
// line (a loop on one line) names the jump itself on 3.13, its target on
// 3.12; the place is the target, where the line runs again.
int event_place(CodeMap* map, PyFrameObject* frame) {
    int k = map->instruction_at(PyFrame_GetLasti(frame));
    if (k >= 0 && map->backjump[k] && !map->marked[k] && map->succ1[k] >= 0 &&
        map->line[map->succ1[k]] == map->line[k])
        k = map->succ1[k];
    return k;
}

// Whether instruction k is the RESUME that follows a YIELD_VALUE.
bool resumes_after_yield(const CodeMap* map, int k) { return k > 0 && map->resume[k] && map->yields[k - 1]; }

// The frame's state for its code's map (a state of another code, left by a
// frame object reused, starts afresh).
FrameState& state_for(PyFrameObject* frame, CodeMap* map) {
    FrameState& st = g_frames[frame];
    if (st.map != map) {
        if (st.counted && st.map) st.map->open_frames--;
        st = FrameState{map};
    }
    return st;
}

}  // namespace

int engine_line_event(PyFrameObject* frame, bool* place_needed) {
    if (g_dirty) engine_reset();
    Ref code = Ref::steal((PyObject*)PyFrame_GetCode(frame));
    CodeMap* map = map_for((PyCodeObject*)code.get());
    if (!map) return -1;
    if (!map->any) {
        if (!g_frames.empty()) g_frames.erase(frame);
        if (place_needed) *place_needed = false;
        return 0;
    }
    int k = event_place(map, frame);
    if (place_needed) *place_needed = map->place_needed(k);
    FrameState& st = state_for(frame, map);
    int rc = 1;
    if (map->observe) {
        if (!st.pending.empty() && settle_observed(frame, st, k, k) < 0) rc = -1;
        st.last_event = k;
        if (rc > 0 && k >= 0) {
            const EventAction& act = map->action(k);
            if ((!act.certain.empty() || !act.possible.empty()) && observe_action(frame, st, k, act) < 0) rc = -1;
        }
    } else {
        rc = predicted_event(frame, st, k);
    }
    note_open(st, st.counted);
    // A place that only settles reports, reached with none open in any frame
    // of the code, is switched off until a report is open again.
    if (place_needed && *place_needed && k >= 0 && map->settle_only[k] && map->open_frames == 0 &&
        map->rearms < kMaxRearms && g_rearm) {
        *place_needed = false;
        map->settle_off = true;
    }
    return rc;
}

int predicted_event(PyFrameObject* frame, FrameState& st, int k) {
    CodeMap* map = st.map;
    if (!st.pending.empty() && settle(frame, st, k) < 0) return -1;
    if (k < 0) return 1;
    st.execs.erase(std::remove_if(st.execs.begin(), st.execs.end(),
                                  [&](Exec& e) {
                                      if (k < e.lo || k > e.hi || k <= e.pos) return true;
                                      e.pos = k;
                                      return false;
                                  }),
                   st.execs.end());
    const EventAction& act = map->action(k);
    if (act.certain.empty() && act.possible.empty()) return 1;
    return handle_action(frame, st, k, act) < 0 ? -1 : 1;
}

int engine_settle_at_stop(PyFrameObject* frame) {
    auto it = g_frames.find(frame);
    if (it == g_frames.end() || it->second.pending.empty()) return 0;
    FrameState& st = it->second;
    int k = event_place(st.map, frame);
    int rc = st.map->observe ? settle_observed(frame, st, k, k) : settle(frame, st, k);
    note_open(st, st.counted);
    return rc;
}

int engine_resume_event(PyFrameObject* frame, int lasti, bool* needed) {
    *needed = false;
    Ref code = Ref::steal((PyObject*)PyFrame_GetCode(frame));
    // Only generators and coroutines are resumed (the trace function sees
    // every call here).
    if (!(((PyCodeObject*)code.get())->co_flags & (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR))) return 0;
    if (g_dirty) engine_reset();
    CodeMap* map = map_for((PyCodeObject*)code.get());
    if (!map) return -1;
    if (!map->any || !map->observe) return 0;
    int k = map->instruction_at(lasti);
    // Only a resumption after a yield: the statements after it on its line
    // get no line event of their own.
    if (!resumes_after_yield(map, k)) return 0;
    const EventAction& act = map->action(k);
    if (act.certain.empty() && act.possible.empty()) return 0;
    *needed = true;
    FrameState& st = state_for(frame, map);
    // What the yield left open stays open (observe_action leaves its names
    // alone) and now covers the line's later statements on the same name
    // too, a yield among them included: one report for the line, once it
    // has run. The rest is prepared as at a line event here.
    const auto& records = map->file->records;
    for (Captured& c : st.pending) {
        for (const std::vector<int>* set : {&act.certain, &act.possible})
            for (int e : *set) {
                int same = PyUnicode_Compare(records[map->entry_rec[e]].name.get(), records[c.rec].name.get());
                if (same == 0) c.hi = std::max(c.hi, map->group_hi[e]);
            }
    }
    PyErr_Clear();
    int rc = observe_action(frame, st, k, act);
    note_open(st, st.counted);
    return rc;
}

void engine_frame_exit(PyFrameObject* frame) {
    auto it = g_frames.find(frame);
    if (it == g_frames.end()) return;
    FrameState& st = it->second;
    if (!st.pending.empty()) {
        int k = st.map->instruction_at(PyFrame_GetLasti(frame));
        // A frame that yields names the RESUME after its YIELD_VALUE on 3.13.
        if (resumes_after_yield(st.map, k)) k = k - 1;
        int target = k >= 0 ? exit_target(k) : kExit;
        if (st.map->observe) {
            // A yield inside a watched statement (x = yield ...) suspends it:
            // it ends when the frame resumes. The frame is held meanwhile, so
            // that no other frame can take its place in the table.
            bool yielding = k >= 0 && st.map->yields[k] && !st.raised;
            if (settle_observed(frame, st, target, yielding ? k : -1, yielding) < 0)
                report_tool_error("reporting a watched change");
            if (!st.pending.empty()) {
                if (!st.suspended) st.suspended = Ref::borrow((PyObject*)frame);
                st.last_event = -1;
                note_open(st, st.counted);
                return;
            }
        } else if (settle(frame, st, target) < 0) {
            report_tool_error("reporting a watched change");
        }
    }
    if (st.counted && st.map) st.map->open_frames--;
    Ref held = std::move(st.suspended);  // released after the entry is gone
    g_frames.erase(frame);
}

bool engine_frame_exception(PyFrameObject* frame) {
    // Only reports still open are undecided by it: an exception after they
    // were settled says nothing of the next ones.
    auto it = g_frames.find(frame);
    if (it == g_frames.end() || it->second.pending.empty()) return false;
    // The StopIteration of an exhausted iterator that a for loop or a
    // yield from / await takes: the frame goes on past the loop, as it would
    // without one, and no handler is looked for.
    CodeMap* map = it->second.map;
    int k = map ? map->instruction_at(PyFrame_GetLasti(frame)) : -1;
    if (k >= 0 && k < (int)map->loop_exit.size() && map->loop_exit[k]) return false;
    it->second.raised = true;
    return true;
}

}  // namespace vdx::trace
