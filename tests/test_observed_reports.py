"""Observed reports tell the truth: each program runs traced by vardex and,
apart, untraced under a small recorder that notes every real change of the
watched names; the two must agree.

What counts as a change (the recorder's rules):
- the name was bound or unbound;
- the name refers to another object, except that for immutable built-in
  values (numbers, str, bytes, None, tuples of such) only another value
  counts; a value of another type is another value (1, 1.0 and True differ);
- the object it refers to now has another value: for built-in values, it no
  longer equals a copy taken before; for other objects, its str() differs.
A change is attributed to the line of the frame's previous event.
"""
import ast
import collections
import itertools
import json

import pytest

from traced_runs import changed3, reports, traced, write

# Every traced run here is checked under both engines.
BOTH_ENGINES = True

RECORDER = r'''
import copy, dis, itertools, json, os, runpy, sys, threading, traceback

main, out, names = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3].split(",")
project = os.path.dirname(main) + os.sep
SIMPLE = (int, float, complex, bool, str, bytes, type(None))
UNBOUND = object()

def immutable(v):
    return type(v) in SIMPLE or type(v) is tuple and all(immutable(i) for i in v)

def exact(v):
    if type(v) in (tuple, list, set, frozenset):
        return all(exact(i) for i in v)
    if type(v) is dict:
        return all(exact(k) and exact(i) for k, i in v.items())
    return type(v) in SIMPLE or type(v) is bytearray

class Seen:
    def __init__(self, v):
        self.v, self.text = v, "None" if v is UNBOUND else str(v)
        mutable_builtin = v is not UNBOUND and exact(v) and not immutable(v)
        self.copy = copy.deepcopy(v) if mutable_builtin else None

def changed(old, new):
    a, b = old.v, new.v
    if a is UNBOUND or b is UNBOUND:
        return a is not b
    if a is not b:
        return not (immutable(a) and immutable(b)) or type(a) is not type(b) or a != b
    if old.copy is not None:
        return old.copy != b
    return not immutable(b) and old.text != new.text

scopes = {}
def visible(code):
    """The watched names a frame of this code holds itself, and those it uses as globals."""
    if code not in scopes:
        if code.co_name == "<module>":
            scopes[code] = ((), tuple(names))
        else:
            own = code.co_varnames + code.co_cellvars + code.co_freevars
            shared = {i.argval for i in dis.get_instructions(code)
                      if i.opname in ("LOAD_GLOBAL", "STORE_GLOBAL", "DELETE_GLOBAL")}
            scopes[code] = (tuple(n for n in names if n in own),
                            tuple(n for n in names if n in shared and n not in own))
    return scopes[code]

def look(frame):
    own, shared = visible(frame.f_code)
    here = frame.f_locals if own else {}
    seen = {n: Seen(here.get(n, UNBOUND)) for n in own}
    seen.update((n, Seen(frame.f_globals.get(n, UNBOUND))) for n in shared)
    return seen

last, records, events = {}, [], itertools.count()

def local(frame, event, arg):
    if event in ("line", "return", "exception"):
        line, before = last[frame]
        now, when = look(frame), next(events)
        for name, old in before.items():
            if changed(old, now[name]):
                records.append((threading.get_ident(), when, frame.f_code.co_filename,
                                line, name, old.text, now[name].text))
        last[frame] = (frame.f_lineno, now)
    return local

def start(frame, event, arg):
    if not frame.f_code.co_filename.startswith(project):
        return None
    if frame not in last:
        last[frame] = (frame.f_lineno, look(frame))
    return local

threading.settrace(start)
sys.settrace(start)
try:
    runpy.run_path(main, run_name="__main__")
except BaseException:
    traceback.print_exc()
finally:
    sys.settrace(None)
    threading.settrace(None)
    with open(out, "w") as f:
        json.dump(records, f)
'''


def names_changed_by_name(stmt):
    """Names a statement (a compound one: its header) binds, unbinds, or
    changes through themselves: `x = ...`, `x[i] = ...`, `del x.a`, `x.m(...)`."""
    def root(node):
        while isinstance(node, (ast.Attribute, ast.Subscript, ast.Call)):
            node = node.func if isinstance(node, ast.Call) else node.value
        return node.id if isinstance(node, ast.Name) else None

    found = set()
    for field, value in ast.iter_fields(stmt):
        if field in ("body", "orelse", "finalbody", "handlers", "cases"):
            continue
        for part in value if isinstance(value, list) else [value]:
            if not isinstance(part, ast.AST):
                continue
            for node in ast.walk(part):
                if isinstance(node, (ast.Name, ast.Attribute, ast.Subscript)) \
                        and isinstance(node.ctx, ast.Store):
                    found.add(root(node))
                elif isinstance(node, (ast.Attribute, ast.Subscript)) and isinstance(node.ctx, ast.Del):
                    # `del x` of a whole name is not a watched statement
                    found.add(root(node))
                elif isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
                    found.add(root(node.func))
    return found


class Statements:
    """Where each line's statement starts, and what it changes by name."""

    def __init__(self, source):
        self.lines = source.splitlines()
        self.first, self.by_name = {}, collections.defaultdict(set)
        tree = ast.parse(source)
        for node in ast.walk(tree):  # outer statements first: inner ones win
            if isinstance(node, ast.stmt):
                self.first.update(dict.fromkeys(range(node.lineno, node.end_lineno + 1), node.lineno))
                self.by_name[node.lineno] |= names_changed_by_name(node)

    def start(self, line):
        return self.first.get(line, line)


def record(child, files, names):
    """The true changes of an untraced run: [(thread, event, report line, by name)]."""
    write(child.cwd, files)
    out = child.cwd.parent / "truth.json"
    proc = child.run(RECORDER, "main.py", str(out), names)
    assert "Traceback" not in proc.stderr, proc.stderr
    statements = {}
    truth = []
    for thread, event, path, line, name, before, after in json.loads(out.read_text()):
        if path not in statements:
            with open(path, encoding="utf-8") as f:
                statements[path] = Statements(f.read())
        where = statements[path]
        first = where.start(line)
        text = changed3(path, first, where.lines[first - 1].strip(), name, before, after)
        truth.append((thread, event, text, name in where.by_name[first]))
    return proc, truth


def observe(child, program, names, threads=False, files=None):
    """Runs the program both ways; checks that every true change a statement
    makes by the name is reported once, in order, and that no report is made
    where nothing changed. Returns the result file's lines and the true reports."""
    files = {"main.py": program, **(files or {})}
    truth_proc, truth = record(child, files, names)
    proc, result = traced(child, files, "--var", names, "--print", "0", predict=False)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == truth_proc.stdout
    must = [t for t in truth if t[3]]
    may = collections.Counter(t[2] for t in truth if not t[3])
    got = []
    for line in reports(result):
        if line not in {t[2] for t in must} and may[line] > 0:
            may[line] -= 1
        else:
            got.append(line)
    # per name in order; with threads, whose passes interleave, as a whole
    in_order = sorted if threads else list
    for name in names.split(","):
        tag = f" Variable:{name}\uff0cfrom "
        assert in_order(g for g in got if tag in g) == in_order(t[2] for t in must if tag in t[2]), name
    if not threads:
        # reports filed at the same moment may come in any order among themselves
        groups = [list(g) for _, g in itertools.groupby(must, key=lambda t: t[:2])]
        cut, i = [], 0
        for group in groups:
            cut += sorted(got[i:i + len(group)])
            i += len(group)
        assert cut == [text for group in groups for text in sorted(t[2] for t in group)]
    return result.splitlines(), [t[2] for t in must]


def short(lines):
    """Report lines as 'line:name A > B' (from A to B)."""
    out = []
    for line in lines:
        place, rest = line.split(" line ", 1)[1].split(":", 1)
        name, values = rest.rsplit(" Variable:", 1)[1].split("\uff0cfrom ")
        out.append(f"{place}:{name} {values.replace(' to ', ' > ')}")
    return out


def test_statements_that_leave_the_value_alone_make_no_report(child):
    got, truth = observe(child, """
        class Box:
            def __init__(self):
                self.v, self.hidden = 0, 0
            def __str__(self):
                return f"Box({self.v})"
        block = "  indented"
        flag = block.startswith(" ")
        nums = [1, 2, 2, 3]
        found = nums.count(2)
        nums.sort()
        nums = nums
        conf = {"a": 1}
        hit = conf.get("a")
        conf.setdefault("a", 5)
        conf["a"] = 1
        text = "abc"
        text = "abc"
        text = "ab" + text[2:]
        n = 1
        n = 1
        n = 1.0
        n = True
        t = (1, "x")
        t = (1, "x")
        box = Box()
        box.hidden = 5
        box.v = 0
        box.v = 2
        nums = nums[:]
        nums.reverse()
        nums.sort()
        w = "o"
        upper = [w.upper() for w in "ab"]
        box = Box()
        print(flag, found, hit, text, n, t, box, upper)
        """, "block,nums,conf,text,n,t,box,w")
    # another type is another value; an equal list is still another object;
    # an object that is not a built-in value changes when its text does
    assert short(truth) == [
        "6:block None >   indented", "8:nums None > [1, 2, 2, 3]", "12:conf None > {'a': 1}",
        "16:text None > abc", "19:n None > 1", "21:n 1 > 1.0", "22:n 1.0 > True",
        "23:t None > (1, 'x')", "25:box None > Box(0)", "28:box Box(0) > Box(2)",
        "29:nums [1, 2, 2, 3] > [1, 2, 2, 3]", "30:nums [1, 2, 2, 3] > [3, 2, 2, 1]",
        "31:nums [3, 2, 2, 1] > [1, 2, 2, 3]", "32:w None > o", "34:box Box(2) > Box(0)"]


def test_mutations_that_leave_the_length_as_it_was_are_changes(child):
    got, truth = observe(child, """
        x = [1, 2, 3]
        x.append(x.pop() + 1)
        x.insert(0, x.pop())
        x.remove(1); x.append(1)
        x.append(5); x.append(6)
        x.pop(); x.pop()
        x.append(x.pop())
        print(x)
        """, "x")
    assert short(truth) == [
        "1:x None > [1, 2, 3]", "2:x [1, 2, 3] > [1, 2, 4]", "3:x [1, 2, 4] > [4, 1, 2]",
        "4:x [4, 1, 2] > [4, 2, 1]", "5:x [4, 2, 1] > [4, 2, 1, 5, 6]", "6:x [4, 2, 1, 5, 6] > [4, 2, 1]"]


def test_a_statement_that_begins_a_function_before_its_first_instruction(child):
    got, truth = observe(child, """
        def first(L):
            del L[0]
            del L[0]
        def only(L):
            del L[1:]
        first([1, 2, 3])
        only([1, 2, 3])
        keep = [(lambda: 1)()]
        gen = list(v for v in [1])
        """, "L,keep,gen")
    assert [t.split(" ")[0] for t in short(truth)] == ["2:L", "3:L", "5:L", "8:keep", "9:gen"]


def test_a_comprehension_after_a_change_on_the_same_line_is_part_of_it(child):
    # One report for the line, to what the line left: the comprehension's own
    # loop does not end the line's statements (a one-line for loop's passes do).
    proc, result = traced(child, {"main.py": """
        b = 0
        b = 4; b = [a for a in range(3)]
        b = 5
        y = 1; q = [v for v in range(2)]; y = 2
        x = []
        for i in range(2): x.append(i); x.append(-i)
        """}, "--var", "b,y,x", "--print", "0", predict=False)
    assert proc.returncode == 0, proc.stderr
    assert short(reports(result)) == [
        "1:b None > 0", "2:b 0 > [0, 1, 2]", "3:b [0, 1, 2] > 5", "4:y None > 2", "5:x None > []",
        "6:x [] > [0, 0]", "6:x [0, 0] > [0, 0, 1, -1]"]


def test_a_name_deleted_whole_is_reported_again_from_none(child):
    # `del tmp` is no watched statement: the binding after it reports from None.
    got, truth = observe(child, """
        def scratch():
            tmp = [1]
            del tmp
            tmp = [1]
        tmp = "top"
        del tmp
        scratch()
        tmp = "again"
        """, "tmp")
    expected = ["5:tmp None > top", "2:tmp None > [1]", "4:tmp None > [1]", "8:tmp None > again"]
    assert short(truth) == expected
    assert short([g for g in got if g.startswith("-\u2193")]) == expected


def test_every_binding_form_and_every_pass_of_a_loop(child):
    observe(child, """
        class Gate:
            def __init__(self, name):
                self.name = name
            def __enter__(self):
                return self
            def __exit__(self, *exc):
                return False
            def __str__(self):
                return f"Gate({self.name})"
        total = 0
        for i in range(3): total += i
        for k in [1, 1, 2]: pass
        j = 0
        while j < 5: j += 2
        grid = [[0], [0]]
        for a in "xy":
            for b in (1, 2):
                grid[b - 1].append(a * b)
        grid[1][0] += 5
        del grid[0][0]
        conf = {"a": 1}
        conf["a"] += 1
        del conf["a"]
        with Gate("g") as gate:
            gate.name = "h"
        data = [3, 0, 2]
        while (item := data.pop()) != 3: pass
        (first, *rest), last = [1, 2, 3], 4
        first, last = last, first
        squares = [last := v * v for v in range(3)]
        print(total, j, grid, conf, gate, data, item, first, rest, last, squares)
        """, "total,i,k,j,grid,a,b,conf,gate,data,item,first,rest,last")


def test_statements_left_by_an_exception(child):
    got, truth = observe(child, """
        def parse(raw):
            value = None
            value = int(raw)
            return value
        def pieces(raw):
            for part in raw:
                yield part
            raise ValueError("stop")
        def make():
            raise KeyError("k")
        def stash(box):
            kept = [box]
            kept.append(box); raise RuntimeError("late")
        items, d, count = [], {}, 0
        try:
            items.extend(pieces("ab"))
        except ValueError:
            pass
        try:
            d["k"] = make()
        except KeyError:
            pass
        try:
            parse("x")
        except ValueError:
            pass
        try:
            stash(1)
        except RuntimeError:
            pass
        try:
            count += 1; count += int("z")
        except ValueError:
            pass
        def load():
            kept = []
            kept.extend(pieces("cd"))
        try:
            load()
        except ValueError:
            pass
        def explode():
            raise OSError("deep")
        def unwind():
            trail = []
            trail.append(0) or explode()
        try:
            unwind()
        except OSError:
            pass
        print(items, d, count)
        """, "value,items,d,count,kept,part,trail")
    # a statement that raised before it changed anything (lines 3 and 20) is silent;
    # one that changed the name first is reported (13, 16, 32, 37, 46)
    assert short(truth) == [
        "14:items None > []", "14:d None > {}", "14:count None > 0", "6:part None > a",
        "6:part a > b", "16:items [] > ['a', 'b']", "2:value None > None", "12:kept None > [1]",
        "13:kept [1] > [1, 1]", "32:count 0 > 1", "36:kept None > []", "6:part None > c",
        "6:part c > d", "37:kept [] > ['c', 'd']", "45:trail None > []", "46:trail [] > [0]"]


SUSPENDED = {
    "generator": ("""
        def counter(limit):
            n = 0
            while n < limit:
                n += 1
                received = yield n
                if received:
                    n = received
        gen = counter(5)
        first = next(gen)
        second = gen.send(3)
        gen.close()
        for value in counter(2):
            last = value
        for value in (v * v for v in range(3)):
            last = value
        print(first, second, last)
        """, "n,received,first,second,value,last",
        ["5:received None > 3", "5:received None > None"]),
    "coroutine": ("""
        import asyncio
        async def tick(name, times):
            beats = []
            for k in range(times):
                beats.append(name + str(k))
                await asyncio.sleep(0)
            return beats
        async def both():
            pair = await asyncio.gather(tick("a", 2), tick("b", 1))
            return pair
        result = asyncio.run(both())
        print(result)
        """, "beats,pair,result", ["5:beats ['a0'] > ['a0', 'a1']"]),
    "resumed within a line": ("""
        import asyncio
        def gen():
            x = []
            x.append(1); yield; x.append(2)
            x.append(3); y = yield 5; x.append(y)
        g = gen()
        next(g); next(g)
        try:
            g.send(9)
        except StopIteration:
            pass
        async def main():
            x = [3]; await asyncio.sleep(0); x = [4]
            for i in range(2): x = [i]; await asyncio.sleep(0); x = [i, i]
        asyncio.run(main())
        """, "x,y", ["4:x [1] > [1, 2]", "5:x [1, 2, 3] > [1, 2, 3, 9]", "13:x [3] > [4]",
                     "14:x [0] > [0, 0]", "14:x [1] > [1, 1]"]),
    "suspended twice within a line": ("""
        import asyncio
        def sub():
            yield 0
            return 1
        def main():
            r = yield from sub(); x = yield from sub()
            print(r, x)
            a = 1
            b = yield 0; a = yield b
            yield 9
        g = main()
        next(g); next(g); next(g); g.send(5); g.send(6)
        async def one():
            await asyncio.sleep(0)
            return 1
        async def amain():
            r = await one(); x = await one()
        asyncio.run(amain())
        """, "x,r,a", ["6:r None > 1", "6:x None > 1", "9:a 1 > 6", "17:r None > 1", "17:x None > 1"]),
}


@pytest.mark.parametrize("kind", SUSPENDED)
def test_frames_that_suspend_report_changes_across_resumptions(child, kind):
    program, names, among = SUSPENDED[kind]
    got, truth = observe(child, program, names)
    # a value sent in is bound by the statement that yielded; a coroutine's
    # statement is reported though the frame was suspended in between
    assert set(among) <= set(short(truth))


def test_threads_report_their_own_changes(child):
    observe(child, """
        import sys, threading
        sys.setswitchinterval(1e-6)
        def count_up(step):
            acc = 0
            for k in range(40):
                acc += k * step
        def fill():
            global seen
            seen = []
            for c in "abc":
                seen.append(c)
        workers = [threading.Thread(target=count_up, args=(s,)) for s in (1, 1000)]
        workers.append(threading.Thread(target=fill))
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        print(seen)
        """, "acc,seen", threads=True)


def test_changes_inside_a_call_are_reported_before_the_calling_statement(child):
    got, truth = observe(child, """
        class Tally:
            def __init__(self):
                self.n = 0
            def add(self, k):
                self.n += k
            def __str__(self):
                return f"Tally({self.n})"
        x = 0
        def bump():
            global x
            x = x + 10
            return x * 2
        y = bump()
        x = bump()
        lst = []
        def grow(target):
            target.append("inner")
            return "outer"
        def log():
            lst.append("log")
        lst.append(grow(lst))
        grow(lst)
        log()
        tally = Tally()
        tally.add(2)
        tally.add(0)
        def walk(k):
            level = k
            if k: level = level + walk(k - 1)
            return level
        walk(2)
        def outer():
            hits = 0
            def inc():
                nonlocal hits
                hits += 1
            inc(); inc()
            return hits
        outer()
        print(x, y, lst, tally)
        """, "x,y,lst,tally,level,hits")
    main = child.cwd / "main.py"
    # the caller's own statement shows the value before it, not the one its call left
    assert "14:x 10 > 40" in short(truth)
    # what grow() does through its parameter is no statement's of lst (line 22),
    # but line 21 changes lst by its own append; log() appends to lst by name
    assert [s for s in short(truth) if ":lst " in s] == [
        "15:lst None > []", "21:lst [] > ['inner', 'outer']",
        "20:lst ['inner', 'outer', 'inner'] > ['inner', 'outer', 'inner', 'log']"]
    inner = got.index(changed3(main, 11, "x = x + 10", "x", 0, 10))
    assert inner < got.index(changed3(main, 13, "y = bump()", "y", None, 20))
    # the caller block of the change inside the call names the calling statement
    assert got[inner - 2:inner] == ["-----------------<x>:", f"\u2193-----------------{main} line 13:y = bump() CALLED:"]


def test_statements_over_several_lines_are_reported_once_per_execution(child):
    got, truth = observe(child, """
        def build(a, b, c):
            return [a, b, c]
        for k in range(2):
            rows = build(
                k,
                k + 1, k)[
                    :2]
        rows.extend(
            [9]
        )
        table = {
            "a": len(rows),
            "b": rows[0],
        }
        print(rows, table)
        """, "rows,table")
    assert [s.split(" ")[0] for s in short(truth)] == ["4:rows", "4:rows", "8:rows", "11:table"]


def test_changes_in_an_imported_project_module_are_reported_there(child):
    observe(child, """
        import helper
        bag = helper.collect(3)
        bag.append(helper.collect(1))
        print(bag)
        """, "bag,part", files={"helper.py": """
        def collect(n):
            part = []
            for i in range(n):
                part.append(i)
            return part
        """})
