"""A traced program runs as `python main.py` runs it: the same file names and
line numbers in everything it prints about its own code, the same stack, the
same output and exit status. Each case runs untraced and traced, and the two
must agree byte for byte (stderr apart from vardex's own lines)."""
import os
import re
import signal
import subprocess
import sys

import pytest

from traced_runs import RUN, reports, write

# Every traced run here is checked under both engines.
BOTH_ENGINES = True


def own_lines(stderr):
    """stderr without vardex's own lines."""
    return "".join(line for line in stderr.splitlines(keepends=True) if not line.startswith("vardex: "))


def both(child, files, *options, env=None):
    """(untraced, traced) runs of main.py in the same environment; the traced
    one watches with `options`."""
    write(child.cwd, files)
    plain = subprocess.run([sys.executable, "main.py"], cwd=child.cwd, capture_output=True, text=True,
                           timeout=60, env=child.env(env))
    traced = child.run(RUN, "main.py", *(options or ("--var", "x")), "--print", "0", check=False, env=env)
    return plain, traced


def buffered_env(child):
    """The child's environment with the streams left to buffer as they do by default."""
    env = child.env()
    env.pop("PYTHONUNBUFFERED", None)
    return env


def status(code):
    """An exit status as a shell shows it."""
    return 128 - code if code < 0 else code


def assert_same(plain, traced):
    assert traced.stdout == plain.stdout
    assert own_lines(traced.stderr) == plain.stderr
    assert status(traced.returncode) == status(plain.returncode)


def test_an_uncaught_exception_through_two_files_names_them_as_python_does(child):
    plain, traced = both(child, {
        "main.py": """
            import helper
            x = 1
            def run():
                x = helper.parse("no number")
                return x
            run()
            """,
        "helper.py": """
            def parse(text):
                return int(text)
            """})
    assert_same(plain, traced)
    assert f'File "{child.cwd / "main.py"}", line 6, in <module>' in plain.stderr
    assert "<string>" not in traced.stderr


def test_warnings_logging_and_tracebacks_point_at_the_main_file(child):
    plain, traced = both(child, {"main.py": """
        import logging, sys, traceback, warnings
        logging.basicConfig(format="%(filename)s:%(lineno)d %(funcName)s %(message)s", stream=sys.stdout)
        x = 0
        def load():
            warnings.warn("old format")
            try:
                x = 1 / 0
            except ZeroDivisionError:
                logging.exception("caught")
                traceback.print_exc(file=sys.stdout)
            return traceback.extract_stack()
        for frame in load():
            print(frame.filename, frame.lineno, frame.name, frame.line)
        x = 2
        """})
    assert_same(plain, traced)
    main = str(child.cwd / "main.py")
    assert f"{main}:5: UserWarning: old format" in traced.stderr
    assert "main.py:9 load caught" in traced.stdout
    # The program's stack starts at its own module, as untraced.
    assert traced.stdout.splitlines()[-2:] == [f"{main} 12 <module> for frame in load():",
                                               f"{main} 11 load return traceback.extract_stack()"]


def test_the_main_files_code_and_source_are_its_own(child):
    plain, traced = both(child, {"main.py": """
        import inspect, sys
        def area(w, h):
            x = w * h
            return x
        print(area.__code__.co_filename, area.__code__.co_firstlineno)
        print(inspect.getsourcefile(area), inspect.getsourcelines(area)[1])
        print(inspect.getsource(area), end="")
        print(len(inspect.stack()), sys._getframe().f_back)
        x = area(2, 3)
        """})
    assert_same(plain, traced)
    assert traced.stdout.splitlines()[0] == f"{child.cwd / 'main.py'} 2"
    assert traced.stdout.splitlines()[-1] == "1 None"


def test_a_syntax_error_in_the_main_file_is_shown_as_python_shows_it(child):
    plain, traced = both(child, {"main.py": "x = 1\nx = = 1\n"})
    assert_same(plain, traced)
    assert traced.returncode == 1 and f'File "{child.cwd / "main.py"}", line 2' in traced.stderr


def test_an_interrupt_ends_the_program_as_python_ends_it(child):
    plain, traced = both(child, {"main.py": """
        import atexit, os, signal
        atexit.register(print, "at exit")
        x = 1
        def wait():
            os.kill(os.getpid(), signal.SIGINT)
            signal.pause()
        wait()
        """})
    assert_same(plain, traced)
    # Ended by the signal, as python is: not an exit status of 130.
    assert plain.returncode == traced.returncode == -signal.SIGINT
    assert traced.stderr.startswith("Traceback (most recent call last):\n")
    assert "<string>" not in traced.stderr and traced.stdout == "at exit\n"
    assert traced.stderr.endswith("vardex: results in " + str(child.data_dir / "trace_result.txt") + "\n")


def test_a_program_killed_by_a_signal_ends_the_command_by_it(child):
    plain, traced = both(child, {"main.py": """
        import os, signal
        x = 1
        print("before", flush=True)
        os.kill(os.getpid(), signal.SIGTERM)
        """})
    assert_same(plain, traced)
    assert plain.returncode == traced.returncode == -signal.SIGTERM and traced.stdout == "before\n"


@pytest.mark.parametrize("end", ["raise ValueError('boom')", "import sys; sys.exit('final')"])
def test_buffered_output_comes_before_the_programs_last_words(child, end):
    write(child.cwd, {"main.py": f"x = 1\nprint('out1')\n{end}\n"})
    env = buffered_env(child)
    runs = []
    for argv in ([sys.executable, "main.py"], [sys.executable, "-c", RUN, "main.py", "--var", "x", "--print", "0"]):
        proc = subprocess.run(argv, cwd=child.cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=60)
        runs.append((own_lines(proc.stdout), proc.returncode))
    assert runs[1] == runs[0] and runs[0][0].startswith("out1\n") and runs[0][1] == 1


def test_the_programs_own_excepthook_gets_the_programs_traceback(child):
    plain, traced = both(child, {"main.py": """
        import sys, traceback
        def hook(kind, value, tb):
            print("hook", kind.__name__, [f.name for f in traceback.extract_tb(tb)],
                  value.__traceback__ is tb)
        sys.excepthook = hook
        x = 1
        def fail():
            raise ValueError(x)
        fail()
        """})
    assert_same(plain, traced)
    assert traced.stdout == "hook ValueError ['<module>', 'fail'] True\n"


def test_a_main_file_imported_as_a_module_is_reported_at_its_own_lines(child):
    write(child.cwd, {"main.py": """
        import sys
        x = 1
        if __name__ == "__main__":
            import main
            x = main.x + 1
            print(x)
        """})
    proc = child.run(RUN, "main.py", "--var", "x", "--print", "0", check=False)
    assert proc.stdout == "2\n", proc.stderr
    result = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    main = child.cwd / "main.py"
    assert [r.split(" in ", 1)[1] for r in reports(result)] == [
        f"{main} line 2:x = 1 Variable:x\uff0cfrom None to 1",
        f"{main} line 2:x = 1 Variable:x\uff0cfrom None to 1",
        f"{main} line 5:x = main.x + 1 Variable:x\uff0cfrom 1 to 2",
    ]
    # The module copy's caller is the main file's own import line.
    assert f"\u2193-----------------{main} line 4:import main CALLED:" in result


def test_the_import_path_is_the_programs_own(child):
    write(child.cwd, {"helper.py": "VALUE = 'from the working directory'\n"})
    plain, traced = both(child, {"app/main.py": """
        import sys
        x = 1
        print(sys.path)
        try:
            import helper
        except ImportError as e:
            print("ImportError", e.name)
        """, "main.py": "import runpy\nrunpy.run_path('app/main.py', run_name='__main__')\n"})
    # Run as `python app/main.py` from a folder holding helper.py.
    env = child.env()
    plain = subprocess.run([sys.executable, "app/main.py"], cwd=child.cwd, capture_output=True, text=True,
                           timeout=60, env=env)
    traced = child.run(RUN, "app/main.py", "--var", "x", "--print", "0", check=False)
    assert_same(plain, traced)
    assert traced.stdout.splitlines()[-1] == "ImportError helper"
    assert eval(traced.stdout.splitlines()[0])[0] == str(child.cwd / "app")


def test_project_modules_named_as_standard_ones_do_not_stand_in_for_vardex_s(child):
    # Untraced, nothing imports them; the program sees its working directory.
    write(child.cwd, {
        "main.py": "import os\nx = 1\nx = 2\nprint(x, os.getcwd())\n",
        "threading.py": "MINE = 1\n",
        "opcode.py": "raise SystemExit('imported the project opcode.py')\n"})
    plain = subprocess.run([sys.executable, "main.py"], cwd=child.cwd, capture_output=True, text=True,
                           timeout=60, env=child.env())
    # As the installed command runs: its own folder, not the working
    # directory, is first on its sys.path.
    traced = child.run("import sys; sys.path.remove(''); " + RUN, "main.py", "--var", "x", "--print", "0",
                       check=False)
    assert_same(plain, traced)
    assert traced.stdout == f"2 {child.cwd}\n" and traced.stderr.count("vardex: ") == 1
    assert len(reports((child.data_dir / "trace_result.txt").read_text(encoding="utf-8"))) == 2


def test_output_through_a_pipe_buffers_and_interleaves_as_untraced(child):
    write(child.cwd, {"main.py": """
        import sys
        x = 0
        for i in range(3):
            print("out", i)
            print("err", i, file=sys.stderr)
            x += 1
        """})
    env = buffered_env(child)
    runs = []
    for argv in ([sys.executable, "main.py"], [sys.executable, "-c", RUN, "main.py", "--var", "x", "--print", "0"]):
        runs.append(subprocess.run(argv, cwd=child.cwd, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True, timeout=60).stdout)
    plain, traced = runs
    # stdout is block-buffered through a pipe: it comes out at the end.
    assert plain.startswith("err 0\nerr 1\nerr 2\nout 0")
    assert own_lines(traced) == plain
    # -u given to vardex's interpreter reaches the program.
    unbuffered = subprocess.run([sys.executable, "-u", "-c", RUN, "main.py", "--var", "x", "--print", "0"],
                                cwd=child.cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=60).stdout
    assert own_lines(unbuffered).startswith("out 0\nerr 0\nout 1\n")


TERMINAL_PROGRAM = """
import os, sys, time
x = 1
with open("/dev/tty", "w") as tty:
    tty.write("to the terminal\\n")
print("size", tuple(os.get_terminal_size()), "isatty", os.isatty(0), os.isatty(1))
print("foreground", os.tcgetpgrp(0) == os.getpgrp())
try:
    print("ready", flush=True)
    time.sleep(30)
except KeyboardInterrupt:
    print("interrupted")
    sys.exit(3)
"""


def on_a_terminal(argv, cwd, env, interrupt):
    """Runs argv as the only job of a pseudo-terminal of 100x30; Ctrl-C is
    typed once the program says "ready". Returns (output, exit status)."""
    import fcntl, pty, struct, termios, time
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))

    def session():
        os.setsid()
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=slave, stdout=slave, stderr=slave,
                            preexec_fn=session, close_fds=True)
    os.close(slave)
    out = b""
    deadline = time.monotonic() + 60
    sent = False
    while time.monotonic() < deadline:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
        if interrupt and not sent and b"ready" in out:
            os.write(master, b"\x03")
            sent = True
    os.close(master)
    # The terminal's echo of Ctrl-C ("^C") races with the program's own
    # output: it is left out.
    return out.decode().replace("\r\n", "\n").replace("^C", ""), proc.wait(timeout=60)


@pytest.mark.parametrize("interrupt", [False, True], ids=["runs", "ctrl-c"])
def test_on_a_terminal_the_program_has_it_and_ctrl_c_reaches_it(child, interrupt):
    write(child.cwd, {"main.py": TERMINAL_PROGRAM if interrupt else TERMINAL_PROGRAM.replace("time.sleep(30)", "pass")})
    env = buffered_env(child)
    plain = on_a_terminal([sys.executable, "main.py"], child.cwd, env, interrupt)
    traced = on_a_terminal([sys.executable, "-c", RUN, "main.py", "--var", "x", "--print", "0"], child.cwd, env,
                           interrupt)
    assert own_lines(traced[0]) == plain[0]
    assert "to the terminal\nsize (100, 30) isatty True True\nforeground True\nready\n" in plain[0]
    assert traced[1] == plain[1] == (3 if interrupt else 0)
    assert ("interrupted" in traced[0]) == interrupt


def test_another_interpreter_runs_the_program_with_its_own_packages(child, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=120)
    site = next(venv.glob("lib/python*/site-packages"))
    (site / "only_in_venv.py").write_text("NAME = 'from the venv'\n", encoding="utf-8")
    write(child.cwd, {"main.py": """
        import sys
        import only_in_venv
        x = only_in_venv.NAME
        print(x, sys.prefix)
        """})
    python = str(venv / "bin" / "python")
    proc = child.run(RUN, "main.py", "--var", "x", "--print", "0", "--python", python, check=False)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"from the venv {venv}\n"
    result = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    assert reports(result)[0].endswith("Variable:x\uff0cfrom None to from the venv")
    # Without it, the program cannot import the package.
    assert child.run(RUN, "main.py", "--var", "x", "--print", "0", check=False).returncode == 1
    # An interpreter of another version or ABI is refused in one line.
    fake = tmp_path / "python3.99"
    fake.write_text("#!/bin/sh\necho cpython .cpython-399-x86_64-linux-gnu.so 3.99\n")
    fake.chmod(0o755)
    for given, said in ((str(fake), "is cpython 3.99 (.cpython-399-x86_64-linux-gnu.so)"),
                        (str(tmp_path / "missing"), "is not an interpreter that can be run")):
        proc = child.run(RUN, "main.py", "--var", "x", "--python", given, check=False)
        assert proc.returncode == 2 and proc.stdout == ""
        assert len(proc.stderr.splitlines()) == 1 and said in proc.stderr, proc.stderr


def test_class_capture_by_instance_name_in_the_main_file(child):
    plain, traced = both(child, {"main.py": """
        class Cart:
            def __init__(self):
                self.total = 0
        other = Cart()
        cart = Cart()
        cart.total = 5
        other.total = 7
        print(cart.total, other.total)
        """}, "--class", "Cart:total::cart")
    assert_same(plain, traced)
    result = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    main = child.cwd / "main.py"
    created = [r for r in reports(result) if "Class Created9-Cart" in r]
    assert created == [f"-\u2193--------Class Created9-Cart in {main} line 5:cart = Cart()"]
    assert any(f"VALUE CHANGED5 in {main} line 6:cart.total = 5" in r and "from [0] to [5]" in r
               for r in reports(result))
