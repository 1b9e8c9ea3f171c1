"""Tracer overhead on real projects: vardex on two pure-Python packages.

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
`vardex main.py --var NAMES --print 0`, run from the project folder with a
private copy of the module ($VARDEX_SO, else the installed one) on
PYTHONPATH, so the traced child imports the same copy and its data folder
is private too. Every traced run is paired with an untraced `python main.py`
run right next to it (the order alternates from pair to pair); the overhead
is the median over the pairs of T_traced / T_untraced, both wall-clock times
of the whole command. The first pair must print the same stdout and every
pair exit with the same status, else the bench stops with both outputs.

The packages are for the benchmark only, not dependencies of vardex. Without
network (pip cannot install them) the bench says so and exits with status 2.

Usage: VARDEX_SO=$(ls build/dev/vardex*.so) .venv/bin/python bench/projects.py \
           [--runs N] [--projects markdown pyflakes]
"""
import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import built_module

VARDEX_MAIN = "import sys, vardex; sys.argv[0] = 'vardex'; sys.exit(vardex.main())"

# Report lines of the result file start with this marker.
REPORT_MARK = "-\u2193"

MARKDOWN_DRIVER = '''\
"""Renders a generated markdown document, ROUNDS times over."""
import hashlib

import markdown

ROUNDS = 10
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

ROUNDS = 2


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
PYFLAKES_SOURCES = ["argparse.py", "dataclasses.py", "enum.py", "inspect.py", "pathlib.py",
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
    },
}


class Bench:
    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.python = sys.executable
        self.vardex_dir = None
        self.notes = []

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

    def command(self, name, traced):
        """(argv, extra environment) of one run of a project."""
        if not traced:
            return [self.python, "main.py"], {}
        return ([self.python, "-c", VARDEX_MAIN, "main.py", "--var", PROJECTS[name]["vars"],
                 "--print", "0"],
                {"PYTHONPATH": str(self.vardex_dir)})

    def run(self, name, folder, traced):
        """(wall time, exit status, stdout, stderr) of one run; time None when cut."""
        argv, extra = self.command(name, traced)
        return built_module.timed_run(argv, folder, extra, self.args.limit, self.tmp)

    def pairs(self, name, folder):
        """Paired (traced, untraced) times, with the report lines of each traced run."""
        rows, reports = [], []
        for i in range(self.args.runs):
            order = [True, False] if i % 2 == 0 else [False, True]
            runs = {}
            for traced in order:
                runs[traced] = self.run(name, folder, traced)
                if traced:
                    reports.append(self.count_reports())
                    self.collect_messages(name, runs[traced][3])
            (t_time, t_code, t_out, t_err), (u_time, u_code, u_out, u_err) = runs[True], runs[False]
            if u_time is None:
                fail(f"untraced {name} was cut at the {self.args.limit:g} s limit", u_out, u_err)
            if t_time is None:
                fail(f"traced {name} was cut at the {self.args.limit:g} s limit", t_out, t_err)
            if t_code != u_code:
                fail(f"traced {name} exited {t_code}, untraced {u_code}", t_out, t_err,
                     u_out, u_err)
            if u_code != 0:
                fail(f"untraced {name} exited {u_code}", u_out, u_err)
            if i == 0 and t_out != u_out:
                fail(f"traced {name} printed a different stdout", t_out, t_err, u_out, u_err)
            rows.append((t_time, u_time))
        return rows, reports

    def count_reports(self):
        try:
            with open(self.result_file(), encoding="utf-8", errors="replace") as f:
                return sum(1 for line in f if line.startswith(REPORT_MARK))
        except FileNotFoundError:
            return 0

    def collect_messages(self, name, stderr):
        """Keeps vardex's own stderr lines other than its closing "results in" line."""
        for line in stderr.splitlines():
            if line.startswith("vardex: ") and not line.startswith("vardex: results in "):
                self.messages.setdefault((name, line), 0)
                self.messages[name, line] += 1


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="paired runs per project (default 5)")
    parser.add_argument("--projects", nargs="+", choices=list(PROJECTS), default=list(PROJECTS))
    parser.add_argument("--limit", type=float, default=600.0,
                        help="seconds before a run is cut, which stops the bench (default 600)")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    clock = time.perf_counter()
    started = datetime.datetime.now().astimezone()
    with tempfile.TemporaryDirectory(prefix="vardex-projects-") as tmpname:
        bench = Bench(args, Path(tmpname))
        bench.messages = {}
        why = bench.setup_vardex()
        if why:
            print(f"error: {why}", file=sys.stderr)
            sys.exit(1)
        folders = {name: bench.setup_project(name) for name in args.projects}

        print(f"# Tracer overhead on real projects, {started:%Y-%m-%d %H:%M %Z}")
        print()
        print(f"- machine: {platform.platform()}; CPU: {built_module.cpu_model()} "
              f"({os.cpu_count()} logical CPUs)")
        print(f"- python: {sys.version.split()[0]} ({sys.executable})")
        print(f"- command: python bench/projects.py {' '.join(sys.argv[1:])}".rstrip())
        print(f"- runs: {args.runs} pairs per project, median of T_traced / T_untraced")
        sys.stdout.flush()

        results = {}
        for name in args.projects:
            t0 = time.perf_counter()
            results[name] = bench.pairs(name, folders[name])
            rows = results[name][0]
            print(f"  {name:10} {statistics.median(t / u for t, u in rows):6.2f}"
                  f"  ({time.perf_counter() - t0:.0f} s)", file=sys.stderr, flush=True)

        print()
        print("| project | version | watched | pairs | median untraced s | median traced s "
              "| T_traced / T_untraced | report lines |")
        print("|---|---|---|---:|---:|---:|---:|---:|")
        for name in args.projects:
            rows, reports = results[name]
            project = PROJECTS[name]
            ratio = statistics.median(t / u for t, u in rows)
            traced = statistics.median(t for t, _ in rows)
            untraced = statistics.median(u for _, u in rows)
            lines = (f"{reports[0]}" if min(reports) == max(reports)
                     else f"{min(reports)}-{max(reports)}")
            watched = ", ".join(f"`{v}`" for v in project["vars"].split(","))
            print(f"| {name} | {project['version']} | {watched} | {len(rows)} | {untraced:.3f} "
                  f"| {traced:.3f} | {ratio:.2f} | {lines} |")
        print()
        for name in args.projects:
            print(f"- {name}: {PROJECTS[name]['what']}")
        for (name, line), count in bench.messages.items():
            print(f"- vardex on {name} wrote to stderr ({count} of {args.runs} runs): {line}")
        for note in bench.notes:
            print(f"- {note}")
        print("- report lines: lines of the result file starting with "
              f"\"{REPORT_MARK}\", counted after each traced run (a range when runs differ)")
        print("- vardex times include its two interpreter start-ups (command and traced child) "
              "and the project scan, which reads the installed package too")
        print(f"- benchmark wall time: {time.perf_counter() - clock:.0f} s")


if __name__ == "__main__":
    main()
