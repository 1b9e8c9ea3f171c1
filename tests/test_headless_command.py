"""The headless command line: what it refuses, where it scans, what it passes
on to the program, and how it ends with it."""
import os
import signal
import subprocess
import sys
import time

import pytest

from traced_runs import RUN, reports, traced, write

# Every traced run here is checked under both engines.
BOTH_ENGINES = True


def command(child, *args, **kwargs):
    return subprocess.Popen([sys.executable, "-c", RUN, *args], cwd=child.cwd, env=child.env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def wait_for(path, timeout=20):
    end = time.monotonic() + timeout
    while not path.exists():
        assert time.monotonic() < end, f"{path} did not appear"
        time.sleep(0.05)


def gone(pid, timeout=10):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("args, named", [
    (["--var", ""], "names nothing"),
    (["--list", " , "], "names nothing"),
    (["--var", "x;y"], "'x;y' is not a variable name"),
    (["--var", "1x"], "'1x' is not a variable name"),
    (["--list", "x[0]"], "'x[0]' is not a variable name"),
    (["--var", "class"], "'class' is not a variable name"),
    (["--var", "x", "--stop", "nowhere.py:3"], "file 'nowhere.py' does not exist"),
    (["--var", "x", "--stop", "main.py:2,abc"], "'abc' is not a line number"),
    (["--var", "x", "--stop", "main.py:0"], "'0' is not a line number"),
    (["--var", "x", "--project", "no_such_dir"], "is not a folder"),
    (["--var", "x", "--output", "no_such_dir/out.txt"], "does not exist"),
    (["--class", "Cart:1bad"], "'1bad' is not a name"),
    (["--var", "x", "--stop", "main.py:9"], "'main.py:9': line 9 is past the end of the file (4 lines)"),
    (["--var", "x", "--stop", "main.py:4,2"], "'main.py:4,2': line 2 holds no code"),
    (["--var", "x", "--stop", "main.py:3"], "'main.py:3': line 3 holds no code"),
    (["--var", "x", "--stop", "lines.py:2"], "'lines.py:2': line 2 holds no code"),
    (["--var", "x", "--stop", "lines.py:5"], "'lines.py:5': line 5 holds no code"),
    (["--var", "x", "--stop", "lines.py:9"], "'lines.py:9': line 9 holds no code"),
    (["--class", "for"], "bad --class value 'for'"),
    (["--var", "x", "--output", "main.py"], "holds something other than vardex results"),
    (["--var", "x", "--output", "lines.py"], "holds something other than vardex results"),
    (["--var", "x", "--output", "/dev/null"], "is not a regular file"),
    (["--var", "x", "--output", "main.py/out.txt"], "main.py' is not a folder"),
])
def test_bad_watch_values_are_refused_in_one_line_with_status_2(child, args, named):
    write(child.cwd, {"main.py": "x = 1\n\n   # a note\nprint('ran')\n",
                      "lines.py": '"""one\ntwo"""\nif x:\n    pass\nelse:\n    x = 1\ntry:\n    x = 2\nfinally:\n    x = 3\n'})
    child.run("import vardex")
    result_file = child.data_dir / "trace_result.txt"
    result_file.write_text("earlier run\n", encoding="utf-8")
    proc = child.run(RUN, "main.py", *args, check=False)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert len(proc.stderr.splitlines()) == 1 and named in proc.stderr, proc.stderr
    assert result_file.read_text(encoding="utf-8") == "earlier run\n"
    assert (child.cwd / "main.py").read_text(encoding="utf-8").startswith("x = 1\n")


def test_an_interpreter_that_fails_its_probe_is_said_in_one_line(child):
    write(child.cwd, {"main.py": "x = 1\n", "quiet.sh": "#!/bin/sh\nexit 3\n",
                      "noisy.sh": "#!/bin/sh\necho 'Traceback (most recent call last):' >&2\n"
                                  "echo '  File x' >&2\necho 'SyntaxError: invalid syntax' >&2\nexit 1\n"})
    for script, said in (("quiet.sh", "exit status 3"), ("noisy.sh", "SyntaxError: invalid syntax")):
        os.chmod(child.cwd / script, 0o755)
        proc = child.run(RUN, "main.py", "--var", "x", "--python", f"./{script}", check=False)
        assert proc.returncode == 2 and proc.stderr == f"vardex: error: --python './{script}' did not run: {said}\n"


def test_a_result_file_that_cannot_be_written_is_named_as_such(child):
    write(child.cwd, {"main.py": "x = 1\n"})
    proc = child.run(RUN, "main.py", "--var", "x", "--output", "/proc/no_results_here.txt", check=False)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.startswith("vardex: error: cannot write the result file /proc/no_results_here.txt: ")
    # An earlier result file, and an empty one, are written again.
    first = traced(child, {}, "--var", "x", "--print", "0", "--output", "mine.txt")[0]
    again = traced(child, {}, "--var", "x", "--print", "0", "--output", "mine.txt")[0]
    (child.cwd / "empty.txt").write_text("")
    empty = traced(child, {}, "--var", "x", "--print", "0", "--output", "empty.txt")[0]
    assert first.returncode == again.returncode == empty.returncode == 0
    assert "VALUE CHANGED3" in (child.cwd / "empty.txt").read_text(encoding="utf-8")


@pytest.mark.parametrize("closed", ["stdin", "stdout", "stderr"])
def test_a_command_started_without_a_standard_stream_runs_the_program_as_untraced(child, closed):
    write(child.cwd, {"main.py": """
        import os, sys
        x = 1
        print("stdin", sys.stdin is None, file=sys.stderr if sys.stdout is None else sys.stdout)
        try:
            os.write(2, b"to fd 2\\n")
        except OSError as e:
            os.write(1, b"fd 2 closed\\n")
        x = 2
        """})
    fd = {"stdin": 0, "stdout": 1, "stderr": 2}[closed]

    def run(argv):
        r, w = os.pipe()

        def close_it():
            os.close(fd)
        proc = subprocess.Popen(argv, cwd=child.cwd, env=child.env(), stdout=w if fd != 1 else None,
                                stderr=w if fd != 2 else None, stdin=subprocess.DEVNULL if fd else None,
                                preexec_fn=close_it, pass_fds=(w,))
        os.close(w)
        out = b""
        while chunk := os.read(r, 4096):
            out += chunk
        os.close(r)
        return proc.wait(timeout=60), b"".join(l for l in out.splitlines(keepends=True)
                                              if not l.startswith(b"vardex: "))

    plain = run([sys.executable, "main.py"])
    traced_run = run([sys.executable, "-c", RUN, "main.py", "--var", "x", "--print", "0", "--output", "r.txt"])
    assert traced_run == plain
    assert reports((child.cwd / "r.txt").read_text(encoding="utf-8"))[-1].endswith("from 1 to 2")


def test_a_stderr_nobody_reads_does_not_change_the_status(child):
    write(child.cwd, {"main.py": "import time\nx = 1\ntime.sleep(0.2)\nprint('done')\n"})
    script = f"{sys.executable} -c \"{RUN}\" main.py --var x --print 0 2>&1 >out.txt | true; echo ${{PIPESTATUS[0]}}"
    proc = subprocess.run(["bash", "-c", script], cwd=child.cwd, env=child.env(), capture_output=True, text=True,
                          timeout=60)
    assert proc.stdout == "0\n" and (child.cwd / "out.txt").read_text() == "done\n"


@pytest.mark.parametrize("predict", [False, True], ids=["observed", "predicted"])
def test_what_ran_before_a_stop_line_is_reported_first(child, predict):
    files = {"main.py": "x = 1\nprint('a')\nx = 2\ndef f():\n    y = 1\n    print('b')\n    y = 2\nf()\n"}
    for stop, expected in (("main.py:2", ["1:x = 1"]), ("main.py:6", ["1:x = 1", "3:x = 2", "5:y = 1"])):
        proc, result = traced(child, files, "--var", "x,y", "--stop", stop, "--print", "0", predict=predict)
        assert proc.returncode == 0 and proc.stdout == "a\nb\n", proc.stderr
        assert [r.split(" line ")[1].split(" Variable")[0] for r in reports(result)] == expected


def test_show_time_prints_the_result_file_as_it_is(child):
    write(child.cwd, {"main.py": "x = 'c\\rd'\n"})
    child.run(RUN, "main.py", "--var", "x", "--print", "0", "--output", "cr.txt")
    written = (child.cwd / "cr.txt").read_bytes()
    assert b"c\rd" in written
    shown = subprocess.run([sys.executable, "-c", RUN, "--show", "time", "--output", "cr.txt"], cwd=child.cwd,
                           env=child.env(), capture_output=True, timeout=60)
    assert shown.stdout == written


def test_names_are_read_as_python_reads_them(child):
    proc, result = traced(child, {"main.py": "\ufb01le = 1\nfile = 2\n"}, "--var", "\ufb01le", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert [r.split("Variable:")[1] for r in reports(result)] == ["file\uff0cfrom None to 1",
                                                                  "file\uff0cfrom 1 to 2"]


def test_help_says_what_each_option_does(child):
    text = " ".join(child.run(RUN, "--help").stdout.split())
    assert "given alone, without them, it is refused" in text
    for words in ("--project DIR", "--output FILE", "Arguments after -- are the program's own"):
        assert words in text


def test_arguments_after_double_dash_reach_the_program(child):
    proc, result = traced(child, {"main.py": "import sys\nn = len(sys.argv)\nprint(sys.argv[1:], __file__)\n"},
                          "--var", "n", "--print", "0", "--", "a b", "--var", "-x")
    assert proc.stdout == f"['a b', '--var', '-x'] {child.cwd / 'main.py'}\n"
    assert len(reports(result)) == 1


def test_scan_covers_the_main_files_folder_lib_packages_and_the_given_project(child, tmp_path):
    project = tmp_path / "elsewhere"
    write(project, {"main.py": """
        import sys
        sys.path.append(sys.argv[1])
        import lib.util, other
        """, "lib/__init__.py": "", "lib/util.py": "value = 1\n"})
    write(child.cwd, {"other.py": "value = 2\n"})
    main = str(project / "main.py")
    # started from another folder: the main file's own folder is the project
    proc, result = traced(child, {}, "--var", "value", "--print", "0", "--", str(child.cwd), main=main)
    assert proc.returncode == 0, proc.stderr
    assert [r.split(" line ")[0].rsplit("/", 1)[1] for r in reports(result)] == ["util.py"]
    proc, result = traced(child, {}, "--var", "value", "--print", "0", "--project", ".", "--", str(child.cwd),
                          main=main)
    assert [r.split(" line ")[0].rsplit("/", 1)[1] for r in reports(result)] == ["other.py"]


def test_project_files_imported_by_another_path_are_watched(child):
    write(child.cwd, {"real/lib.py": "y = 0\ndef f():\n    global y\n    y = 5\n",
                      "app/main.py": """
                          import os, sys
                          here = os.path.dirname(__file__)
                          sys.path.insert(0, os.path.join(here, "..", sys.argv[1]))
                          import lib
                          lib.f()
                          print(lib.y)
                          """})
    os.symlink("real", child.cwd / "link")
    for via in ("real", "link"):
        proc, result = traced(child, {}, "--var", "y", "--print", "0", "--project", ".", "--", via,
                              main="app/main.py")
        assert proc.returncode == 0 and proc.stdout == "5\n", proc.stderr
        assert [r.split(" line ")[1].split(" Variable")[0] for r in reports(result)] == ["1:y = 0", "4:y = 5"]
        assert all(f"app/../{via}/lib.py line" in r for r in reports(result))


def test_output_option_writes_the_run_elsewhere(child):
    child.run("import vardex")
    kept = child.data_dir / "trace_result.txt"
    kept.write_text("earlier run\n", encoding="utf-8")
    proc, _ = traced(child, {"main.py": "q = 1\n"}, "--var", "q", "--print", "0", "--output", "run1.txt",
                     "--show", "time")
    written = (child.cwd / "run1.txt").read_text(encoding="utf-8")
    assert proc.stdout == written and len(reports(written)) == 1
    assert proc.stderr.endswith(f"vardex: results in {child.cwd / 'run1.txt'}\n")
    assert kept.read_text(encoding="utf-8") == "earlier run\n"


SLOW = """
import os, sys, time
ticks = 0
open("started", "w").write(str(os.getpid()))
while not os.path.exists("release"):
    ticks += 1
    time.sleep(0.02)
"""


def test_a_second_run_is_refused_while_the_first_writes_the_result_file(child):
    write(child.cwd, {"main.py": SLOW, "quick.py": "q = 1\n"})
    first = command(child, "main.py", "--var", "ticks", "--print", "0")
    try:
        wait_for(child.cwd / "started")
        second = child.run(RUN, "quick.py", "--var", "q", "--print", "0", check=False)
        assert second.returncode == 2
        assert "another traced run is still writing" in second.stderr
        (child.cwd / "release").touch()
        assert first.wait(timeout=60) == 0
    finally:
        first.kill()
    result = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    assert reports(result) and all("main.py" in r for r in reports(result))
    assert child.run(RUN, "quick.py", "--var", "q", "--print", "0").returncode == 0


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_ending_the_command_ends_the_traced_program(child, signum):
    write(child.cwd, {"main.py": SLOW})
    proc = command(child, "main.py", "--var", "ticks", "--print", "0")
    try:
        wait_for(child.cwd / "started")
        program = int((child.cwd / "started").read_text())
        proc.send_signal(signum)
        # The program ends by the signal, and the command with it.
        assert proc.wait(timeout=30) == -signum
        assert gone(program)
    finally:
        proc.kill()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="parent-death signal is Linux's")
def test_a_killed_command_takes_the_traced_program_with_it(child):
    write(child.cwd, {"main.py": SLOW})
    proc = command(child, "main.py", "--var", "ticks", "--print", "0")
    try:
        wait_for(child.cwd / "started")
        program = int((child.cwd / "started").read_text())
        proc.kill()
        proc.wait(timeout=30)
        assert gone(program)
    finally:
        proc.kill()


def test_no_data_folder_anywhere_is_said_in_one_line(child, tmp_path):
    write(child.cwd, {"main.py": "x = 1\n"})
    (child.module_dir / "trace_data_for_vardex").write_text("a file, not a folder")
    blocker = tmp_path / "blocker"
    blocker.write_text("")
    env = {"XDG_DATA_HOME": str(blocker / "sub")}
    for args in (["main.py", "--var", "x"], ["main.py"]):
        proc = child.run(RUN, *args, env=env, check=False)
        assert proc.returncode == 1 and proc.stdout == ""
        assert len(proc.stderr.splitlines()) == 1, proc.stderr
        assert proc.stderr.startswith("vardex: error: cannot create the data folder")


def test_what_can_never_be_reported_is_said_and_the_run_goes_on(child):
    proc, result = traced(child, {"main.py": """
        class Cart:
            pass
        total = 1
        print(total)
        """}, "--var", "total,nosuchname", "--list", "nolist", "--class", "Wagon:load", "--class", "Cart:n",
        "--print", "0", predict=False)
    assert (proc.returncode, proc.stdout) == (0, "1\n")
    said = [line for line in proc.stderr.splitlines() if not line.startswith("vardex: results in")]
    assert said == ["vardex: no line of the project changes nosuchname",
                    "vardex: no line of the project changes nolist",
                    "vardex: no file of the project defines the class Wagon"]
    assert len(reports(result)) == 1


def test_version_and_unreadable_result_files_and_main_files(child, tmp_path):
    version = child.run(RUN, "--version")
    assert version.stdout == f"vardex {child.run('import vardex; print(vardex.__version__)').stdout}"
    missing = tmp_path / "nonexistent.txt"
    for view in ("time", "instances"):
        proc = child.run(RUN, "--show", view, "--output", str(missing), check=False)
        assert (proc.returncode, proc.stdout) == (2, "")
        assert len(proc.stderr.splitlines()) == 1 and str(missing) in proc.stderr, proc.stderr


def test_a_run_started_through_the_module_with_relative_paths_finds_them(child):
    write(child.cwd, {"main.py": "x = 1\nx = 2\n"})
    proc = child.run("""
        import vardex
        vardex.folder_path = "."
        vardex.project_main_file = "main.py"
        vardex.trace_var_list = ["x"]
        vardex.trace_classname_list = []
        vardex.print_directly = 0
        vardex.observe_values = 1
        vardex.run_python_project()
        import os, time
        path = vardex.trace_result_file_path
        for _ in range(600):
            if path.read_text(encoding="utf-8").count("VALUE CHANGED3") == 2:
                break
            time.sleep(0.05)
        print(path.read_text(encoding="utf-8").count("VALUE CHANGED3"))
        """)
    assert proc.stdout == "2\n", proc.stderr


def test_a_main_file_that_cannot_be_read_starts_no_child(child):
    # The runner opens the main file before it starts anything; the result
    # file is emptied first, as for every run.
    proc = child.run("""
        import subprocess, sys, vardex
        started = []
        subprocess.Popen = lambda *a, **k: started.append(a)
        vardex.folder_path = "."
        vardex.project_main_file = "no_such_main.py"
        vardex.trace_var_list = ["x"]
        vardex.trace_result_file_path.write_text("earlier run\\n", encoding="utf-8")
        try:
            vardex.run_python_project()
        except FileNotFoundError as e:
            print("FileNotFoundError", e.filename)
        print(started, repr(vardex.trace_result_file_path.read_text(encoding="utf-8")))
        """)
    assert proc.stdout == "FileNotFoundError no_such_main.py\n[] ''\n"
