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
    """(untraced, traced) runs of main.py; the traced one watches with `options`."""
    write(child.cwd, files)
    plain = subprocess.run([sys.executable, "main.py"], cwd=child.cwd, capture_output=True, text=True,
                           timeout=60, env=env)
    traced = child.run(RUN, "main.py", *(options or ("--var", "x")), "--print", "0", check=False, env=env)
    return plain, traced


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
    assert plain.returncode == -signal.SIGINT and traced.returncode == 128 + signal.SIGINT
    assert traced.stderr.startswith("Traceback (most recent call last):\n")
    assert "<string>" not in traced.stderr and traced.stdout == "at exit\n"


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
