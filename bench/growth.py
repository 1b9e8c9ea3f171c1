"""Growth benchmark: does a report cost the same at the end of a long list as
at its start?

A generated project grows two watched lists, one append per statement, to N
items each (200 000 by default, --size):

  variable   a list bound to the local name `lst`, watched with `--list lst`
  attribute  the list attribute `items` of the instance bound to `box`,
             watched with `--class Box::items:box`

Every append changes a watched list, so every append files one report, and
the traced time of an append is the cost of one report (with the untraced
append, a few hundredths of a microsecond, in it). The project times itself:
it appends in batches (1000 appends a batch by default, --batch), times each
batch with time.perf_counter(), and prints the mean microseconds per append
of every batch. The "start" figure is the median of the means of the first
--window batches after the first one (so by default the appends 1000 to
10 999), the "end" figure the median of the last --window batches; medians
of several batches rather than a single one, as the machine may be shared
and noisy. Each run gives a start and an end figure; the table shows the
median of each over the runs, their ratio end/start, and whether it stays
within 1.5× (the goal: a report does not grow dearer with the list it
shows). The per-run ratios follow the table, and a last column gives the
same ratio from the lower quartile of each window's batch means: other load
on the machine only ever slows a batch down, so that figure tells a real
growth from bursts of interference better than the median does.

The traced command is the headless command line,
`vardex main.py --list lst --class Box::items:box --print 0` (observed
reports, the default), run from the project folder with a private copy of
the module ($VARDEX_SO, else the installed one) on PYTHONPATH, so the traced
child imports the same copy and its result file goes to the copy's own data
folder in a temporary folder, removed at the end. Every traced run is paired
with an untraced `python main.py` right next to it (the order alternates
from pair to pair, --runs pairs, default 3); the whole-command figure is the
median over the pairs of T_traced / T_untraced, both wall-clock times.
The untraced runs also give the untraced per-append times, for reference.
After each traced run the result file's size is read and its reports of
appends are counted (one per append is expected), and the project's own
digest of both lists must match the untraced run's.

--predict adds runs of the variable alone with `--list lst --predict`
(predicted reports), paired the same way, for comparison. A predicted report
handles the whole list, so these runs take time in proportion to the square
of the size: they grow the list to --predict-size items only (10 000 by
default, in batches of --predict-batch, 200 by default), where a run already
takes tens of seconds; the same start/end windows of batches apply.

At the default size a traced run takes tens of seconds and writes about half
a gigabyte of result file (value texts are cut at 1000 characters); the
bench checks the temporary folder's free space first.

Usage: VARDEX_SO=$(ls build/dev/vardex*.so) .venv/bin/python bench/growth.py \
           [--runs N] [--size N] [--batch N] [--window N]
           [--predict [--predict-size N] [--predict-batch N]]
"""
import argparse
import datetime
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import built_module

VARDEX_MAIN = "import sys, vardex; sys.argv[0] = 'vardex'; sys.exit(vardex.main())"
GOAL = 1.5

# The project: main.py N BATCH PART... with PART "var" or "attr".
WORKLOAD = """\
import sys
from time import perf_counter


class Box:
    def __init__(self):
        self.items = []


def grow_var(n, batch):
    lst = []
    means = []
    done = 0
    while done < n:
        k = min(batch, n - done)
        t0 = perf_counter()
        for i in range(done, done + k):
            lst.append(i)
        means.append((perf_counter() - t0) / k * 1e6)
        done += k
    return lst, means


def grow_attr(box, n, batch):
    means = []
    done = 0
    while done < n:
        k = min(batch, n - done)
        t0 = perf_counter()
        for i in range(done, done + k):
            box.items.append(i)
        means.append((perf_counter() - t0) / k * 1e6)
        done += k
    return means


n, batch = int(sys.argv[1]), int(sys.argv[2])
for part in sys.argv[3:]:
    if part == "var":
        grown, means = grow_var(n, batch)
    else:
        box = Box()
        means = grow_attr(box, n, batch)
        grown = box.items
    print("GROWTH", part, " ".join(f"{m:.4f}" for m in means))
    print("CHECK", part, len(grown), sum(grown), grown[-1])
"""

# What each watched list's append line says in the result file.
APPEND_LINES = {"var": b"lst.append(i)", "attr": b"box.items.append(i)"}
PART_NAMES = {"var": "list variable `lst`", "attr": "list attribute `box.items`"}
# Rough result-file bytes per report, with values cut at 1000 characters.
BYTES_PER_REPORT = {"var": 2400, "attr": 1400}
# Rough result-file bytes per list item, were a predicted report to show the
# whole list (a bound for the free-space check).
BYTES_PER_ITEM = 8

# name -> (parts grown, vardex watch options, mode)
CONFIGS = {
    "observed": (["var", "attr"], ["--list", "lst", "--class", "Box::items:box"], "observed"),
    "predicted": (["var"], ["--list", "lst", "--predict"], "predicted"),
}


class Bench:
    def __init__(self, args, tmp):
        self.args = args
        self.tmp = tmp
        self.python = sys.executable
        self.project = tmp / "project"
        self.project.mkdir()
        (self.project / "main.py").write_text(WORKLOAD, encoding="utf-8")
        self.vardex_dir = tmp / "vardex"
        self.so = built_module.private_copy(self.vardex_dir)
        self.sizes = {"observed": (args.size, args.batch),
                      "predicted": (args.predict_size, args.predict_batch)}

    def result_file(self):
        return self.vardex_dir / "trace_data_for_vardex" / "trace_result.txt"

    def command(self, config, traced):
        parts, watch, _ = CONFIGS[config]
        size, batch = self.sizes[config]
        program = ["main.py", str(size), str(batch), *parts]
        if not traced:
            return [self.python, *program], {}
        return ([self.python, "-c", VARDEX_MAIN, program[0], *watch, "--print", "0", "--",
                 *program[1:]], {"PYTHONPATH": str(self.vardex_dir)})

    def run(self, config, traced):
        """(wall time, {part: batch means}, {part: digest}) of one run."""
        if traced:
            self.result_file().unlink(missing_ok=True)
        argv, extra = self.command(config, traced)
        elapsed, code, stdout, stderr = built_module.timed_run(
            argv, self.project, extra, self.args.limit, self.tmp)
        what = f"{'traced' if traced else 'untraced'} {config} run"
        if elapsed is None:
            raise RuntimeError(f"{what} cut at {self.args.limit:g} s")
        if code != 0 or "Disabling tracer" in stderr:
            raise RuntimeError(f"{what} exited {code}:\n{stdout[-2000:]}\n{stderr[-2000:]}")
        means, digests = {}, {}
        for line in stdout.splitlines():
            fields = line.split()
            if fields[:1] == ["GROWTH"]:
                means[fields[1]] = [float(x) for x in fields[2:]]
            elif fields[:1] == ["CHECK"]:
                digests[fields[1]] = " ".join(fields[2:])
        if set(means) != set(CONFIGS[config][0]):
            raise RuntimeError(f"{what} printed no timings:\n{stdout[-2000:]}\n{stderr[-2000:]}")
        return elapsed, means, digests

    def count_reports(self):
        """Result file size, and its reports per watched append line."""
        path = self.result_file()
        counts = dict.fromkeys(APPEND_LINES, 0)
        with open(path, "rb") as f:
            for line in f:
                if b"VALUE CHANGED" in line:
                    for part, text in APPEND_LINES.items():
                        if text in line:
                            counts[part] += 1
        return path.stat().st_size, counts

    def start_end(self, means):
        """Median per-append time of the start window and of the end window,
        then the lower quartile of each."""
        w = self.args.window
        start, end = means[1:1 + w], means[-w:]
        return (statistics.median(start), statistics.median(end),
                lower_quartile(start), lower_quartile(end))

    def pairs(self, config):
        parts = CONFIGS[config][0]
        rows = []
        for i in range(self.args.runs):
            order = [True, False] if i % 2 == 0 else [False, True]
            row = {}
            for traced in order:
                t0 = time.perf_counter()
                elapsed, means, digests = self.run(config, traced)
                row[traced] = (elapsed, {p: self.start_end(means[p]) for p in parts}, digests)
                if traced:
                    size, counts = self.count_reports()
                    row["file"] = (size, counts)
                print(f"  {config} pair {i + 1} {'traced' if traced else 'untraced'}: "
                      f"{elapsed:.2f} s (with checks {time.perf_counter() - t0:.0f} s)",
                      file=sys.stderr, flush=True)
            if row[True][2] != row[False][2]:
                raise RuntimeError(f"{config}: the traced run grew different lists: "
                                   f"{row[True][2]} against {row[False][2]}")
            rows.append(row)
        self.result_file().unlink(missing_ok=True)
        return rows


def lower_quartile(values):
    return statistics.quantiles(values, n=4, method="inclusive")[0] if len(values) > 1 else values[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="paired runs per mode (default 3)")
    parser.add_argument("--size", type=int, default=200_000,
                        help="appends to each watched list (default 200000)")
    parser.add_argument("--batch", type=int, default=1000,
                        help="appends per timed batch (default 1000)")
    parser.add_argument("--window", type=int, default=10,
                        help="batches in the start and in the end figure (default 10)")
    parser.add_argument("--predict", action="store_true",
                        help="also run the variable with --predict (predicted reports)")
    parser.add_argument("--predict-size", type=int, default=10_000,
                        help="appends to the list in the predicted runs (default 10000)")
    parser.add_argument("--predict-batch", type=int, default=200,
                        help="appends per timed batch in the predicted runs (default 200)")
    parser.add_argument("--limit", type=float, default=600.0,
                        help="seconds before a run is cut (default 600)")
    args = parser.parse_args()
    if min(args.runs, args.batch, args.window, args.predict_batch) < 1:
        parser.error("--runs, --batch, --predict-batch and --window must be at least 1")
    if args.size < args.batch * (2 * args.window + 1):
        parser.error("--size must hold at least 2 * --window + 1 batches")
    if args.predict and args.predict_size < args.predict_batch * (2 * args.window + 1):
        parser.error("--predict-size must hold at least 2 * --window + 1 predicted batches")

    configs = ["observed"] + (["predicted"] if args.predict else [])
    clock = time.perf_counter()
    started = datetime.datetime.now().astimezone()
    print(f"# Per-report cost as watched lists grow, {started:%Y-%m-%d %H:%M %Z}")
    print()
    print(f"- machine: {platform.platform()}; CPU: {built_module.cpu_model()} "
          f"({os.cpu_count()} logical CPUs)")
    print(f"- python: {sys.version.split()[0]} ({sys.executable})")
    print(f"- command: python bench/growth.py {' '.join(sys.argv[1:])}".rstrip())
    sys.stdout.flush()

    with tempfile.TemporaryDirectory(prefix="vardex-growth-") as tmpname:
        tmp = Path(tmpname)
        need = sum(BYTES_PER_REPORT.values()) * args.size
        if args.predict:
            need = max(need, BYTES_PER_ITEM * args.predict_size ** 2 // 2
                       + BYTES_PER_REPORT["var"] * args.predict_size)
        free = shutil.disk_usage(tmp).free
        if free < 2 * need:
            sys.exit(f"{tmp}: {free / 1e9:.1f} GB free, a result file needs about "
                     f"{need / 1e9:.1f} GB; use a smaller --size or set TMPDIR")
        bench = Bench(args, tmp)
        if bench.so is None:
            sys.exit("vardex is not built or installed; set VARDEX_SO")
        print(f"- vardex module: {bench.so}")
        w = args.window
        for c in configs:
            n, b = bench.sizes[c]
            print(f"- {CONFIGS[c][2]}: {n} appends per watched list in batches of {b}; start = "
                  f"median of the batch means of appends {b}-{b * (w + 1) - 1}, end = median "
                  f"of the last {w} batches (appends {n - w * b}-{n - 1}); then the median "
                  f"over {args.runs} run{'s' if args.runs > 1 else ''}")
        print()
        sys.stdout.flush()

        results = {c: bench.pairs(c) for c in configs}

        print("Per-report cost (traced µs per append; each append files one report):")
        print()
        print("| watched | mode | size | reports | untraced µs start | untraced µs end "
              "| traced µs start | traced µs end | end/start | within 1.5× "
              "| end/start, lower quartiles |")
        print("|---|---|---:|---:|---:|---:|---:|---:|---:|---|---:|")
        per_run = []
        for c in configs:
            parts, watch, mode = CONFIGS[c]
            rows = results[c]
            for p in parts:
                ts = statistics.median(r[True][1][p][0] for r in rows)
                te = statistics.median(r[True][1][p][1] for r in rows)
                us = statistics.median(r[False][1][p][0] for r in rows)
                ue = statistics.median(r[False][1][p][1] for r in rows)
                reports = sorted({r["file"][1][p] for r in rows})
                ratio = te / ts
                quartiles = (statistics.median(r[True][1][p][3] for r in rows)
                             / statistics.median(r[True][1][p][2] for r in rows))
                print(f"| {PART_NAMES[p]} | {mode} | {bench.sizes[c][0]} | {'/'.join(map(str, reports))} | "
                      f"{us:.3f} | {ue:.3f} | {ts:.2f} | {te:.2f} | {ratio:.2f} | "
                      f"{'yes' if ratio <= GOAL else 'NO'} | {quartiles:.2f} |")
                runs = ", ".join(f"{r[True][1][p][1] / r[True][1][p][0]:.2f}" for r in rows)
                per_run.append(f"{PART_NAMES[p]}, {mode}: {runs}")
        print()
        print("Whole command, T_traced / T_untraced (median of the pairs):")
        print()
        print("| mode | vardex options | size | pairs | median traced s | median untraced s "
              "| traced/untraced | result file |")
        print("|---|---|---:|---:|---:|---:|---:|---:|")
        for c in configs:
            parts, watch, mode = CONFIGS[c]
            rows = results[c]
            traced = statistics.median(r[True][0] for r in rows)
            untraced = statistics.median(r[False][0] for r in rows)
            ratio = statistics.median(r[True][0] / r[False][0] for r in rows)
            size = statistics.median(r["file"][0] for r in rows)
            print(f"| {mode} | `{' '.join(watch)} --print 0` | {bench.sizes[c][0]} | {len(rows)} | {traced:.2f} | "
                  f"{untraced:.3f} | {ratio:.0f} | {size / 1e6:.0f} MB |")
        print()
        print("- end/start per run: " + "; ".join(per_run))
        print("- lower quartiles: the same ratio from the lower quartile of each window's "
              "batch means instead of their median; other load on the machine only slows "
              "batches down, so this one is less sensitive to it")
        print("- reports: append reports counted in the result file, one per append expected "
              "(the list's creation is reported besides)")
        print("- result file: size after a traced run (median over the runs)")
        print("- traced times include vardex's two interpreter start-ups (command and traced "
              "child) and the project scan")
        print(f"- benchmark wall time: {time.perf_counter() - clock:.0f} s")


if __name__ == "__main__":
    main()
