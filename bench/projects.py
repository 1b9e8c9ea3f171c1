"""vardex on real projects: overhead, memory and faithfulness of the reports
on two pure-Python packages.

The workloads of bench/trace.py are small and written for the benchmark;
this one measures vardex on code it did not choose. Two well-known
pure-Python packages are installed, at pinned versions, from the package
index into a temporary project folder each (`pip install --target <folder>
--no-deps`), so that they sit at the top level of the folder and vardex's
project scan covers their source as it covers the project's own:

  markdown   renders a generated document (headings, lists, tables, fenced
             code, footnotes, inline markup) a number of times
  pyflakes   checks a fixed set of standard library modules, copied into
             the project folder (under sources/, so the scan reads them too)

Each project gets a main.py driver that prints a digest of what it did. The
traced command is the headless command line,
`vardex main.py --var NAMES --print 0`, in each of vardex's two report modes:
observed (the default: a report after a statement that changed the name,
with the value it holds then) and predicted (`--predict`: a report before
every execution of a watched statement, with a predicted value). It runs
from the project folder with a private copy of the module ($VARDEX_SO, else
the installed one) on PYTHONPATH, so the traced child imports the same copy
and its data folder is private too. Every run has PYTHONHASHSEED=0, so that
set iteration order (pyflakes iterates over sets of names) is the same in
every run. For each project and mode the bench gives:

- overhead: every traced run is paired with an untraced `python main.py` run
  right next to it (the order alternates from pair to pair); the overhead is
  the median over the pairs of T_traced / T_untraced, both wall-clock times
  of the whole command. The first pair must print the same stdout and every
  pair exit with the same status, else the bench stops with both outputs.
- memory: one more traced and one more untraced run at full size, each
  under a small wrapper process that reports getrusage(RUSAGE_CHILDREN)
  .ru_maxrss (the largest peak resident set of the processes it waited for),
  while /proc is polled every 5 ms for the peak resident set (VmHWM) of the
  command and of every process under it. The traced figure is the polled
  peak of the traced child, the interpreter that runs the program (the
  command itself only scans and waits); the untraced one the getrusage peak
  of `python main.py`. Goal: the traced child within 64 MB of the untraced
  run. (The wrapper is there because a process's getrusage peak starts from
  the resident set of the process it was forked from: measured straight
  from the bench, whose reading of result files makes it large, the figures
  were the bench's own size.)
- faithfulness: the reports of one more traced run against a ground-truth
  recording of the same driver, both at the project's `truth_rounds` (its
  BENCH_ROUNDS; now the full size): the share of the reports that are real
  changes with their true new value, and the share of the real changes on
  watched lines that are reported.

The ground truth comes from a recorder, a separate untraced run of main.py
under a Python `sys.settrace` function (a small wrapper outside the project
folder installs it and runs main.py with `runpy.run_path(...,
run_name="__main__")`). In frames of code from the project folder whose code
can hold a watched name, it reads the watched names at every line, return
and exception event (locals, with cells and free variables; module and class
bodies from their namespace; names the code stores with `global` from the
globals) and compares them with what it saw at the frame's previous event
(the call event gives the first look; a generator keeps its state across
yields). A change is another object (for immutable built-ins, numbers, str,
bytes, None and tuples of such, only another value of the same type), a bind
or an unbind, or the same object with another str(); it is put on the line
of the previous event, with the str() before and after cut as vardex cuts
them (first 999 characters and "…" when longer than 1000; an unbound name's
text before is "None", as in vardex's reports).

Matching: reports and recorded changes are multisets keyed by (file, line,
name, to-text), and again with the from-text too. A recorded change is put
on the first line of the statement it falls in when that statement can
change that name by the bench's own scan of the project's source
(assignments, augmented and annotated ones, `for`, `with ... as`,
`except ... as`, `del`, imports, def and class names, item and attribute
stores on the name, method calls on it; not the targets of a
comprehension's `for`, which are the comprehension's own): those statements
are the "watched lines", and only their changes count for the second share
(changes elsewhere, such as a list mutated by a function it was passed to,
are counted apart). The report text "from A to B" is split at the " to "
that makes a match where there is one. Object addresses (0x...) are masked
on both sides, since they differ from process to process.

The packages are for the benchmark only, not dependencies of vardex. Without
network (pip cannot install them) the bench says so and exits with status 2.

Usage: VARDEX_SO=$(ls build/dev/vardex*.so) .venv/bin/python bench/projects.py \\
           [--runs N] [--projects markdown pyflakes] [--modes observed predicted]
"""
import argparse
import ast
import collections
import datetime
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from pathlib import Path

import built_module

VARDEX_MAIN = "import sys, vardex; sys.argv[0] = 'vardex'; sys.exit(vardex.main())"

# Report lines of the result file start with this marker.
REPORT_MARK = "-\u2193"

# Every run gets this environment on top of the bench's own.
RUN_ENV = {"PYTHONHASHSEED": "0"}

MODES = {"observed": [], "predicted": ["--predict"]}

# vardex's default cut of value texts, and the recorder's.
MAX_CHARS = 1000

# How many examples of each kind of mismatch are printed.
EXAMPLES = 5

MARKDOWN_DRIVER = '''\
"""Renders a generated markdown document, ROUNDS times over."""
import hashlib
import os

import markdown

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "10"))
EXTENSIONS = ["tables", "fenced_code", "footnotes"]


def section(n):
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    w = [words[(n + k) % len(words)] for k in range(8)]
    return f"""
## Section {n}: {w[0]} & {w[1]}

Some *{w[2]}* text with **{w[3]}** and `code {n} < {n + 1}`, a
[link to {w[4]}](https://example.org/{w[4]}/{n} "{w[5]}") and an
image ![{w[6]}](img/{n}.png). A footnote follows[^f{n}], then <b>inline
html</b> and an escaped \\\\*star\\\\*.

> A quote about {w[7]},
> on two lines.

1. first {w[0]}
2. second {w[1]}
    - nested *{w[2]}*
    - nested **{w[3]}**
3. third `{w[4]}`

| name | value | note |
|:-----|------:|:----:|
| {w[0]} | {n} | {w[5]} |
| {w[1]} | {n * 2} | *{w[6]}* |
| {w[2]} | {n * 3} | `{w[7]}` |

```python
def f{n}(x):
    return x * {n} if x < {n} else -x
```

    indented code {n}
    more code

[^f{n}]: The footnote of section {n}, about {w[1]}.

* * *
"""


def main():
    source = "# Generated document\\n" + "".join(section(n) for n in range(60))
    digest = hashlib.sha256()
    size = 0
    for _ in range(ROUNDS):
        html = markdown.markdown(source, extensions=EXTENSIONS)
        digest.update(html.encode("utf-8"))
        size += len(html)
    print(f"markdown {markdown.__version__}: {ROUNDS} renders of {len(source)} chars, "
          f"{size} chars of html, sha256 {digest.hexdigest()[:16]}")


main()
'''

PYFLAKES_DRIVER = '''\
"""Checks every module of sources/ with pyflakes, ROUNDS times over."""
import io
import os

import pyflakes
from pyflakes import api, reporter

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "2"))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = os.path.join(here, "sources")
    names = sorted(n for n in os.listdir(folder) if n.endswith(".py"))
    counts = {}
    for _ in range(ROUNDS):
        for name in names:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                code = f.read()
            warnings, errors = io.StringIO(), io.StringIO()
            api.check(code, name, reporter.Reporter(warnings, errors))
            counts[name] = (warnings.getvalue().count("\\n"), errors.getvalue().count("\\n"))
    for name in names:
        print(f"{name}: {counts[name][0]} warnings, {counts[name][1]} errors")
    total = sum(w for w, _ in counts.values())
    print(f"pyflakes {pyflakes.__version__}: {ROUNDS} rounds over {len(names)} modules, "
          f"{total} warnings")


main()
'''

# Standard library modules the pyflakes project checks: large, varied, and
# present in every CPython 3.12.
PYFLAKES_SOURCES = ["argparse.py", "dataclasses.py", "enum.py", "inspect.py", "shutil.py",
                    "subprocess.py", "tarfile.py", "typing.py"]

# name -> package, pinned version, watched variables, why those, driver, description
PROJECTS = {
    "markdown": {
        "package": "markdown",
        "version": "3.7",
        # `block` is rebound by every block processor that takes a block off
        # the list (blockprocessors: `block = blocks.pop(0)`), and by the
        # footnote processor, whose test() accepts every block, once per
        # block of every render, which is hot; the table processor rebinds
        # it once per table, and the admonition, definition list and
        # abbreviation extensions, which this workload does not load, never
        # run theirs, which is cold. Its values are single blocks, so the
        # reports stay small; `text` would be hotter still, but the fenced
        # code preprocessor binds it to the whole document once per code
        # block, and each of those reports holds the document twice.
        "vars": "block",
        "driver": MARKDOWN_DRIVER,
        "what": "60-section generated document rendered 10 times (tables, fenced code, footnotes)",
        # Rounds of the runs checked against the recorder (BENCH_ROUNDS): the
        # full size, as the recorder takes only about twice the traced run.
        "truth_rounds": 10,
    },
    "pyflakes": {
        "package": "pyflakes",
        "version": "3.2.0",
        # `binding` is rebound on every scope looked at while resolving a
        # name (handleNodeLoad: `binding = scope.get(name, None)`) and for
        # every name stored (handleNodeStore), which is hot; the loops of
        # FunctionScope.unused_assignments() run once per finished function,
        # and checkDeadScopes and handleNodeDelete (for `del`) assign it
        # only a few times per module, which is cold.
        "vars": "binding",
        "driver": PYFLAKES_DRIVER,
        "what": f"{len(PYFLAKES_SOURCES)} standard library modules checked twice",
        "truth_rounds": 2,
    },
}



# The ground-truth recorder, written outside the project folder and run as
# `python recorder.py OUT FOLDER NAMES` from the project folder.
RECORDER = r'''
"""Runs FOLDER/main.py under a trace function that writes every real change
of the watched NAMES in frames of FOLDER's files to OUT, one JSON list a
line: [file, line, name, kind, text before, text after, event]."""
import dis
import json
import os
import re
import runpy
import sys

UNBOUND = object()
LIMIT = int(os.environ.get("RECORDER_MAX_CHARS", "1000"))
PLAIN = {int, float, complex, bool, str, bytes, type(None)}
CO_OPTIMIZED = 0x1
NAMES = []
PREFIX = ""
RECORDS = []
PLANS = {}


def cut(text):
    if LIMIT > 0 and len(text) > LIMIT:
        text = text[:LIMIT - 1] + "\u2026"
    # vardex writes text UTF-8 cannot hold as backslash escapes.
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def text_of(value):
    if value is UNBOUND:
        return None
    try:
        return str(value)
    except Exception as exc:
        return f"<str() failed: {type(exc).__name__}>"


def immutable(value):
    kind = type(value)
    if kind in PLAIN:
        return True
    if kind is tuple:
        return all(immutable(item) for item in value)
    return False


def changed(before, before_text, now, now_text):
    if now is before:
        return now_text != before_text
    if before is UNBOUND or now is UNBOUND:
        return True
    if type(before) is type(now) and immutable(before) and immutable(now):
        try:
            return not (before == now)
        except Exception:
            return True
    return True


class FrameWatch:
    """The local trace function of one watched frame, with what it saw at
    the frame's previous event."""
    __slots__ = ("path", "local", "globals", "values", "texts", "line")

    def __init__(self, frame, path, local, global_names):
        self.path = path
        self.local = local
        self.globals = global_names
        self.values = self.read(frame)
        self.texts = [text_of(v) for v in self.values]
        self.line = frame.f_lineno

    def read(self, frame):
        values = []
        if self.local:
            space = frame.f_locals
            values += [space.get(n, UNBOUND) for n in self.local]
        if self.globals:
            space = frame.f_globals
            values += [space.get(n, UNBOUND) for n in self.globals]
        return values

    def __call__(self, frame, event, arg):
        if event == "line" or event == "return" or event == "exception":
            now = self.read(frame)
            names = self.local + self.globals
            for i, value in enumerate(now):
                text = text_of(value)
                before, before_text = self.values[i], self.texts[i]
                if changed(before, before_text, value, text):
                    kind = ("bind" if before is UNBOUND else "unbind" if value is UNBOUND
                            else "mutate" if value is before else "rebind")
                    RECORDS.append([self.path, self.line, names[i], kind,
                                    cut("None" if before_text is None else before_text),
                                    "<unbound>" if text is None else cut(text), event])
                self.values[i] = value
                self.texts[i] = text
            self.line = frame.f_lineno
        return self


def plan_for(code):
    """(file, local names, global names) watched in frames of `code`, or None."""
    if not os.path.isabs(code.co_filename):
        return None  # frozen modules, <string>
    path = os.path.realpath(code.co_filename)
    if not path.startswith(PREFIX):
        return None
    if code.co_flags & CO_OPTIMIZED:
        seen = set(code.co_varnames) | set(code.co_cellvars) | set(code.co_freevars)
        local = [n for n in NAMES if n in seen]
        stored = {i.argval for i in dis.get_instructions(code)
                  if i.opname in ("STORE_GLOBAL", "DELETE_GLOBAL")}
        global_names = [n for n in NAMES if n in stored and n not in seen]
    else:
        # Module and class bodies: their namespace (for a module, its globals).
        local = [n for n in NAMES if n in code.co_names or n in code.co_varnames]
        global_names = []
    if not local and not global_names:
        return None
    return path, local, global_names


def global_trace(frame, event, arg):
    if event != "call":
        return None
    current = frame.f_trace
    if type(current) is FrameWatch:
        return current  # a generator or coroutine resumed
    code = frame.f_code
    try:
        plan = PLANS[code]
    except KeyError:
        plan = PLANS[code] = plan_for(code)
    if plan is None:
        return None
    return FrameWatch(frame, *plan)


def main():
    global PREFIX
    out, folder, names = sys.argv[1], os.path.realpath(sys.argv[2]), sys.argv[3]
    NAMES[:] = [n for n in re.split(r"[,\s]+", names) if n]
    PREFIX = folder + os.sep
    script = os.path.join(folder, "main.py")
    sys.argv = ["main.py"]
    sys.path[0] = folder
    sys.settrace(global_trace)
    try:
        runpy.run_path(script, run_name="__main__")
    finally:
        sys.settrace(None)
        with open(out, "w", encoding="utf-8") as f:
            for record in RECORDS:
                f.write(json.dumps(record, ensure_ascii=False) + "\n")


main()
'''


# ------------------------------------------------------------ the statements that can change a name

def _root_name(node):
    while isinstance(node, (ast.Attribute, ast.Subscript, ast.Starred)):
        node = node.value
    return node.id if isinstance(node, ast.Name) else None


def _changes(node, names):
    """The names of `names` that the expression or pattern `node` (not its
    statements) can change.

    The targets of a comprehension's `for` are not counted: they are the
    comprehension's own names, not the enclosing function's."""
    inner = {id(sub) for c in ast.walk(node) if isinstance(c, ast.comprehension)
             for sub in ast.walk(c.target)}
    found = set()
    for sub in ast.walk(node):
        if id(sub) in inner:
            continue
        if isinstance(sub, ast.Name) and isinstance(sub.ctx, (ast.Store, ast.Del)):
            found.add(sub.id)
        elif isinstance(sub, (ast.Attribute, ast.Subscript)) \
                and isinstance(sub.ctx, (ast.Store, ast.Del)):
            found.add(_root_name(sub.value))
        elif isinstance(sub, ast.Call) and isinstance(sub.func, ast.Attribute):
            found.add(_root_name(sub.func.value))
        elif isinstance(sub, (ast.MatchAs, ast.MatchStar)):
            found.add(sub.name)
        elif isinstance(sub, ast.MatchMapping):
            found.add(sub.rest)
    return found & names


def _header_parts(stmt):
    """The parts of a compound statement that run at its first line."""
    if isinstance(stmt, (ast.For, ast.AsyncFor)):
        return [stmt.target, stmt.iter]
    if isinstance(stmt, (ast.While, ast.If)):
        return [stmt.test]
    if isinstance(stmt, (ast.With, ast.AsyncWith)):
        return [part for item in stmt.items
                for part in (item.context_expr, item.optional_vars) if part is not None]
    if isinstance(stmt, ast.Match):
        return [stmt.subject]
    if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return list(stmt.decorator_list)
    return []


def watched_lines(folder, names):
    """{(real path, name): {line: first line of its statement}} for the
    statements of the project's files that can change one of `names`."""
    names = set(names)
    found = collections.defaultdict(dict)
    for path in sorted(folder.rglob("*.py")):
        try:
            tree = ast.parse(path.read_bytes())
        except (SyntaxError, ValueError):
            continue
        real = os.path.realpath(path)

        def mark(changed, first, last, start):
            for name in changed:
                lines = found[real, name]
                for line in range(first, last + 1):
                    lines.setdefault(line, start)

        for node in ast.walk(tree):
            if isinstance(node, ast.stmt):
                if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                    mark({node.name} & names, node.lineno, node.lineno, node.lineno)
                if isinstance(node, (ast.Import, ast.ImportFrom)):
                    mark({a.asname or a.name.split(".")[0] for a in node.names} & names,
                         node.lineno, node.end_lineno, node.lineno)
                if not hasattr(node, "body"):
                    mark(_changes(node, names), node.lineno, node.end_lineno, node.lineno)
                    continue
                for part in _header_parts(node):
                    mark(_changes(part, names), node.lineno, part.end_lineno, node.lineno)
                if isinstance(node, ast.Match):
                    for case in node.cases:
                        end = (case.guard or case.pattern).end_lineno
                        changed = _changes(case.pattern, names)
                        if case.guard is not None:
                            changed |= _changes(case.guard, names)
                        mark(changed, case.pattern.lineno, end, case.pattern.lineno)
            elif isinstance(node, ast.ExceptHandler):
                end = node.type.end_lineno if node.type is not None else node.lineno
                changed = {node.name} & names
                if node.type is not None:
                    changed |= _changes(node.type, names)
                mark(changed, node.lineno, end, node.lineno)
    return dict(found)


# ------------------------------------------------------------ reading a result file

def parse_reports(path, names):
    """[(file, line, name, source text, "from ... to ..." text)] of the variable
    reports of a result file, in order."""
    data = Path(path).read_bytes().decode("utf-8", errors="replace")
    alternatives = "|".join(re.escape(n) for n in names)
    header = re.compile(r"^-----------------<(?:%s)>:\n" % alternatives, re.M)
    report = re.compile(r"-\u2193--------VALUE CHANGED\d+ in (?P<file>.*?) line (?P<line>\d+):"
                        r"(?P<code>.*?) Variable:(?P<name>%s)\uff0cfrom (?P<rest>.*)\Z"
                        % alternatives, re.S)
    starts = [m.end() for m in header.finditer(data)]
    ends = [m.start() for m in header.finditer(data)][1:] + [len(data)]
    out = []
    for start, end in zip(starts, ends):
        record = data[start:end]
        at = record.find("-\u2193--------VALUE CHANGED")
        while at > 0 and record[at - 1] != "\n":
            at = record.find("-\u2193--------VALUE CHANGED", at + 1)
        if at < 0:
            continue
        text = record[at:]
        if text.endswith("\n"):
            text = text[:-1]
        m = report.match(text)
        if m is None:
            continue
        out.append((os.path.realpath(m["file"]), int(m["line"]), m["name"], m["code"],
                    m["rest"]))
    return out


# ------------------------------------------------------------ reports against recorded changes

# Object addresses in value texts (default reprs) differ from process to
# process; both sides are matched with them masked (a cut one too).
ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def mask(text):
    return ADDRESS.sub("0x?", text)


def compare(reports, records, watched):
    """Matches reports against recorded changes (see the module's text)."""
    truth = []
    for path, line, name, kind, before, after, event in records:
        start = watched.get((path, name), {}).get(line)
        truth.append({"file": path, "line": start if start is not None else line,
                      "raw_line": line, "name": name, "kind": kind, "from": mask(before),
                      "to": mask(after), "event": event, "watched": start is not None})
    shown = reports
    reports = [(p, l, n, c, mask(rest)) for p, l, n, c, rest in reports]
    full_pool = collections.defaultdict(list)
    for i, t in enumerate(truth):
        full_pool[t["file"], t["line"], t["name"], f"{t['from']} to {t['to']}"].append(i)
    for pool in full_pool.values():
        pool.reverse()
    matched_report = [None] * len(reports)  # "full", "to" or None
    matched_truth = [None] * len(truth)
    for r, (path, line, name, _code, rest) in enumerate(reports):
        pool = full_pool.get((path, line, name, rest))
        if pool:
            i = pool.pop()
            matched_report[r] = matched_truth[i] = "full"
    to_pool = collections.defaultdict(list)
    for i, t in enumerate(truth):
        if matched_truth[i] is None:
            to_pool[t["file"], t["line"], t["name"], t["to"]].append(i)
    for pool in to_pool.values():
        pool.reverse()
    for r, (path, line, name, _code, rest) in enumerate(reports):
        if matched_report[r] is not None:
            continue
        at = rest.find(" to ")
        while at >= 0:
            pool = to_pool.get((path, line, name, rest[at + 4:]))
            if pool:
                i = pool.pop()
                matched_report[r] = matched_truth[i] = "to"
                break
            at = rest.find(" to ", at + 1)
    # Real changes whose line has a report at all, whatever its value.
    line_pool = collections.Counter((p, l, n) for p, l, n, _c, _r in reports)
    line_reported = [False] * len(truth)
    for i, t in enumerate(truth):
        key = t["file"], t["line"], t["name"]
        if t["watched"] and line_pool[key] > 0:
            line_pool[key] -= 1
            line_reported[i] = True
    watched_truth = [i for i, t in enumerate(truth) if t["watched"]]
    return {
        "reports": len(reports),
        "changes": len(truth),
        "watched_changes": len(watched_truth),
        "reports_true": sum(1 for m in matched_report if m is not None),
        "reports_true_full": sum(1 for m in matched_report if m == "full"),
        "changes_reported": sum(1 for i in watched_truth if matched_truth[i] is not None),
        "changes_reported_full": sum(1 for i in watched_truth if matched_truth[i] == "full"),
        "changes_line_reported": sum(line_reported),
        "false_reports": [shown[r] for r, m in enumerate(matched_report) if m is None],
        "missed": [truth[i] for i in watched_truth if matched_truth[i] is None],
        "missed_line": [truth[i] for i in watched_truth if not line_reported[i]],
        "unwatched": [t for t in truth if not t["watched"]],
        "truth": truth,
    }


def share(part, whole):
    return f"{100.0 * part / whole:.2f} %" if whole else "-"


def short(text, limit=240):
    text = text.replace("\n", "\\n")
    return text if len(text) <= limit else text[:limit] + f"... ({len(text)} chars)"


def source_line(path, line):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, text in enumerate(f, 1):
                if number == line:
                    return text.strip()
    except OSError:
        pass
    return "?"


# ------------------------------------------------------------ peak memory of a run

def _hwm_kb(pid):
    try:
        with open(f"/proc/{pid}/status", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def _children_of(parents):
    """{pid: parent pid} of the processes whose parent is in `parents`."""
    found = {}
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/stat", "rb") as f:
                data = f.read()
            ppid = int(data[data.rindex(b")") + 2:].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if ppid in parents:
            found[int(entry.name)] = ppid
    return found


# Runs a command and writes the peak resident set of the processes it waited
# for (getrusage of its children: the largest of the command and everything
# under it) to a file. A small process of its own, since a child's figure
# starts from the resident set of the process it was forked from.
MEMORY_WRAPPER = """\
import os, resource, sys
pid = os.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
_, status = os.waitpid(pid, 0)
with open(sys.argv[1], "w") as f:
    f.write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status))
"""


def measured_run(argv, cwd, extra_env, limit, tmp):
    """Peak resident sets of one run, in KB: (exit status, the largest of the
    command and the processes under it by getrusage, {pid: (level, peak)}
    polled from /proc every 5 ms for the command (level 1) and the
    processes under it (2, 3, ...), the wrapper's own peak); status None
    when cut at `limit` seconds."""
    env = dict(os.environ)
    env.pop("VARDEX_SO", None)
    env.pop("PYTHONPATH", None)
    env["PYTHONIOENCODING"] = "utf-8"
    env.update(extra_env)
    out = Path(tmp) / "maxrss"
    proc = subprocess.Popen([sys.executable, "-c", MEMORY_WRAPPER, str(out)] + argv, cwd=cwd,
                            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    levels = {proc.pid: 0}
    peaks = {proc.pid: 0}
    done = threading.Event()

    def poll():
        rounds = 0
        while not done.is_set():
            if rounds % 4 == 0 or len(peaks) < 3:
                for pid, ppid in _children_of(set(levels)).items():
                    if pid not in levels:
                        levels[pid] = levels[ppid] + 1
                        peaks[pid] = 0
            for pid in list(peaks):
                kb = _hwm_kb(pid)
                if kb is not None and kb > peaks[pid]:
                    peaks[pid] = kb
            rounds += 1
            done.wait(0.005)

    poller = threading.Thread(target=poll, daemon=True)
    poller.start()

    def kill():
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    timer = threading.Timer(limit, kill)
    timer.start()
    code = proc.wait()
    cut = not timer.is_alive()
    timer.cancel()
    done.set()
    poller.join()
    try:
        rusage_kb = int(out.read_text())
        out.unlink()
    except (OSError, ValueError):
        rusage_kb = None
    polled = {pid: (levels[pid], kb) for pid, kb in peaks.items() if pid != proc.pid}
    return (None if cut else code), rusage_kb, polled, peaks[proc.pid]


class Bench:
    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.python = sys.executable
        self.vardex_dir = None
        self.notes = []
        self.messages = {}
        self.recorder = tmp / "recorder.py"
        self.recorder.write_text(RECORDER, encoding="utf-8")

    # ------------------------------------------------------------ set-up

    def setup_vardex(self):
        self.vardex_dir = self.tmp / "vardex"
        so = built_module.private_copy(self.vardex_dir)
        if so is None:
            return "vardex is not built or installed (set VARDEX_SO)"
        self.notes.append(f"vardex module: {so}")
        return None

    def result_file(self):
        return self.vardex_dir / "trace_data_for_vardex" / "trace_result.txt"

    def setup_project(self, name):
        """The project folder with its package installed and main.py written.

        Exits with status 2 when pip cannot install the package."""
        project = PROJECTS[name]
        folder = self.tmp / name
        folder.mkdir()
        requirement = f"{project['package']}=={project['version']}"
        proc = subprocess.run([self.python, "-m", "pip", "install", "--target", str(folder),
                               "--no-deps", "--no-input", "--disable-pip-version-check",
                               "--quiet", requirement],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if proc.returncode != 0:
            last = next((line.strip() for line in reversed(proc.stderr.splitlines())
                         if line.strip()), f"pip exited {proc.returncode}")
            print(f"cannot install {requirement} from the package index (no network?): {last}",
                  file=sys.stderr)
            sys.exit(2)
        (folder / "main.py").write_text(project["driver"], encoding="utf-8")
        if name == "pyflakes":
            stdlib = Path(sysconfig.get_paths()["stdlib"])
            sources = folder / "sources"
            sources.mkdir()
            for module in PYFLAKES_SOURCES:
                shutil.copyfile(stdlib / module, sources / module)
        return folder

    # ------------------------------------------------------------ running

    def command(self, name, mode, output=None):
        """(argv, extra environment) of one run of a project: untraced when
        `mode` is None, else traced in that report mode."""
        if mode is None:
            return [self.python, "main.py"], dict(RUN_ENV)
        argv = [self.python, "-c", VARDEX_MAIN, "main.py", "--var", PROJECTS[name]["vars"],
                "--print", "0"] + MODES[mode]
        if output is not None:
            argv += ["--output", str(output)]
        return argv, {"PYTHONPATH": str(self.vardex_dir), **RUN_ENV}

    def run(self, name, folder, mode, rounds=None, output=None):
        """(wall time, exit status, stdout, stderr) of one run; time None when cut."""
        argv, extra = self.command(name, mode, output)
        if rounds is not None:
            extra["BENCH_ROUNDS"] = str(rounds)
        return built_module.timed_run(argv, folder, extra, self.args.limit, self.tmp)

    def pairs(self, name, folder, mode):
        """Paired (traced, untraced) times, with the report lines of each traced run."""
        rows, reports = [], []
        for i in range(self.args.runs):
            order = [True, False] if i % 2 == 0 else [False, True]
            runs = {}
            for traced in order:
                runs[traced] = self.run(name, folder, mode if traced else None)
                if traced:
                    reports.append(self.count_reports())
                    self.collect_messages(name, mode, runs[traced][3])
            (t_time, t_code, t_out, t_err), (u_time, u_code, u_out, u_err) = runs[True], runs[False]
            if u_time is None:
                fail(f"untraced {name} was cut at the {self.args.limit:g} s limit", u_out, u_err)
            if t_time is None:
                fail(f"traced {name} ({mode}) was cut at the {self.args.limit:g} s limit",
                     t_out, t_err)
            if t_code != u_code:
                fail(f"traced {name} ({mode}) exited {t_code}, untraced {u_code}", t_out, t_err,
                     u_out, u_err)
            if u_code != 0:
                fail(f"untraced {name} exited {u_code}", u_out, u_err)
            if i == 0 and t_out != u_out:
                fail(f"traced {name} ({mode}) printed a different stdout", t_out, t_err,
                     u_out, u_err)
            rows.append((t_time, u_time))
        return rows, reports

    def memory(self, name, folder, mode):
        """Peak resident sets in KB of one run: "peak" is the figure of the
        bench (untraced: `python main.py` by getrusage; traced: the traced
        child as polled), "command" the command's own as polled, "rusage"
        the largest of the command and its children by getrusage, "polled"
        the untraced process as polled, "wrapper" the floor of "rusage"."""
        argv, extra = self.command(name, mode)
        code, rusage_kb, polled, wrapper_kb = measured_run(argv, folder, extra, self.args.limit,
                                                           self.tmp)
        what = f"{name} ({mode or 'untraced'})"
        if code is None:
            fail(f"{what} was cut at the {self.args.limit:g} s limit in its memory run", "", "")
        if code != 0 or rusage_kb is None:
            fail(f"{what} exited {code} in its memory run", "", "")
        command = [kb for level, kb in polled.values() if level == 1]
        below = [kb for level, kb in polled.values() if level > 1]
        if mode is None:
            return {"peak": rusage_kb, "polled": max(command, default=0), "rusage": rusage_kb,
                    "wrapper": wrapper_kb}
        if not below:
            fail(f"the memory run of {what} saw no traced child", "", "")
        return {"peak": max(below), "command": max(command, default=0), "rusage": rusage_kb,
                "wrapper": wrapper_kb, "processes": len(below)}

    def truth(self, name, folder, modes):
        """Reports of one traced run per mode against the recorder's changes,
        at the project's truth size."""
        project = PROJECTS[name]
        rounds = project["truth_rounds"]
        names = [n for n in re.split(r"[,\s]+", project["vars"]) if n]
        records_file = self.tmp / f"changes-{name}.jsonl"
        argv = [self.python, str(self.recorder), str(records_file), str(folder), project["vars"]]
        extra = {**RUN_ENV, "BENCH_ROUNDS": str(rounds), "RECORDER_MAX_CHARS": str(MAX_CHARS)}
        r_time, r_code, r_out, r_err = built_module.timed_run(argv, folder, extra,
                                                              self.args.limit * 10, self.tmp)
        if r_time is None or r_code != 0:
            fail(f"the recorder on {name} exited {r_code}", r_out, r_err)
        records = [json.loads(line) for line in
                   records_file.read_text(encoding="utf-8").splitlines() if line]
        records_file.unlink()
        u_time, u_code, u_out, u_err = self.run(name, folder, None, rounds=rounds)
        if u_code != 0 or u_out != r_out:
            fail(f"the recorder changed what {name} printed", r_out, r_err, u_out, u_err)
        watched = watched_lines(folder, names)
        out = {"rounds": rounds, "recorder_s": r_time, "untraced_s": u_time,
               "modes": {}}
        for mode in modes:
            result = self.tmp / f"result-{name}-{mode}.txt"
            t_time, t_code, t_out, t_err = self.run(name, folder, mode, rounds=rounds,
                                                    output=result)
            if t_code != 0 or t_out != u_out:
                fail(f"traced {name} ({mode}) at the truth size differs from untraced",
                     t_out, t_err, u_out, u_err)
            self.collect_messages(name, mode, t_err)
            reports = parse_reports(result, names)
            marked = self.count_reports(result)
            if marked != len(reports):
                self.notes.append(f"{name} ({mode}): {marked} report lines in the result file, "
                                  f"{len(reports)} of them read as variable reports")
            result.unlink()
            out["modes"][mode] = compare(reports, records, watched)
        return out

    def count_reports(self, path=None):
        try:
            with open(path or self.result_file(), encoding="utf-8", errors="replace") as f:
                return sum(1 for line in f if line.startswith(REPORT_MARK))
        except FileNotFoundError:
            return 0

    def collect_messages(self, name, mode, stderr):
        """Keeps vardex's own stderr lines other than its closing "results in" line."""
        for line in stderr.splitlines():
            if line.startswith("vardex: ") and not line.startswith("vardex: results in "):
                key = (name, mode, line)
                self.messages[key] = self.messages.get(key, 0) + 1


def fail(message, out, err, untraced_out=None, untraced_err=None):
    """Stops the bench, showing the output of the run(s) concerned."""
    parts = [f"error: {message}"]
    if untraced_out is not None:
        parts += ["--- traced stdout", out[-3000:], "--- traced stderr", err[-3000:],
                  "--- untraced stdout", untraced_out[-3000:],
                  "--- untraced stderr", untraced_err[-3000:]]
    else:
        parts += ["--- stdout", out[-3000:], "--- stderr", err[-3000:]]
    print("\n".join(parts), file=sys.stderr)
    sys.exit(1)


def print_examples(name, mode, result):
    """Observed mode: reports that are no real change with its value, and real
    changes not reported; predicted mode: real changes with no report at
    their line (its values may be predicted as unknown)."""
    by_line = collections.defaultdict(list)
    for t in result["truth"]:
        by_line[t["file"], t["line"], t["name"]].append(t)
    false = result["false_reports"] if mode == "observed" else []
    missed = result["missed"] if mode == "observed" else result["missed_line"]
    if not false and not missed:
        return
    print()
    if mode == "observed":
        print(f"#### {name}, {mode}: {len(false)} reports that are no real change with its "
              f"value, {len(missed)} real changes on watched lines not reported")
    else:
        print(f"#### {name}, {mode}: {len(missed)} real changes on watched lines with no report "
              "at their line")
    for path, line, var, code, rest in false[:EXAMPLES]:
        print()
        print(f"- report: `{short(path)} line {line}:{short(code, 120)} Variable:{var}"
              f"\uff0cfrom {short(rest)}`")
        same = by_line.get((path, line, var), [])
        if same:
            print(f"  recorder at that line: {len(same)} changes, e.g. "
                  + "; ".join(f"{t['kind']} from `{short(t['from'], 100)}` to "
                              f"`{short(t['to'], 100)}` ({t['event']} event after it)"
                              for t in same[:2]))
        else:
            print("  recorder: no change of that name put on that line")
    for t in missed[:EXAMPLES]:
        print()
        print(f"- recorded change: {t['kind']} of `{t['name']}` at {short(t['file'])} line "
              f"{t['line']} (event line {t['raw_line']}, then a {t['event']} event): "
              f"`{short(source_line(t['file'], t['line']), 160)}`, from `{short(t['from'], 120)}` "
              f"to `{short(t['to'], 120)}`")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="paired runs per project (default 5)")
    parser.add_argument("--projects", nargs="+", choices=list(PROJECTS), default=list(PROJECTS))
    parser.add_argument("--modes", nargs="+", choices=list(MODES), default=list(MODES))
    parser.add_argument("--limit", type=float, default=600.0,
                        help="seconds before a run is cut, which stops the bench (default 600; "
                             "ten times that for the recorder)")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    clock = time.perf_counter()
    started = datetime.datetime.now().astimezone()
    with tempfile.TemporaryDirectory(prefix="vardex-projects-") as tmpname:
        bench = Bench(args, Path(tmpname))
        why = bench.setup_vardex()
        if why:
            print(f"error: {why}", file=sys.stderr)
            sys.exit(1)
        folders = {name: bench.setup_project(name) for name in args.projects}

        print(f"# vardex on real projects, {started:%Y-%m-%d %H:%M %Z}")
        print()
        print(f"- machine: {platform.platform()}; CPU: {built_module.cpu_model()} "
              f"({os.cpu_count()} logical CPUs)")
        print(f"- python: {sys.version.split()[0]} ({sys.executable})")
        print(f"- command: python bench/projects.py {' '.join(sys.argv[1:])}".rstrip())
        print(f"- runs: {args.runs} pairs per project and mode, median of T_traced / T_untraced")
        sys.stdout.flush()

        results, memory, truths = {}, {}, {}
        for name in args.projects:
            folder = folders[name]
            t0 = time.perf_counter()
            truths[name] = bench.truth(name, folder, args.modes)
            print(f"  {name:10} truth ({time.perf_counter() - t0:.0f} s)", file=sys.stderr,
                  flush=True)
            memory[name, None] = bench.memory(name, folder, None)
            for mode in args.modes:
                t0 = time.perf_counter()
                results[name, mode] = bench.pairs(name, folder, mode)
                memory[name, mode] = bench.memory(name, folder, mode)
                rows = results[name, mode][0]
                print(f"  {name:10} {mode:9} {statistics.median(t / u for t, u in rows):6.2f}"
                      f"  ({time.perf_counter() - t0:.0f} s)", file=sys.stderr, flush=True)

        print()
        print("### Overhead (full size)")
        print()
        print("| project | version | watched | mode | pairs | median untraced s "
              "| median traced s | T_traced / T_untraced | report lines |")
        print("|---|---|---|---|---:|---:|---:|---:|---:|")
        for name in args.projects:
            project = PROJECTS[name]
            watched = ", ".join(f"`{v}`" for v in project["vars"].split(","))
            for mode in args.modes:
                rows, reports = results[name, mode]
                ratio = statistics.median(t / u for t, u in rows)
                traced = statistics.median(t for t, _ in rows)
                untraced = statistics.median(u for _, u in rows)
                lines = (f"{reports[0]}" if min(reports) == max(reports)
                         else f"{min(reports)}-{max(reports)}")
                print(f"| {name} | {project['version']} | {watched} | {mode} | {len(rows)} "
                      f"| {untraced:.3f} | {traced:.3f} | {ratio:.2f} | {lines} |")

        print()
        print("### The four figures")
        print()
        print("| project | mode | reports that are real changes with their true value "
              "| real changes on watched lines reported | T_traced / T_untraced "
              "| peak RSS traced child / untraced, MB | reports | real changes (on watched lines) |")
        print("|---|---|---:|---:|---:|---:|---:|---:|")
        mb = 1024.0
        for name in args.projects:
            truth = truths[name]
            base = memory[name, None]["peak"]
            for mode in args.modes:
                r = truth["modes"][mode]
                ratio = statistics.median(t / u for t, u in results[name, mode][0])
                peak = memory[name, mode]["peak"]
                first = share(r["reports_true"], r["reports"])
                if r["reports_true_full"] != r["reports_true"]:
                    first += f" ({share(r['reports_true_full'], r['reports'])} with from-text)"
                second = share(r["changes_reported"], r["watched_changes"])
                if r["changes_reported_full"] != r["changes_reported"]:
                    second += (f" ({share(r['changes_reported_full'], r['watched_changes'])} "
                               "with from-text)")
                if r["changes_line_reported"] != r["changes_reported"]:
                    second += (f"; {share(r['changes_line_reported'], r['watched_changes'])} "
                               "have a report at their line")
                print(f"| {name} | {mode} | {first} | {second} | {ratio:.2f} "
                      f"| {peak / mb:.1f} / {base / mb:.1f} (+{(peak - base) / mb:.1f}) "
                      f"| {r['reports']} | {r['changes']} ({r['watched_changes']}) |")

        print()
        for name in args.projects:
            truth = truths[name]
            print(f"- {name}: {PROJECTS[name]['what']}; the report figures are of runs of "
                  f"{truth['rounds']} round(s) (BENCH_ROUNDS), the recorder's run took "
                  f"{truth['recorder_s']:.0f} s, untraced {truth['untraced_s']:.2f} s")
            some = next(iter(truth["modes"].values()), None)
            if some and some["unwatched"]:
                kinds = collections.Counter(t["kind"] for t in some["unwatched"])
                print(f"  - {len(some['unwatched'])} recorded changes fall outside the watched "
                      f"lines (not counted): "
                      + ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
            u = memory[name, None]
            print(f"  - peak RSS untraced: {u['peak'] / mb:.1f} MB by getrusage "
                  f"({u['polled'] / mb:.1f} MB polled from /proc)")
            for mode in args.modes:
                m = memory[name, mode]
                print(f"  - peak RSS {mode}: traced child {m['peak'] / mb:.1f} MB (polled), "
                      f"the vardex command itself {m['command'] / mb:.1f} MB, the largest of "
                      f"both by getrusage {m['rusage'] / mb:.1f} MB; within 64 MB of untraced: "
                      f"{'yes' if m['peak'] - u['peak'] <= 64 * 1024 else 'no'}")
        for (name, mode, line), count in bench.messages.items():
            print(f"- vardex on {name} ({mode}) wrote to stderr ({count} runs): {line}")
        for note in bench.notes:
            print(f"- {note}")
        print("- report lines: lines of the result file starting with "
              f"\"{REPORT_MARK}\", counted after each traced run (a range when runs differ)")
        print("- vardex times include its two interpreter start-ups (command and traced child) "
              "and the project scan, which reads the installed package too")
        print("- all runs with PYTHONHASHSEED=0")

        for name in args.projects:
            for mode in args.modes:
                print_examples(name, mode, truths[name]["modes"][mode])
        print()
        print(f"- benchmark wall time: {time.perf_counter() - clock:.0f} s")


if __name__ == "__main__":
    main()
