// Where the watched statements of a code object start, and which of them a
// line event is followed by.
//
// The interpreter reports a "line" event when it reaches an instruction that
// starts a line (or is a jump or handler target) coming from an instruction of
// another line, when it enters the code, and at the target of every backward
// jump. Between two line events of a frame, control follows the instructions
// of one line. So from the instruction of a line event, the paths to the next
// event tell which watched statements will start before it: those started on
// every path are reported at once; those started on some paths wait for the
// frame's next event, whose place tells which path was taken.
#include "trace/engine.hpp"

#include <algorithm>

namespace vdx::trace {

namespace {

struct Opcodes {
    bool ready = false;
    int EXTENDED_ARG = -1, RESUME = -1, END_FOR = -1, END_ASYNC_FOR = -1, END_SEND = -1;
    int RETURN_VALUE = -1, RETURN_CONST = -1, RAISE_VARARGS = -1, RERAISE = -1, YIELD_VALUE = -1;
    int JUMP_FORWARD = -1, JUMP_BACKWARD = -1, JUMP_BACKWARD_NO_INTERRUPT = -1;
    int POP_JUMP_IF_FALSE = -1, POP_JUMP_IF_TRUE = -1, POP_JUMP_IF_NONE = -1, POP_JUMP_IF_NOT_NONE = -1;
    int FOR_ITER = -1, SEND = -1;
    int STORE_FAST_STORE_FAST = -1;  // 3.13
    int caches[256] = {};
} OP;

int load_opcodes() {
    if (OP.ready) return 0;
    Ref mod = Ref::steal(PyImport_ImportModule("opcode"));
    if (!mod) return -1;
    Ref opmap = Ref::steal(PyObject_GetAttrString(mod.get(), "opmap"));
    Ref caches = Ref::steal(PyObject_GetAttrString(mod.get(), "_inline_cache_entries"));
    if (!opmap || !caches) return -1;
    auto num = [&](const char* name, int& out) -> int {
        PyObject* v = PyDict_GetItemString(opmap.get(), name);  // borrowed
        if (!v) {
            PyErr_Format(PyExc_RuntimeError, "opcode %s is not known", name);
            return -1;
        }
        out = (int)PyLong_AsLong(v);
        return out < 0 && PyErr_Occurred() ? -1 : 0;
    };
    if (num("EXTENDED_ARG", OP.EXTENDED_ARG) < 0 || num("RESUME", OP.RESUME) < 0 ||
        num("END_FOR", OP.END_FOR) < 0 || num("END_ASYNC_FOR", OP.END_ASYNC_FOR) < 0 ||
        num("END_SEND", OP.END_SEND) < 0 || num("RETURN_VALUE", OP.RETURN_VALUE) < 0 ||
        num("RETURN_CONST", OP.RETURN_CONST) < 0 || num("RAISE_VARARGS", OP.RAISE_VARARGS) < 0 ||
        num("RERAISE", OP.RERAISE) < 0 || num("YIELD_VALUE", OP.YIELD_VALUE) < 0 ||
        num("JUMP_FORWARD", OP.JUMP_FORWARD) < 0 || num("JUMP_BACKWARD", OP.JUMP_BACKWARD) < 0 ||
        num("JUMP_BACKWARD_NO_INTERRUPT", OP.JUMP_BACKWARD_NO_INTERRUPT) < 0 ||
        num("POP_JUMP_IF_FALSE", OP.POP_JUMP_IF_FALSE) < 0 || num("POP_JUMP_IF_TRUE", OP.POP_JUMP_IF_TRUE) < 0 ||
        num("POP_JUMP_IF_NONE", OP.POP_JUMP_IF_NONE) < 0 ||
        num("POP_JUMP_IF_NOT_NONE", OP.POP_JUMP_IF_NOT_NONE) < 0 || num("FOR_ITER", OP.FOR_ITER) < 0 ||
        num("SEND", OP.SEND) < 0)
        return -1;
    if (PyObject* v = PyDict_GetItemString(opmap.get(), "STORE_FAST_STORE_FAST"))  // borrowed
        OP.STORE_FAST_STORE_FAST = (int)PyLong_AsLong(v);
    if (PyDict_Check(caches.get())) {
        // 3.13: cache entries by instruction name.
        Py_ssize_t pos = 0;
        PyObject *name, *count;
        while (PyDict_Next(caches.get(), &pos, &name, &count)) {
            PyObject* code = PyDict_GetItemWithError(opmap.get(), name);  // borrowed
            if (!code) {
                if (PyErr_Occurred()) return -1;
                continue;
            }
            long op = PyLong_AsLong(code), n = PyLong_AsLong(count);
            if ((op == -1 || n == -1) && PyErr_Occurred()) return -1;
            if (op >= 0 && op < 256) OP.caches[op] = (int)n;
        }
    } else {
        // 3.12: a list indexed by instruction number.
        Ref seq = Ref::steal(PySequence_Fast(caches.get(), "cache table"));
        if (!seq) return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()) && i < 256; ++i) {
            long n = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (n < 0 && PyErr_Occurred()) return -1;
            OP.caches[i] = (int)n;
        }
    }
    OP.ready = true;
    return 0;
}

// An exhausted FOR_ITER jumps past the END_FOR at its target (3.12), or past
// END_FOR and the POP_TOP after it (3.13). Checked against the instructions
// an exhausted loop runs when the code of each version was written.
#if PY_VERSION_HEX >= 0x030D0000
constexpr int kLoopExitSkip = 2;
#else
constexpr int kLoopExitSkip = 1;
#endif

// The name of a code's local variable by its index (borrowed), or nullptr.
PyObject* local_name(PyCodeObject* code, int index) {
    PyObject* names = code->co_localsplusnames;
    if (!names || !PyTuple_Check(names) || index < 0 || index >= PyTuple_GET_SIZE(names)) return nullptr;
    return PyTuple_GET_ITEM(names, index);
}

struct Pos {
    int l = -1, el = -1, c = -1, ec = -1;
    bool valid() const { return l >= 0 && el >= 0 && c >= 0 && ec >= 0; }
    bool operator==(const Pos& o) const { return l == o.l && el == o.el && c == o.c && ec == o.ec; }
};

bool before_or_at(int la, int ca, int lb, int cb) { return la < lb || (la == lb && ca <= cb); }

// Whether the instruction's source range lies inside [l0:c0, l1:c1].
bool inside(const Pos& p, int l0, int c0, int l1, int c1) {
    return p.valid() && before_or_at(l0, c0, p.l, p.c) && before_or_at(p.el, p.ec, l1, c1);
}

int read_varint(const unsigned char*& p, const unsigned char* end, int& out) {
    if (p >= end) return -1;
    unsigned b = *p++;
    int v = (int)(b & 63);
    while (b & 64) {
        if (p >= end) return -1;
        b = *p++;
        v = (v << 6) | (int)(b & 63);
    }
    out = v;
    return 0;
}

void sorted_union(std::vector<int>& a, const std::vector<int>& b) {
    if (b.empty()) return;
    std::vector<int> out;
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    a.swap(out);
}

void sorted_intersection(std::vector<int>& a, const std::vector<int>& b) {
    std::vector<int> out;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    a.swap(out);
}

void merge_outcome(std::vector<Outcome>& into, int target, const std::vector<int>& must,
                   const std::vector<int>& may) {
    for (auto& o : into) {
        if (o.target == target) {
            sorted_intersection(o.must, must);
            sorted_union(o.may, may);
            return;
        }
    }
    into.push_back({target, must, may});
}

}  // namespace

int build_code_map(CodeMap& map, PyCodeObject* code, std::shared_ptr<FileRecords> file, int shift) {
    map.code = Ref::borrow((PyObject*)code);
    map.file = std::move(file);
    map.shift = shift;
    map.any = false;
    if (!map.file || map.file->records.empty()) return 0;
    if (load_opcodes() < 0) return -1;

    Ref raw = Ref::steal(PyCode_GetCode(code));
    if (!raw) return -1;
    const unsigned char* bytes = (const unsigned char*)PyBytes_AS_STRING(raw.get());
    const int units = (int)(PyBytes_GET_SIZE(raw.get()) / 2);

    // Positions, one per code unit.
    std::vector<Pos> unit_pos(units);
    {
        Ref it = Ref::steal(PyObject_CallMethod((PyObject*)code, "co_positions", nullptr));
        Ref iter = it ? Ref::steal(PyObject_GetIter(it.get())) : Ref();
        if (!iter) return -1;
        int u = 0;
        while (Ref t = Ref::steal(PyIter_Next(iter.get()))) {
            if (u < units && PyTuple_Check(t.get()) && PyTuple_GET_SIZE(t.get()) == 4) {
                int* fields[4] = {&unit_pos[u].l, &unit_pos[u].el, &unit_pos[u].c, &unit_pos[u].ec};
                for (int i = 0; i < 4; ++i) {
                    PyObject* v = PyTuple_GET_ITEM(t.get(), i);
                    *fields[i] = v == Py_None ? -1 : (int)PyLong_AsLong(v);
                }
                if (PyErr_Occurred()) return -1;
            }
            ++u;
        }
        if (PyErr_Occurred()) return -1;
    }

    // Instructions (an EXTENDED_ARG prefix is one of its own, as the
    // interpreter dispatches it separately).
    std::vector<int> op, unit, target_unit, oparg;
    std::vector<Pos> pos;
    map.unit_to_instr.assign(units, -1);
    long ext = 0;
    for (int u = 0; u < units;) {
        int opc = bytes[2 * u], arg = bytes[2 * u + 1];
        int size = 1 + (opc < 256 ? OP.caches[opc] : 0);
        int k = (int)op.size();
        for (int j = 0; j < size && u + j < units; ++j) map.unit_to_instr[u + j] = k;
        long oparg_value = (ext << 8) | arg;
        ext = opc == OP.EXTENDED_ARG ? oparg_value : 0;
        int tgt = -1;
        if (opc == OP.JUMP_BACKWARD || opc == OP.JUMP_BACKWARD_NO_INTERRUPT)
            tgt = u + size - (int)oparg_value;
        else if (opc == OP.JUMP_FORWARD || opc == OP.POP_JUMP_IF_FALSE || opc == OP.POP_JUMP_IF_TRUE ||
                 opc == OP.POP_JUMP_IF_NONE || opc == OP.POP_JUMP_IF_NOT_NONE || opc == OP.FOR_ITER ||
                 opc == OP.SEND)
            tgt = u + size + (int)oparg_value;
        op.push_back(opc);
        oparg.push_back((int)oparg_value);
        unit.push_back(u);
        target_unit.push_back(tgt);
        pos.push_back(unit_pos[u]);
        u += size;
    }
    const int n = (int)op.size();
    auto instr_of = [&](int u) { return u >= 0 && u < units ? map.unit_to_instr[u] : -1; };

    map.offset.resize(n);
    map.line.resize(n);
    map.succ1.assign(n, -1);
    map.succ2.assign(n, -1);
    map.marked.assign(n, 0);
    map.backjump.assign(n, 0);
    map.terminal.assign(n, 0);
    map.resume.assign(n, 0);
    map.yields.assign(n, 0);
    map.loop_exit.assign(n, 0);
    int first_traceable = 0;
    while (first_traceable < n && op[first_traceable] != OP.RESUME) ++first_traceable;
    if (first_traceable == n) first_traceable = 0;
    for (int k = 0; k < n; ++k) {
        map.offset[k] = 2 * unit[k];
        map.line[k] = pos[k].l;
        int o = op[k];
        map.resume[k] = o == OP.RESUME;
        map.yields[k] = o == OP.YIELD_VALUE;
        // The StopIteration of a generator is seen at END_FOR or END_SEND.
        map.loop_exit[k] = o == OP.FOR_ITER || o == OP.SEND || o == OP.END_FOR || o == OP.END_SEND;
        int t = instr_of(target_unit[k]);
        bool cond_jump = o == OP.POP_JUMP_IF_FALSE || o == OP.POP_JUMP_IF_TRUE || o == OP.POP_JUMP_IF_NONE ||
                         o == OP.POP_JUMP_IF_NOT_NONE;
        bool loop_exit = o == OP.FOR_ITER || o == OP.SEND;  // exhausted: past END_FOR / END_SEND
        if (o == OP.RETURN_VALUE || o == OP.RETURN_CONST || o == OP.RAISE_VARARGS || o == OP.RERAISE ||
            o == OP.YIELD_VALUE) {
            map.terminal[k] = 1;
        } else if (o == OP.JUMP_FORWARD || o == OP.JUMP_BACKWARD || o == OP.JUMP_BACKWARD_NO_INTERRUPT) {
            map.succ1[k] = t;
            // The await and yield-from loops' JUMP_BACKWARD_NO_INTERRUPT is
            // not instrumented: it makes no JUMP event, hence no line event.
            map.backjump[k] = o == OP.JUMP_BACKWARD;
        } else if (cond_jump || loop_exit) {
            int skip = o == OP.FOR_ITER ? kLoopExitSkip : 1;
            map.succ1[k] = loop_exit ? (t >= 0 && t + skip < n ? t + skip : -1) : t;
            map.succ2[k] = k + 1 < n ? k + 1 : -1;
        } else {
            map.succ1[k] = k + 1 < n ? k + 1 : -1;
        }
    }
    // Instructions that report a line event when reached from another line.
    int current_line = -1;
    for (int k = first_traceable; k < n; ++k) {
        int o = op[k];
        if (o == OP.END_FOR || o == OP.END_ASYNC_FOR || o == OP.END_SEND || o == OP.RESUME) continue;
        // 3.13: the POP_TOP of an END_FOR is skipped with it.
        if (kLoopExitSkip == 2 && k > 0 && op[k - 1] == OP.END_FOR) continue;
        if (map.line[k] != current_line && map.line[k] >= 0) map.marked[k] = 1;
        current_line = map.line[k];
    }
    for (int k = first_traceable; k < n; ++k) {
        if (target_unit[k] < 0) continue;
        int t = instr_of(target_unit[k]);
        int skip = op[k] == OP.FOR_ITER ? kLoopExitSkip : 1;
        if (op[k] == OP.FOR_ITER || op[k] == OP.SEND) t = t >= 0 && t + skip < n ? t + skip : -1;
        if (t >= 0) map.marked[t] = 1;
    }
    {
        PyObject* table = code->co_exceptiontable;
        const unsigned char* p = (const unsigned char*)PyBytes_AS_STRING(table);
        const unsigned char* end = p + PyBytes_GET_SIZE(table);
        int start, size, handler, depth;
        while (p < end && read_varint(p, end, start) == 0 && read_varint(p, end, size) == 0 &&
               read_varint(p, end, handler) == 0 && read_varint(p, end, depth) == 0) {
            int h = instr_of(handler);
            if (h >= 0 && op[h] != OP.END_ASYNC_FOR) map.marked[h] = 1;
        }
    }

    // Where each record's code starts: the first instruction of every run of
    // instructions inside its range that begins like its first run (a run
    // that begins otherwise is cleanup code reached only by an exception).
    const auto& records = map.file->records;
    const int nrec = (int)records.size();
    map.entries.assign(n, {});
    int lo_line = 1 << 30, hi_line = -1;
    // Where this code itself starts: a lambda or generator expression inside
    // a watched statement holds part of its range, but not its start.
    int start_l = 1 << 30, start_c = 0, end_l = -1, end_c = 0;
    for (int k = 0; k < n; ++k) {
        if (!pos[k].valid()) continue;
        lo_line = std::min(lo_line, pos[k].l);
        hi_line = std::max(hi_line, pos[k].el);
        bool zero_width = pos[k].l == pos[k].el && pos[k].c == pos[k].ec;
        if (!zero_width && (pos[k].l < start_l || (pos[k].l == start_l && pos[k].c < start_c))) {
            start_l = pos[k].l;
            start_c = pos[k].c;
        }
        if (!zero_width && (pos[k].el > end_l || (pos[k].el == end_l && pos[k].ec > end_c))) {
            end_l = pos[k].el;
            end_c = pos[k].ec;
        }
    }
    for (int r = 0; r < nrec; ++r) {
        const Record& rec = records[r];
        int l0 = rec.l0 + shift, l1 = rec.l1 + shift;
        if (l1 < lo_line || l0 > hi_line) continue;
        // Begun in an enclosing code: a statement around this whole code (a
        // lambda or generator expression of it). A statement of this code
        // may begin before its first instruction (`del L[0]` first in a
        // function: no instruction carries the place of "del") and may be
        // all of it.
        // (An enclosing statement begins on the code's first line or before.)
        bool begins_before = l0 < start_l || (l0 == start_l && rec.c0 < start_c);
        bool ends_after = l1 > end_l || (l1 == end_l && rec.c1 >= end_c);
        if (begins_before && ends_after && l0 <= code->co_firstlineno) continue;
        Pos first;
        bool have_first = false;
        std::vector<int> starts;
        for (int k = 0; k < n; ++k) {
            if (!inside(pos[k], l0, rec.c0, l1, rec.c1)) continue;
            if (k > 0 && inside(pos[k - 1], l0, rec.c0, l1, rec.c1)) continue;
            if (!have_first) {
                first = pos[k];
                have_first = true;
            } else if (!(pos[k] == first)) {
                continue;
            }
            starts.push_back(k);
        }
        if (starts.empty() && OP.STORE_FAST_STORE_FAST >= 0) {
            // No instruction of its own: 3.13's STORE_FAST_STORE_FAST stores
            // two names and carries the place of the first (`for a, b in`):
            // the record of the second starts at it.
            int g0 = rec.gl0 + shift, g1 = rec.gl1 + shift;
            for (int k = 0; k < n; ++k) {
                if (op[k] != OP.STORE_FAST_STORE_FAST || !inside(pos[k], g0, rec.gc0, g1, rec.gc1) ||
                    !before_or_at(pos[k].el, pos[k].ec, l0, rec.c0))
                    continue;
                PyObject* second = local_name(code, oparg[k] & 15);
                if (second && PyUnicode_Check(second) && PyUnicode_Compare(second, rec.name.get()) == 0)
                    starts.push_back(k);
                PyErr_Clear();
            }
        }
        // The statement's run around each entry, up to the neighbouring
        // copies of the same code (a loop's test is compiled twice, back to
        // back): each copy that runs is an execution of its own.
        int g0 = rec.gl0 + shift, g1 = rec.gl1 + shift;
        for (size_t j = 0; j < starts.size(); ++j) {
            int k = starts[j];
            int floor = j > 0 ? starts[j - 1] + 1 : 0;
            int ceiling = j + 1 < starts.size() ? starts[j + 1] - 1 : n - 1;
            int lo = k, hi = k;
            while (lo > floor && inside(pos[lo - 1], g0, rec.gc0, g1, rec.gc1)) --lo;
            while (hi < ceiling && inside(pos[hi + 1], g0, rec.gc0, g1, rec.gc1)) ++hi;
            map.entries[k].push_back((int)map.entry_rec.size());
            map.entry_rec.push_back(r);
            map.entry_instr.push_back(k);
            map.group_lo.push_back(lo);
            map.group_hi.push_back(hi);
            map.any = true;
        }
    }
    for (auto& v : map.entries) std::sort(v.begin(), v.end());
    map.actions.assign(map.any ? n : 0, EventAction());
    map.memo.assign(map.any ? n : 0, {});
    map.memo_done.assign(map.any ? n : 0, 0);
    return 0;
}

const EventAction& CodeMap::action(int k0) {
    EventAction& act = actions[k0];
    if (act.computed) return act;
    act.computed = true;
    const int n = (int)offset.size();
    auto fires = [&](int a, int b) {
        if (backjump[a] && succ1[a] == b) return line[b] >= 0;
        return marked[b] && line[b] >= 0 && (line[a] != line[b] || resume[a]);
    };
    // Paths from k0 up to the next line event, as a depth-first walk that
    // settles each instruction after its successors.
    std::vector<unsigned char> on_stack(n, 0);
    std::vector<std::pair<int, int>> stack;
    stack.push_back({k0, 0});
    on_stack[k0] = 1;
    while (!stack.empty()) {
        auto& [k, next] = stack.back();
        if (memo_done[k]) {
            on_stack[k] = 0;
            stack.pop_back();
            continue;
        }
        int succ[2] = {succ1[k], succ2[k]};
        if (next < 2) {
            int s = succ[next++];
            if (s >= 0 && !fires(k, s) && !memo_done[s] && !on_stack[s]) {
                on_stack[s] = 1;
                stack.push_back({s, 0});
            }
            continue;
        }
        std::vector<Outcome> res;
        const std::vector<int>& here = entries[k];
        bool any_succ = false;
        for (int s : succ) {
            if (s < 0) continue;
            any_succ = true;
            if (fires(k, s) || !memo_done[s]) {
                // The next event, or a loop without one (treated as one).
                merge_outcome(res, s, here, here);
                continue;
            }
            for (const Outcome& o : memo[s]) {
                std::vector<int> must = o.must, may = o.may;
                sorted_union(must, here);
                sorted_union(may, here);
                merge_outcome(res, o.target, must, may);
            }
        }
        if (!any_succ) merge_outcome(res, exit_target(k), here, here);
        memo[k] = std::move(res);
        memo_done[k] = 1;
        on_stack[k] = 0;
        stack.pop_back();
    }
    const std::vector<Outcome>& outs = memo[k0];
    bool first = true;
    std::vector<int> certain, possible;
    for (const Outcome& o : outs) {
        if (first) {
            certain = o.must;
            first = false;
        } else {
            sorted_intersection(certain, o.must);
        }
        sorted_union(possible, o.may);
    }
    std::vector<int> only_possible;
    std::set_difference(possible.begin(), possible.end(), certain.begin(), certain.end(),
                        std::back_inserter(only_possible));
    act.certain = std::move(certain);
    act.possible = std::move(only_possible);
    if (!act.possible.empty()) act.outcomes = outs;
    return act;
}

bool CodeMap::place_needed(int k) {
    const int n = (int)offset.size();
    if (k < 0 || k >= n || !any) return true;
    if (needed.empty()) {
        std::vector<unsigned char> need(n, 0);
        for (int i = 0; i < n; ++i) {
            if (!marked[i]) continue;
            const EventAction& act = action(i);
            if (act.certain.empty() && act.possible.empty()) continue;
            need[i] = 1;
            // The next event settles what this one leaves open: statements
            // that may not run, and those whose value decides.
            bool leaves_open = observe || !act.possible.empty();
            for (int e : act.certain)
                leaves_open = leaves_open || (file->records[entry_rec[e]].flags & kConfirmByValue);
            if (!leaves_open) continue;
            for (const Outcome& o : memo[i])
                if (o.target >= 0 && o.target < n) need[o.target] = 1;
        }
        // Marked so far: starts, and where an earlier event settles.
        std::vector<unsigned char> start(n, 0);
        for (int i = 0; i < n; ++i)
            if (marked[i] && (!actions[i].certain.empty() || !actions[i].possible.empty())) start[i] = 1;
        settle_only.assign(n, 0);
        for (int i = 0; i < n; ++i) settle_only[i] = need[i] && !start[i];
        for (size_t e = 0; e < group_lo.size(); ++e)
            for (int i = std::max(group_lo[e], 0); i <= group_hi[e] && i < n; ++i) {
                need[i] = 1;
                settle_only[i] = 0;
            }
        needed = std::move(need);
    }
    return needed[k] != 0;
}

}  // namespace vdx::trace
