"""The project scan keeps the records of each file between runs, and a later
run that reads them gets exactly what a fresh scan gives."""
import os
import sys

import pytest

from traced_runs import RUN, write


@pytest.fixture
def scan(vx, tmp_path, monkeypatch, tool_err):
    """Scans a project folder with a private cache folder; returns what a
    scan gives, how many files it parsed, and what it said."""
    project, cache = tmp_path / "project", tmp_path / "cache"
    project.mkdir()
    monkeypatch.setenv("XDG_CACHE_HOME", str(cache))
    monkeypatch.setattr(vx, "folder_path", str(project))
    monkeypatch.setattr(vx, "trace_var_list", ["total"])
    monkeypatch.setattr(vx, "trace_list_list", ["items"])
    monkeypatch.setattr(vx, "trace_classname_list", [["Cart", ["$item.total"], ["cart"]]])
    monkeypatch.setattr(vx, "scan_cache", True)
    parsed = []
    visitor = vx.VariableModificationVisitor

    class Counting(visitor):
        def __init__(self, *args, **kwargs):
            parsed.append(os.path.basename(str(args[0])))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(vx, "VariableModificationVisitor", Counting)

    def run():
        parsed.clear()
        info, files, lines = vx.read_in_folder()
        got = (sorted(map(repr, info)), sorted(files), sorted(lines), repr(sorted(map(repr, vx.trace_aim_spans))),
               repr(vx.trace_files_class_lines_dict), sorted(vx._defined_classes))
        return got, sorted(parsed), tool_err()

    run.project, run.cache = project, cache
    return run


def fresh(vx, scan):
    """What a scan without the cache gives."""
    vx.scan_cache = False
    try:
        return scan()[0]
    finally:
        vx.scan_cache = True


A = "total = 0\nfor item in []:\n    total += item\nitems = []\nitems.append(1)\n"
B = "class Cart:\n    pass\ncart = Cart()\ncart.total = 1\n"


def test_a_second_scan_reads_unchanged_files_from_the_cache_and_gives_the_same(vx, scan):
    write(scan.project, {"a.py": A, "b.py": B, "sub/c.py": "total = 5\n"})
    first, parsed, said = scan()
    assert parsed == ["a.py", "b.py", "c.py"] and said == ""
    assert len(os.listdir(scan.cache / "vardex")) == 1
    second, parsed, said = scan()
    assert (second, parsed, said) == (first, [], "")
    assert second == fresh(vx, scan)


def test_edited_renamed_and_new_files_are_scanned_again(vx, scan):
    write(scan.project, {"a.py": A, "b.py": B})
    scan()
    a = scan.project / "a.py"
    stamp = a.stat().st_mtime_ns
    # Edited within the same time stamp: another size.
    a.write_text(A + "total = 7\n", encoding="utf-8")
    os.utime(a, ns=(stamp, stamp))
    got, parsed, _ = scan()
    assert parsed == ["a.py"] and got == fresh(vx, scan)
    assert "(6, 'total', '=', '7')" in got[0][0]
    # Renamed, and a new file.
    (scan.project / "b.py").rename(scan.project / "renamed.py")
    write(scan.project, {"new.py": "items = [2]\n"})
    got, parsed, _ = scan()
    assert parsed == ["new.py", "renamed.py"] and got == fresh(vx, scan)
    assert not any("b.py" in f for f in got[1])


def test_other_watch_options_do_not_read_the_records_of_these(vx, scan, monkeypatch):
    write(scan.project, {"a.py": A, "b.py": B})
    scan()
    monkeypatch.setattr(vx, "trace_var_list", ["item"])
    got, parsed, _ = scan()
    assert parsed == ["a.py", "b.py"] and got == fresh(vx, scan)
    assert "'item'" in got[0][0]
    monkeypatch.setattr(vx, "trace_classname_list", [["Cart", ["$item.total"], ["other"]]])
    assert scan()[1] == ["a.py", "b.py"]


def test_a_cache_that_cannot_be_read_or_written_is_said_once_and_the_scan_goes_on(vx, scan):
    write(scan.project, {"a.py": A})
    expected = fresh(vx, scan)
    scan()
    [cached] = (scan.cache / "vardex").iterdir()
    cached.write_bytes(b"not a cache")
    got, parsed, said = scan()
    assert (got, parsed) == (expected, ["a.py"])
    assert said.count("vardex: the scan cache") == 1 and str(cached) in said
    # Written again, it serves the next scan.
    assert scan()[1] == []
    # A cache folder that cannot be made: a file stands in its way.
    cached.parent.rename(scan.cache / "moved")
    (scan.cache / "vardex").write_text("a file")
    got, parsed, said = scan()
    assert (got, parsed) == (expected, ["a.py"])
    assert said.count("vardex: the scan cache") == 1 and said.endswith("the project is scanned without it\n")


def test_the_cache_folder_keeps_the_most_recently_used_files_only(vx, scan, monkeypatch):
    folder = scan.cache / "vardex"
    folder.mkdir(parents=True)
    old = 1_000_000_000
    # 70 files of other watches, the oldest first; a used one of them is
    # refreshed when it is read.
    for i in range(70):
        f = folder / f"scan-{i:016x}.marshal"
        f.write_bytes(b"")
        os.utime(f, (old + i, old + i))
    write(scan.project, {"a.py": A})
    scan()
    [ours] = [p for p in folder.iterdir() if p.stat().st_mtime > old + 1000]
    os.utime(ours, (old - 5, old - 5))
    stale = folder / "scan-0123456789abcdef.marshal.99.tmp"
    stale.write_bytes(b"")
    os.utime(stale, (old, old))
    fresh_tmp = folder / "scan-fedcba9876543210.marshal.98.tmp"
    fresh_tmp.write_bytes(b"")
    other = folder / "notes.txt"
    other.write_text("mine")
    os.utime(other, (old, old))
    # A name that is no text in UTF-8 is not one of the cache's either.
    odd = os.path.join(os.fsencode(folder), b"scan-\xff.marshal")
    open(odd, "wb").close()
    scan()  # read, not written: its time is refreshed
    assert ours.stat().st_mtime > old + 1000
    # Another watch writes a new file: the oldest beyond 64 go.
    monkeypatch.setattr(vx, "trace_var_list", ["item"])
    scan()
    left = sorted(p.name for p in folder.iterdir())
    kept = [n for n in left if n.endswith(".marshal")]
    assert len(kept) == 64 and ours.name in kept
    assert f"scan-{0:016x}.marshal" not in kept and f"scan-{69:016x}.marshal" in kept
    assert stale.name not in left and fresh_tmp.name in left and other.name in left
    assert os.path.exists(odd) and scan()[2] == ""


def test_no_cache_on_the_command_line_scans_afresh_and_keeps_nothing(child, tmp_path):
    cache = tmp_path / "cache"
    write(child.cwd, {"main.py": "x = 1\nprint(x)\n"})
    env = {"XDG_CACHE_HOME": str(cache)}
    proc = child.run(RUN, "main.py", "--var", "x", "--print", "0", "--no-cache", env=env)
    assert proc.stdout == "1\n" and not cache.exists()
    proc = child.run(RUN, "main.py", "--var", "x", "--print", "0", env=env)
    assert proc.stdout == "1\n" and len(os.listdir(cache / "vardex")) == 1


def test_the_traced_child_imports_only_what_its_run_needs(child):
    program = "import sys\nx = 1\nprint(sorted(sys.modules))\n"
    write(child.cwd, {"main.py": program})
    plain = set(eval(child.run("import runpy; runpy.run_path('main.py')").stdout))
    # The second run reads the scan from the cache.
    for _ in range(2):
        traced = set(eval(child.run(RUN, "main.py", "--var", "x", "--print", "0").stdout))
    extra = traced - plain
    # vardex itself, the preamble's threading, the bytecode tables of the
    # watched code and the reading of its source lines; no window, no parser.
    assert {"vardex", "threading"} <= extra
    for unused in ("tkinter", "ast", "inspect", "subprocess", "tempfile", "json", "argparse", "copy", "pathlib"):
        assert unused not in extra, unused
