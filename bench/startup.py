"""Start-up benchmark: the fixed cost of a traced run.

A one-line program (`x = 1`) is run as `python main.py` and as
`vardex main.py --var x --print 0` (the headless command line, with a private
copy of the module on PYTHONPATH, $VARDEX_SO or the installed one), in pairs,
the order alternating from pair to pair; the figure is the median over the
pairs of T_vardex / T_python, both wall-clock times of the whole command. The
first traced run fills the scan's cache (a private cache folder, removed at
the end); its time is shown apart, and the pairs run with the cache filled,
as every later run of an unchanged project does. Goal: at most 3x.

A second table breaks the traced run down: `python -c pass`, the command's
interpreter with vardex imported, and the import times (-X importtime) of
the modules each of the two interpreters loads.

Usage: VARDEX_SO=$(ls build/dev/vardex*.so) .venv/bin/python bench/startup.py [--runs N]
"""
import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import built_module

RUN = "import sys, vardex; sys.argv[0] = 'vardex'; sys.exit(vardex.main())"
GOAL = 3.0


def wall(argv, cwd, env):
    start = time.perf_counter()
    proc = subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(argv)}\n{proc.stderr.decode(errors='replace')}")
    return elapsed, proc


def import_times(stderr):
    """Cumulative import times (ms) of the top-level imports of one process, by module."""
    times = {}
    for line in stderr.decode(errors="replace").splitlines():
        if not line.startswith("import time:") or "|" not in line:
            continue
        _, cumulative, name = line.split("|")
        if name.startswith("  "):
            continue  # imported by another module of the list
        name = name.strip()
        try:
            times[name] = times.get(name, 0) + int(cumulative) / 1000
        except ValueError:
            pass
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="pairs (default 20)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vardex-startup-") as tmp:
        tmp = Path(tmp)
        so = built_module.private_copy(tmp / "module")
        if so is None:
            sys.exit("vardex is not built or installed; set VARDEX_SO")
        project = tmp / "project"
        project.mkdir()
        (project / "main.py").write_text("x = 1\n", encoding="utf-8")
        env = dict(os.environ)
        env.pop("VARDEX_SO", None)
        env.update(PYTHONPATH=str(tmp / "module"), XDG_CACHE_HOME=str(tmp / "cache"), PYTHONIOENCODING="utf-8")
        python = [sys.executable, "main.py"]
        vardex = [sys.executable, "-c", RUN, "main.py", "--var", "x", "--print", "0"]
        first, _ = wall(vardex, project, env)
        traced, plain, ratios = [], [], []
        for i in range(args.runs):
            order = [(vardex, traced), (python, plain)] if i % 2 == 0 else [(python, plain), (vardex, traced)]
            pair = {}
            for argv, into in order:
                t, _ = wall(argv, project, env)
                into.append(t)
                pair[id(into)] = t
            ratios.append(pair[id(traced)] / pair[id(plain)])
        bare = statistics.median(wall([sys.executable, "-c", "pass"], project, env)[0] for _ in range(args.runs))
        loaded = statistics.median(wall([sys.executable, "-c", "import vardex"], project, env)[0]
                                   for _ in range(args.runs))
        _, profiled = wall([sys.executable, "-X", "importtime", "-c", RUN, "main.py", "--var", "x", "--print", "0"],
                           project, dict(env, PYTHONPROFILEIMPORTTIME="1"))
        times = import_times(profiled.stderr)
    ratio = statistics.median(ratios)
    print(f"# Start-up of a traced run, {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC\n")
    print(f"- machine: {platform.platform()}; CPU: {built_module.cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"- python: {platform.python_version()} ({sys.executable})")
    print(f"- vardex module: {so}")
    print(f"- program: main.py holding `x = 1`; {args.runs} pairs, alternating order\n")
    print("| command | median s |")
    print("|---|---:|")
    print(f"| python main.py | {statistics.median(plain):.4f} |")
    print(f"| vardex main.py --var x --print 0 | {statistics.median(traced):.4f} |")
    print(f"| the same, first run (scan's cache empty) | {first:.4f} |")
    print(f"| python -c pass | {bare:.4f} |")
    print(f"| python -c 'import vardex' | {loaded:.4f} |")
    print(f"\nT_vardex / T_python, median of the pairs: {ratio:.2f} (goal <= {GOAL:g}: "
          f"{'met' if ratio <= GOAL else 'not met'})\n")
    print("Import times of the traced run's two interpreters (ms, cumulative, top level; both processes):\n")
    print("| module | ms |")
    print("|---|---:|")
    for name, ms in sorted(times.items(), key=lambda kv: -kv[1])[:15]:
        print(f"| {name} | {ms:.1f} |")


if __name__ == "__main__":
    main()
