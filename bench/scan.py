"""Project-scan benchmark: read_in_folder() against plain read + ast.parse.

Scans the .py files at the top level of the running interpreter's standard
library (linked into a temporary folder, so subfolders are left out of both
timings) with a few common names and one class entry watched, and compares
the time with the floor of reading the same files and parsing each with
ast.parse. Prints the median of several runs of each and their ratio; and
the first run's scan, which fills the scan's cache (a private cache folder),
against a later run's, which reads the records of the unchanged files from
it (and must give the same records as a fresh scan).

Usage: VARDEX_SO=build/dev/vardex....so python bench/scan.py [runs]
Without $VARDEX_SO the installed module is used; either way a private copy
is imported, so the installed module's data folder is never touched.
"""
import ast
import os
import shutil
import statistics
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import built_module

WATCHED = ["result", "data", "i"]
CLASS_ENTRY = ["Path", ["$item.name"], ["path", "p"]]
GOAL = 1.5
CACHE_GOAL = 0.10


def module_file() -> Path:
    found = built_module.module_file()
    if found is None:
        sys.exit("vardex is not built or installed; set VARDEX_SO")
    return found
def import_private_copy(folder: Path):
    shutil.copy2(module_file(), folder / module_file().name)
    sys.path.insert(0, str(folder))
    try:
        import vardex
    finally:
        sys.path.remove(str(folder))
    return vardex


def link_top_level_sources(target: Path) -> list:
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    files = []
    for src in sorted(stdlib.iterdir()):
        if src.suffix == ".py" and src.is_file() and not src.name.startswith("._"):
            dst = target / src.name
            try:
                dst.symlink_to(src)
            except OSError:
                shutil.copy2(src, dst)
            files.append(dst)
    return files


def floor(files):
    for f in files:
        with open(f, encoding="utf-8") as fh:
            ast.parse(fh.read())


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        (tmp / "module").mkdir()
        (tmp / "project").mkdir()
        # The scan's cache in a folder of its own, empty at the start.
        os.environ["XDG_CACHE_HOME"] = str(tmp / "cache")
        vx = import_private_copy(tmp / "module")
        files = link_top_level_sources(tmp / "project")
        lines = sum(f.read_bytes().count(b"\n") for f in files)
        vx.folder_path = str(tmp / "project")
        vx.trace_var_list = list(WATCHED)
        vx.trace_list_list = []
        vx.trace_classname_list = [[CLASS_ENTRY[0], list(CLASS_ENTRY[1]), list(CLASS_ENTRY[2])]]

        # A first run of the project: its scan fills the cache.
        t0 = time.perf_counter()
        info, _, numbers = vx.read_in_folder()
        t_first = time.perf_counter() - t0
        scan_times, cached_times, floor_times = [], [], []
        for _ in range(runs):
            vx.scan_cache = False
            t0 = time.perf_counter()
            fresh = vx.read_in_folder()
            t1 = time.perf_counter()
            vx.scan_cache = True
            cached = vx.read_in_folder()
            t2 = time.perf_counter()
            floor(files)
            t3 = time.perf_counter()
            assert repr(fresh) == repr(cached), "the cache gave other records than a fresh scan"
            scan_times.append(t1 - t0)
            cached_times.append(t2 - t1)
            floor_times.append(t3 - t2)
        t_scan = statistics.median(scan_times)
        t_cached = statistics.median(cached_times)
        t_floor = statistics.median(floor_times)
        print(f"files: {len(files)}  lines: {lines}  files with records: {len(info)}  distinct lines: {len(numbers)}")
        print(f"T_scan   (read_in_folder, fresh)       median of {runs}: {t_scan * 1000:9.1f} ms")
        print(f"T_first  (the first run, cache filled)               {t_first * 1000:9.1f} ms")
        print(f"T_cached (a later run, from the cache)  median of {runs}: {t_cached * 1000:9.1f} ms")
        print(f"T_floor  (read + ast.parse)            median of {runs}: {t_floor * 1000:9.1f} ms")
        print(f"T_scan / T_floor = {t_scan / t_floor:.2f}  (goal <= {GOAL})")
        print(f"T_cached / T_first = {t_cached / t_first:.3f}  (goal <= {CACHE_GOAL})")
        if not info:
            print("note: no file gave a record; the modification finder looks incomplete")


if __name__ == "__main__":
    main()
