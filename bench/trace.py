"""Tracer overhead benchmark: vardex against other tracers on the same projects.

Each workload under bench/workloads/ is a small project folder (main.py plus
modules) with one watched variable. Every tool runs the workload as a
separate process from that folder, and each traced run is paired with an
untraced `python main.py` right next to it (the order alternates from pair
to pair). The overhead of a tool on a workload is the median over the pairs
of T_traced / T_untraced, both wall-clock times of the whole command.

Tools:
  vardex       the headless command line, `vardex main.py --var NAME --print 0`,
               with a private copy of the module ($VARDEX_SO, else the
               installed one) on PYTHONPATH so the traced child imports it too
  watchpoints  watch() on the variable (as an attribute of the __main__
               module, so rebinding it is seen), then the main file runs
  hunter       hunter.trace() filtered on the main file and the lines that
               assign the variable, then the main file runs
  vardex-settrace  the same with VARDEX_ENGINE=settrace: the trace function
               alone, where vardex otherwise hands the run to sys.monitoring
  coverage     coverage.py's C tracer: COVERAGE_CORE=ctrace coverage run
               --source=<workload folder> main.py
  coverage-sysmon  the same with COVERAGE_CORE=sysmon
  empty        sys.settrace() with a Python function that only returns
               itself: the floor of any Python-level tracer

A tool whose package is not installed is skipped with a note. watchpoints and
hunter call Python code on every event and are very slow, so by default they
(and their paired untraced runs) run the workloads scaled down (--slow-scale,
passed to the workloads as $BENCH_SCALE); fixed process start-up then weighs
more in both times, so their figures are lower bounds of the full-size
overhead.

Usage: python bench/trace.py [--runs N] [--tools T ...] [--workloads W ...]
"""
import argparse
import datetime
import importlib.util
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import built_module

HERE = Path(__file__).resolve().parent
WORKLOADS_DIR = HERE / "workloads"

# name -> (folder, watched variable, its initial value, description)
WORKLOADS = {
    "call_heavy": ("call_heavy", "phase", 0, "small functions and recursion over three modules"),
    "line_dense": ("line_dense", "mode", 0, "tight loops, half of them in the watched file"),
    "hot_watch": ("hot_watch", "hits", 0, "watched variable bumped ~3000 times in a hot loop"),
    "watched_loop": ("watched_loop", "phase", 0,
                     "a hot loop in the function that assigns the watched variable, once"),
    "class_heavy": ("class_heavy", None, None,
                    "a watched instance writes an unwatched attribute 1e6 times, its watched "
                    "`balance` 1000 times and appends to its watched list `entries` ~3300 times"),
}
# What vardex watches where the workload watches a class rather than a variable.
VARDEX_WATCH = {"class_heavy": ["--class", "Account:balance:entries:acct"]}
# Tools that watch variables only.
VARIABLE_ONLY = {"hunter"}
TOOLS = ["vardex", "vardex-settrace", "watchpoints", "hunter", "coverage", "coverage-sysmon", "empty"]
TOOL_PACKAGES = {"watchpoints": "watchpoints", "hunter": "hunter", "coverage": "coverage",
                 "coverage-sysmon": "coverage"}
# Tracers that call Python code on every event: run at a reduced size.
SLOW_TOOLS = {"watchpoints", "hunter"}

VARDEX_MAIN = "import sys, vardex; sys.argv[0] = 'vardex'; sys.exit(vardex.main())"

# Drivers take the main file as their first argument and run it as __main__
# with its folder first on sys.path, as `python main.py` would.
EMPTY_DRIVER = """\
import os, runpy, sys
path = os.path.abspath(sys.argv[1])
sys.argv = sys.argv[1:]
sys.path[0] = os.path.dirname(path)
def _trace(frame, event, arg):
    return _trace
sys.settrace(_trace)
runpy.run_path(path, run_name="__main__")
"""

HUNTER_DRIVER = """\
import os, runpy, sys
import hunter
path = os.path.abspath(sys.argv[1])
lines = [int(n) for n in sys.argv[2].split(",")]
sys.argv = sys.argv[1:2]
sys.path[0] = os.path.dirname(path)
# Cheapest test first; lineno_in= fails in hunter's compiled predicates.
hunter.trace(hunter.Or(*[hunter.Q(lineno=n) for n in lines]), hunter.Q(filename=path))
runpy.run_path(path, run_name="__main__")
"""

# watchpoints reads the watch() call back from its source file, so this one
# is written to a file with the variable's name filled in.
WATCHPOINTS_DRIVER = """\
import builtins, os, sys, types
from watchpoints import watch
path = os.path.abspath(sys.argv[1])
sys.argv = sys.argv[1:]
sys.path[0] = os.path.dirname(path)
main = types.ModuleType("__main__")
main.__file__ = path
main.__builtins__ = builtins
sys.modules["__main__"] = main
main.{var} = {initial!r}
watch(main.{var})
with open(path, encoding="utf-8") as f:
    code = compile(f.read(), path, "exec")
exec(code, main.__dict__)
"""

# The same attributes of the same instance: the workload hands the instance to
# this hook once it exists.
WATCHPOINTS_CLASS_DRIVER = """\
import builtins, os, runpy, sys
from watchpoints import watch
path = os.path.abspath(sys.argv[1])
sys.argv = sys.argv[1:]
sys.path[0] = os.path.dirname(path)
def _bench_watch(acct):
    watch(acct.balance, acct.entries)
builtins._bench_watch = _bench_watch
runpy.run_path(path, run_name="__main__")
"""


def installed(package):
    return importlib.util.find_spec(package) is not None


def watched_lines(main_file, var):
    """Line numbers of main.py that assign the watched variable."""
    pattern = re.compile(r"^\s*" + re.escape(var) + r"\s*(=|\+=|-=|\*=)(?!=)")
    text = main_file.read_text(encoding="utf-8").splitlines()
    return [i for i, line in enumerate(text, 1) if pattern.match(line)]


class Bench:
    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.python = sys.executable
        self.notes = []
        self.vardex_dir = None
        self.drivers = {}

    # ------------------------------------------------------------ commands

    def setup_vardex(self):
        self.vardex_dir = self.tmp / "vardex"
        so = built_module.private_copy(self.vardex_dir)
        if so is None:
            return "vardex is not built or installed (set VARDEX_SO)"
        self.notes.append(f"vardex module: {so}")
        return None

    def result_file(self):
        return self.vardex_dir / "trace_data_for_vardex" / "trace_result.txt"

    def command(self, tool, workload):
        """(argv, extra environment) of one traced run; tool None is untraced."""
        folder, var, initial, _ = WORKLOADS[workload]
        main = WORKLOADS_DIR / folder / "main.py"
        py = self.python
        if tool is None:
            return [py, "main.py"], {}
        if tool in ("vardex", "vardex-settrace"):
            watch = VARDEX_WATCH.get(workload, ["--var", var])
            env = {"PYTHONPATH": str(self.vardex_dir)}
            if tool == "vardex-settrace":
                env["VARDEX_ENGINE"] = "settrace"
            return [py, "-c", VARDEX_MAIN, "main.py", *watch, "--print", "0"], env
        if tool == "empty":
            return [py, "-c", EMPTY_DRIVER, "main.py"], {}
        if tool == "hunter":
            lines = ",".join(str(n) for n in watched_lines(main, var))
            return [py, "-c", HUNTER_DRIVER, "main.py", lines], {}
        if tool in ("coverage", "coverage-sysmon"):
            return ([py, "-m", "coverage", "run", f"--source={main.parent}", "main.py"],
                    {"COVERAGE_CORE": "ctrace" if tool == "coverage" else "sysmon",
                     "COVERAGE_FILE": str(self.tmp / f"coverage-{workload}")})
        if tool == "watchpoints":
            key = (var, initial)
            if key not in self.drivers:
                driver = self.tmp / f"watch_{var or workload}.py"
                text = (WATCHPOINTS_CLASS_DRIVER if var is None
                        else WATCHPOINTS_DRIVER.format(var=var, initial=initial))
                driver.write_text(text, encoding="utf-8")
                self.drivers[key] = driver
            return [py, str(self.drivers[key]), "main.py"], {}
        raise ValueError(tool)

    def fixed_costs(self, with_vardex):
        """Median start-up of a bare interpreter, and of vardex on a trivial project."""
        def median_time(argv, cwd, env):
            times = []
            for _ in range(5):
                start = time.perf_counter()
                subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
                times.append(time.perf_counter() - start)
            return statistics.median(times)
        bare = median_time([self.python, "-c", "pass"], self.tmp, None)
        if not with_vardex:
            return bare, None
        project = self.tmp / "trivial"
        project.mkdir()
        (project / "main.py").write_text("x = 0\n", encoding="utf-8")
        env = dict(os.environ, PYTHONPATH=str(self.vardex_dir))
        env.pop("VARDEX_SO", None)
        argv = [self.python, "-c", VARDEX_MAIN, "main.py", "--var", "x", "--print", "0"]
        return bare, median_time(argv, project, env)

    def scale(self, tool):
        return self.args.slow_scale if tool in SLOW_TOOLS else self.args.scale

    def limit(self, tool):
        return self.args.slow_limit if tool in SLOW_TOOLS else self.args.limit

    # ------------------------------------------------------------ running

    def run(self, tool, workload, scale, limit):
        """Wall time of one run, with its output; time None when cut at the limit."""
        argv, extra = self.command(tool, workload)
        cwd = WORKLOADS_DIR / WORKLOADS[workload][0]
        elapsed, code, stdout, stderr = built_module.timed_run(
            argv, cwd, dict(extra, BENCH_SCALE=repr(scale)), limit, self.tmp)
        if code not in (0, None) or "Disabling tracer" in stderr:
            raise RuntimeError(f"{tool or 'untraced'} on {workload} exited {code}:\n"
                               f"{stdout[-2000:]}\n{stderr[-2000:]}")
        return elapsed, stdout, stderr

    def pairs(self, tool, workload):
        """Paired (traced, untraced) times; the traced one may be None (cut)."""
        scale, limit = self.scale(tool), self.limit(tool)
        rows = []
        expected = None
        for i in range(self.args.runs):
            order = [tool, None] if i % 2 == 0 else [None, tool]
            times = {}
            for t in order:
                elapsed, stdout, stderr = self.run(t, workload, scale, limit)
                times[t] = elapsed
                if t is None:
                    expected = stdout.strip().splitlines()[-1]
                elif elapsed is not None:
                    self.check_output(t, workload, stdout, stderr, expected)
            rows.append((times[tool], times[None]))
            if times[tool] is None:
                break  # cut at the limit: one lower bound is all we get
        return rows

    def check_output(self, tool, workload, stdout, stderr, expected):
        lines = [line for line in stdout.splitlines() if line.startswith(workload)]
        if expected is not None and (not lines or lines[-1] != expected):
            raise RuntimeError(f"{tool} on {workload} printed a different result:\n"
                               f"{stdout[-2000:]}\n{stderr[-2000:]}")
        if tool in ("vardex", "vardex-settrace"):
            text = self.result_file().read_text(encoding="utf-8", errors="replace")
            self.reports[workload] = text.count("VALUE CHANGED")
            if "err when scan file" in stdout:
                self.scan_errors.add(workload)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="paired runs per tool and workload (default 5)")
    parser.add_argument("--tools", nargs="+", choices=TOOLS, default=TOOLS)
    parser.add_argument("--workloads", nargs="+", choices=list(WORKLOADS), default=list(WORKLOADS))
    parser.add_argument("--scale", type=float, default=1.0,
                        help="workload size for the other tools and their paired untraced runs "
                             "(default 1); a larger size makes the fixed start-up weigh less")
    parser.add_argument("--slow-scale", type=float, default=0.25,
                        help="workload size for watchpoints and hunter and their paired "
                             "untraced runs (default 0.25)")
    parser.add_argument("--slow-limit", type=float, default=60.0,
                        help="seconds before a watchpoints or hunter run is cut (default 60)")
    parser.add_argument("--limit", type=float, default=300.0,
                        help="seconds before any other run is cut (default 300)")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    clock = time.perf_counter()
    started = datetime.datetime.now().astimezone()
    print(f"# Tracer overhead, {started:%Y-%m-%d %H:%M %Z}")
    print()
    print(f"- machine: {platform.platform()}; CPU: {built_module.cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"- python: {sys.version.split()[0]} ({sys.executable})")
    print(f"- command: python bench/trace.py {' '.join(sys.argv[1:])}".rstrip())
    print(f"- runs: {args.runs} pairs per cell, median of T_traced / T_untraced")
    sys.stdout.flush()

    with tempfile.TemporaryDirectory(prefix="vardex-bench-") as tmpname:
        bench = Bench(args, Path(tmpname))
        bench.reports = {}
        bench.scan_errors = set()
        tools, skipped = [], []
        for tool in args.tools:
            why = None
            if tool in ("vardex", "vardex-settrace"):
                why = bench.setup_vardex() if bench.vardex_dir is None else None
            elif tool in TOOL_PACKAGES and not installed(TOOL_PACKAGES[tool]):
                why = f"{TOOL_PACKAGES[tool]} is not installed (pip install {TOOL_PACKAGES[tool]})"
            if why:
                skipped.append(f"skipped {tool}: {why}")
            else:
                tools.append(tool)
        for note in skipped:
            print(note)
        if "coverage" in tools:
            script = bench.tmp / "probe.py"
            script.write_text("pass\n", encoding="utf-8")
            probe = subprocess.run([sys.executable, "-m", "coverage", "run", "--debug=sys",
                                    str(script)], cwd=bench.tmp, capture_output=True, text=True,
                                   env=dict(os.environ, COVERAGE_CORE="ctrace",
                                            COVERAGE_FILE=str(bench.tmp / "coverage-probe")))
            core = re.search(r"^\s*core:\s*(.*)$", probe.stdout + probe.stderr, re.M)
            bench.notes.append(f"coverage core with COVERAGE_CORE=ctrace: "
                               f"{core.group(1) if core else 'unknown'}")

        startup = bench.fixed_costs("vardex" in tools)

        results = {}
        for workload in args.workloads:
            for tool in tools:
                if tool in VARIABLE_ONLY and WORKLOADS[workload][1] is None:
                    continue
                t0 = time.perf_counter()
                rows = bench.pairs(tool, workload)
                results[workload, tool] = rows
                print(f"  {workload:11} {tool:12} {cell(bench, tool, rows):>24}"
                      f"  ({time.perf_counter() - t0:.0f} s)", file=sys.stderr, flush=True)

        print()
        print("Overhead T_traced / T_untraced (median of the pairs):")
        print()
        print("| workload | untraced s | " + " | ".join(tools) + " |")
        print("|---|---:|" + "---:|" * len(tools))
        for workload in args.workloads:
            base = [u for t in tools if bench.scale(t) == args.scale and (workload, t) in results
                    for _, u in results[workload, t]]
            base_text = f"{statistics.median(base):.2f}" if base else "-"
            cells = [cell(bench, tool, results[workload, tool]) if (workload, tool) in results else "-"
                     for tool in tools]
            print(f"| {workload} | {base_text} | " + " | ".join(cells) + " |")
        print()
        print("| workload | tool | size | pairs | median traced s | median untraced s | overhead |")
        print("|---|---|---:|---:|---:|---:|---:|")
        for workload in args.workloads:
            for tool in tools:
                if (workload, tool) not in results:
                    continue
                rows = results[workload, tool]
                done = [t for t, _ in rows if t is not None]
                traced = f"{statistics.median(done):.3f}" if done else "-"
                untraced = statistics.median(u for _, u in rows)
                print(f"| {workload} | {tool} | {bench.scale(tool):g} | {len(rows)} | {traced} | "
                      f"{untraced:.3f} | {cell(bench, tool, rows)} |")
        print()
        for workload in args.workloads:
            folder, var, _, what = WORKLOADS[workload]
            extra = ""
            if workload in bench.reports:
                extra = f"; vardex filed {bench.reports[workload]} change reports"
            if workload in bench.scan_errors:
                extra += " (the project scan failed: nothing was watched)"
            watched = f"`{var}`" if var else "`" + " ".join(VARDEX_WATCH[workload]) + "` for vardex"
            print(f"- {workload}: {what}; watched {watched}{extra}")
        for note in bench.notes:
            print(f"- {note}")
        slow = [t for t in tools if t in SLOW_TOOLS]
        if slow and args.slow_scale != 1.0:
            print(f"- {' and '.join(slow)} run at size {args.slow_scale:g} (BENCH_SCALE), and so "
                  "do their untraced pairs; fixed start-up weighs more at that size, so their "
                  "figures (marked >=) are lower bounds of the full-size overhead")
        print("- vardex times include its two interpreter start-ups (command and traced child) "
              "and the project scan")
        print(f"- fixed costs, median of 5: interpreter start-up (`python -c pass`) "
              f"{startup[0]:.3f} s" + (f"; vardex on a one-line project {startup[1]:.3f} s"
                                        if startup[1] is not None else ""))
        print(f"- benchmark wall time: {time.perf_counter() - clock:.0f} s")


def cell(bench, tool, rows):
    """The overhead figure of one tool on one workload."""
    untraced = statistics.median(u for _, u in rows)
    if rows[-1][0] is None:
        return f">= {bench.limit(tool) / untraced:.1f} (cut at {bench.limit(tool):g} s)"
    ratio = statistics.median(t / u for t, u in rows)
    if tool in SLOW_TOOLS and bench.scale(tool) != bench.args.scale:
        return f">= {ratio:.1f} (size {bench.scale(tool):g})"
    return f"{ratio:.2f}"


if __name__ == "__main__":
    main()
