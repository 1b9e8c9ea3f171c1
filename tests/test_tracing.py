"""Traced runs end to end: the headless command line starts the real child."""
import threading

import pytest

from traced_runs import RUN, changed3, reports, traced, write

# Every traced run here is checked under both engines.
BOTH_ENGINES = True


TABLE = """
x = [3, 1]
x.append(2)
x.extend([5])
x.insert(0, 9)
x.remove(9)
x.pop()
x.pop(0)
x.sort()
x.reverse()
del x[0]
x[0] = 7
x.clear()
d = {}
d.setdefault("k", 1)
d.update({"j": 2})
n = 2
n += 3
n *= 2
n -= 4
n /= 2
n = len(x)
print("done", x, d, n)
"""

EXPECTED_TABLE = [
    (1, "x = [3, 1]", "x", None, [3, 1]),
    (2, "x.append(2)", "x", [3, 1], [3, 1, 2]),
    (3, "x.extend([5])", "x", [3, 1, 2], [3, 1, 2, 5]),
    (4, "x.insert(0, 9)", "x", [3, 1, 2, 5], [9, 3, 1, 2, 5]),
    (5, "x.remove(9)", "x", [9, 3, 1, 2, 5], [3, 1, 2, 5]),
    (6, "x.pop()", "x", [3, 1, 2, 5], [3, 1, 2]),
    (7, "x.pop(0)", "x", [3, 1, 2], [1, 2]),
    (8, "x.sort()", "x", [1, 2], [1, 2]),
    (9, "x.reverse()", "x", [1, 2], [2, 1]),
    (10, "del x[0]", "x", [2, 1], [1]),
    (11, "x[0] = 7", "x", [1], [7]),
    (12, "x.clear()", "x", [7], []),
    (13, "d = {}", "d", None, {}),
    (14, 'd.setdefault("k", 1)', "d", {}, {"k": 1}),
    (15, 'd.update({"j": 2})', "d", {"k": 1}, {"k": 1, "j": 2}),
    (16, "n = 2", "n", None, 2),
    (17, "n += 3", "n", 2, 5),
    (18, "n *= 2", "n", 5, 10),
    (19, "n -= 4", "n", 10, 6),
    (20, "n /= 2", "n", 6, 3.0),
    (21, "n = len(x)", "n", 3.0, "Function Value"),
]


def test_every_operation_is_predicted_at_top_level_of_the_main_file(child):
    proc, result = traced(child, {"main.py": TABLE}, "--var", "x,d", "--list", "n", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "done [] {'k': 1, 'j': 2} 0\n"
    main = str(child.cwd / "main.py")
    assert reports(result) == [changed3(main, *row) for row in EXPECTED_TABLE]
    # Top-level frames have no caller: each report is its header and its line.
    assert result.splitlines()[:2] == ["-----------------<x>:", reports(result)[0]]


def test_unknown_operation_and_failing_prediction_in_another_file(child):
    files = {
        "util.py": """
            def work(items):
                items.count(1)
                items.remove(99)
                return items
            """,
        "main.py": """
            from util import work
            work([1, 2])
            """,
    }
    proc, result = traced(child, files, "--var", "items", "--print", "0")
    util, main = child.cwd / "util.py", child.cwd / "main.py"
    assert proc.returncode == 1  # the program's own ValueError
    assert "err when predict variable_copy: list.remove(x): x not in list\n" in proc.stderr
    assert result.splitlines() == [
        "-----------------<items>:",
        f"\u2193-----------------{main} line 2:work([1, 2]) CALLED:",
        changed3(util, 2, "items.count(1)", "items", [1, 2], "unknown"),
        "-----------------<items>:",
        f"\u2193-----------------{main} line 2:work([1, 2]) CALLED:",
        changed3(util, 3, "items.remove(99)", "items", [1, 2], "unknown 2"),
    ]


def test_one_line_loop_is_reported_at_every_pass(child):
    files = {"main.py": """
        total = 0
        while total < 3: total += 1
        total = 10
        """}
    _, result = traced(child, files, "--var", "total", "--print", "0")
    main = child.cwd / "main.py"
    loop = "while total < 3: total += 1"
    assert reports(result) == [
        changed3(main, 1, "total = 0", "total", None, 0),
        changed3(main, 2, loop, "total", 0, 1),
        changed3(main, 2, loop, "total", 1, 2),
        changed3(main, 2, loop, "total", 2, 3),
        changed3(main, 3, "total = 10", "total", 3, 10),
    ]


def test_change_inside_a_thread_is_reported(child):
    files = {"main.py": """
        import threading
        def job():
            count = 0
            count += 1
        t = threading.Thread(target=job)
        t.start()
        t.join()
        """}
    _, result = traced(child, files, "--var", "count", "--print", "0")
    main = child.cwd / "main.py"
    assert reports(result) == [
        changed3(main, 3, "count = 0", "count", None, 0),
        changed3(main, 4, "count += 1", "count", 0, 1),
    ]


SHORT = "-\u2193--------main.py line 1:v = 1 Variable:v\uff0cfrom None to 1\n"


@pytest.mark.parametrize("mode, expected", [
    (["--print", "0"], ""),
    (["--print", "1"], "-----------------<v>:\n{report}\n"),
    (["--print", "3"], SHORT),
    ([], SHORT),
])
def test_print_mode_echoes_reports_on_stderr_leaving_stdout_to_the_program(child, mode, expected):
    proc, result = traced(child, {"main.py": "v = 1\nprint('end')\n"}, "--var", "v", *mode)
    report = reports(result)[0]
    assert proc.stdout == "end\n"
    assert proc.stderr == expected.format(report=report) + f"vardex: results in {child.data_dir / 'trace_result.txt'}\n"
    assert result.splitlines() == ["-----------------<v>:", report]


def test_stop_line_of_the_main_file_ends_tracing(child):
    files = {"main.py": "x = 1\nx = 2\nx = 3\nprint(x)\n"}
    proc, result = traced(child, files, "--var", "x", "--stop", "main.py:2", "--print", "0")
    assert proc.stdout == "3\n"
    assert proc.stderr.startswith("Trace_stop At: <string> 21\n")
    assert reports(result) == [changed3(child.cwd / "main.py", 1, "x = 1", "x", None, 1)]


def test_stop_line_in_a_file_without_watched_names(child):
    files = {
        "helper.py": "def f():\n    a = 1\n    return a\n",
        "main.py": "from helper import f\nx = 1\nf()\nx = 2\n",
    }
    proc, result = traced(child, files, "--var", "x", "--stop", "helper.py:2", "--print", "0")
    assert proc.stderr.startswith(f"Trace_stop At: {child.cwd / 'helper.py'} 2\n")
    assert reports(result) == [changed3(child.cwd / "main.py", 2, "x = 1", "x", None, 1)]


def test_stop_line_is_honoured_when_only_classes_are_watched(child):
    files = {"main.py": "class Foo: pass\ny = 1\ny = 2\n"}
    proc, _ = traced(child, files, "--class", "Foo", "--stop", "main.py:3")
    assert proc.stderr.startswith("Trace_stop At: <string> 22\n")


POLLED = """
import vardex
class Box:
    def __init__(self):
        self._v = 1
    @property
    def v(self):
        return self._v
def touch():
    pass
b = Box()
b._only_property_attrs_trace_list = [["v", ""]]
vardex.items_has_to_watch_yourself[b] = ["<watcher>"]
touch()
touch()
b._v = 5
touch()
b._v = 7
print(b)
"""


def test_property_only_attributes_are_polled_at_call_events(child):
    proc, result = traced(child, {"main.py": POLLED}, "--class", "Box", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    box = proc.stdout.strip()
    main = child.cwd / "main.py"
    expected = [
        (main, "<module>", "None", "[[1]]"),
        (main, "<module>", "[[1]]", "[[5]]"),
        # Interpreter exit calls threading._shutdown with no Python caller:
        # the report is placed at the called function.
        (threading.__file__, "_shutdown", "[[5]]", "[[7]]"),
    ]
    # The class is captured as well, at its first instance.
    assert reports(result) == [f"-\u2193--------Class Created9-Box in {main} line 10:b = Box()"] + [
        f"-\u2193--------VALUE CHANGED4 in {f} Function\uff1a{fn}\uff0c-{box}.v changed/together with "
        f" from {before} to {after}" for f, fn, before, after in expected]
    assert "-----------------<watcher>:" in result.splitlines()


def test_a_poll_report_names_the_property_that_changed(child):
    files = {"main.py": POLLED.replace('[["v", ""]]', '[["v", ""], ["w", ""]]').replace(
        "        return self._v\n", "        return self._v\n    @property\n    def w(self):\n        return 0\n")}
    proc, result = traced(child, files, "--class", "Box", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    polled = [r.split(">.", 1)[1] for r in reports(result) if "VALUE CHANGED4" in r]
    # The first poll names the last property, as every poll did before.
    assert polled == ["w changed/together with  from None to [[1], [0]]",
                      "v changed/together with  from [[1], [0]] to [[5], [0]]",
                      "v changed/together with  from [[5], [0]] to [[7], [0]]"]


def test_paths_with_quotes_and_backslashes_reach_the_child_intact(child):
    project = child.cwd / 'odd "dir" \\n'
    project.mkdir()
    write(project, {"main.py": "w = 1\n"})
    child.cwd = project
    proc, result = traced(child, {}, "--var", "w", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert reports(result) == [changed3(project / "main.py", 1, "w = 1", "w", None, 1)]


PREAMBLE = """
import subprocess, sys, vardex
captured = {}
class FakePopen:
    def __init__(self, cmd, **kwargs):
        captured["cmd"], captured["kwargs"] = cmd, kwargs
vardex.subprocess = type(sys)("fake_subprocess")
vardex.subprocess.Popen = FakePopen
vardex.folder_path = "/p"
vardex.project_main_file = sys.argv[1]
vardex.trace_var_list = ["a", "b"]
vardex.trace_stop_list = [["/p/main.py", 12]]
vardex.print_directly = 1
vardex.run_python_project()
cmd = captured["cmd"]
assert cmd[:3] == [sys.executable, "-u", "-c"], cmd
print(cmd[3], end="")
print("KW", sorted(captured["kwargs"]), vardex.add_lines_lens)
"""


def test_preamble_has_nineteen_lines_before_the_main_file(child):
    main = child.cwd / "main.py"
    main.write_text("print('user code')\n", encoding="utf-8")
    proc = child.run(PREAMBLE, str(main))
    folder = child.module_dir
    lines = proc.stdout.split("\n")
    assert lines[:19] == [
        "",
        "import sys",
        "import threading",
        f"sys.path.insert(0, r'{folder}')",
        "import vardex",
        "vardex.trace_classname_list=[['Canvas_row', ['$item.x']], ['new_canvas_row', "
        "['$item.x', '$item.y']], ['row1', ['$item.x', '$item.y']]]",
        "vardex.trace_var_list=['a', 'b']",
        "vardex.trace_list_list=[]",
        f'vardex.project_main_file="{main}"',
        'vardex.folder_path="/p"',
        "vardex.add_lines_lens=18",
        "vardex.trace_stop_list=[['/p/main.py', 12]]",
        "vardex.print_directly=1",
        "sys.settrace(vardex.trace_fun_class_or_var); "
        "sys._getframe().f_trace = vardex.trace_fun_class_or_var",
        "original_run = threading.Thread.run",
        "def traced_run(*args, **kwargs):",
        "    sys.settrace(vardex.trace_fun_class_or_var)",
        "    original_run(*args, **kwargs)",
        "threading.Thread.run = traced_run; vardex.observe_values=0; vardex.N=1000; "
        f"vardex.run_main_file(r'{child.data_dir / 'trace_result.txt'}')",
    ]
    # The main file is read by the child: the command holds the preamble only.
    # The child starts in the data folder and is told the working directory.
    assert lines[19] == "KW ['cwd', 'env', 'pass_fds', 'preexec_fn', 'stderr', 'stdout', 'text'] 18"


def test_traced_program_keeps_its_output_and_exit_status(child):
    files = {"main.py": """
        import sys
        total = 0
        for i in range(4):
            total += i
        print("total", total)
        sys.exit(3)
        """}
    write(child.cwd, files)
    plain = child.run("import runpy; runpy.run_path('main.py', run_name='__main__')", check=False)
    proc, result = traced(child, {}, "--var", "total", "--print", "0")
    assert (proc.stdout, proc.returncode) == (plain.stdout, plain.returncode) == ("total 6\n", 3)
    assert len(reports(result)) == 5
    assert proc.stderr.endswith(f"vardex: results in {child.data_dir / 'trace_result.txt'}\n")


def test_sys_gettrace_inside_the_child_names_the_trace_function_or_nothing(child, engine):
    # Under sys.monitoring the program sees no trace function, as untraced.
    files = {"main.py": "import sys, vardex\nprint(sys.gettrace() is vardex.trace_fun_class_or_var, sys.gettrace())\n"}
    proc, _ = traced(child, files, "--var", "zz", "--print", "0")
    assert proc.stdout == ("True <built-in function trace_fun_class_or_var>\n" if engine == "settrace"
                           else "False None\n")


class TestCommandLine:
    def test_help_documents_every_option_with_examples(self, child):
        proc = child.run(RUN, "--help")
        for option in ("--var", "--list", "--class", "--stop", "--print", "--show", "examples:"):
            assert option in proc.stdout

    @pytest.mark.parametrize("args, named", [
        (["main.py", "--class", "A:b:c:d:e"], "A:b:c:d:e"),
        (["main.py", "--class", "no good"], "no good"),
        (["main.py", "--var", "x", "--stop", "main.py:x"], "main.py:x"),
        (["missing.py", "--var", "x"], "missing.py"),
        (["--var", "x"], "main file"),
        (["--print", "1"], "main file"),
        (["main.py", "--stop", "main.py:1"], "nothing to watch"),
        ([".", "--var", "x"], "is not a file"),
    ])
    def test_bad_values_exit_2_without_starting_anything(self, child, args, named):
        write(child.cwd, {"main.py": "x = 1\n"})
        result_file = child.data_dir / "trace_result.txt"
        child.run("import vardex")
        result_file.write_text("earlier run\n", encoding="utf-8")
        proc = child.run(RUN, *args, check=False)
        assert proc.returncode == 2
        assert proc.stdout == ""
        assert len(proc.stderr.splitlines()) == 1 and named in proc.stderr
        assert result_file.read_text(encoding="utf-8") == "earlier run\n"

    def test_show_without_main_file_prints_the_last_results(self, child):
        _, result = traced(child, {"main.py": "q = 1\nq = 2\n"}, "--var", "q", "--print", "0")
        shown = child.run(RUN, "--show", "time")
        assert (shown.stdout, shown.returncode) == (result, 0)
        grouped = child.run(RUN, "--show", "instances").stdout.splitlines()
        assert grouped[0] == "\u00a5\u00a5\u00a5\u00a5\u00a5\u00a5Target No.1:"
        assert grouped[1:] == [line.strip() for line in result.splitlines()] + [""]

    def test_options_build_the_entries_the_window_would(self, child):
        files = {"main.py": "import vardex as v\n"
                            "print(v.trace_classname_list, v.trace_stop_list, v.trace_var_list, v.trace_list_list)\n"
                            "a = 1\nb = 2\nc = 3\nd = 4\ne = 5\n"}
        proc, _ = traced(child, files, "--class", "Cart:total, n:items:cart  c2",
                         "--stop", "main.py:5, 7", "--var", "a", "--var", "b\uff0cc", "--list", "d e",
                         "--print", "0")
        # Stop entries of the main file arrive rewritten to the child's numbering.
        assert proc.stdout == (
            "[['Cart', ['$item.total', '$item.n', '$item.items$List'], ['cart', 'c2']]] "
            "[['<string>', 24], ['<string>', 26]] ['a', 'b', 'c'] ['d', 'e']\n")

    def test_show_after_a_run_prints_the_result_file(self, child):
        proc, result = traced(child, {"main.py": "q = 1\nprint('ran')\n"}, "--var", "q", "--print", "0",
                              "--show", "time")
        assert proc.stdout == "ran\n" + result


UNTRACED = """
import sys, vardex
vardex.project_main_file = sys.argv[1]
vardex.folder_path = sys.argv[2]
vardex.trace_classname_list = []
vardex.trace_result_file_path.write_text("earlier\\n", encoding="utf-8")
vardex.run_python_project()
print("not reached")
"""


@pytest.mark.parametrize("folder, message, result", [
    ("", "No folder_path, run without trace now.", "earlier\n"),
    (".", "No trace info selected, run without trace now.", ""),
])
def test_runner_replaces_itself_by_an_untraced_run(child, folder, message, result):
    main = child.cwd / "main.py"
    main.write_text("import sys\nprint('plain', sys.gettrace())\n", encoding="utf-8")
    proc = child.run(UNTRACED, str(main), folder)
    assert proc.stdout == "plain None\n"
    assert proc.stderr == f"{message}\n"
    assert (child.data_dir / "trace_result.txt").read_text(encoding="utf-8") == result


def test_windows_preamble_uses_raw_strings_for_the_paths(child):
    main = child.cwd / "main.py"
    main.write_text("pass\n", encoding="utf-8")
    code = PREAMBLE.replace(
        'vardex.folder_path = "/p"',
        'import os, types; vardex.os = types.SimpleNamespace(name="nt", path=os.path, fspath=os.fspath, '
        'getcwd=os.getcwd, environ=os.environ)\n'
        'vardex.folder_path = "C:\\\\p\\\\proj"')
    proc = child.run(code, str(main))
    lines = proc.stdout.split("\n")
    assert lines[8:10] == [f'vardex.project_main_file=r"{main}"', 'vardex.folder_path=r"C:\\p\\proj"']
    # "C:\\p\\proj" is no absolute path to this system's os.path: the child
    # starts in the working directory, as every relative path needs.
    assert lines[19] == "KW ['stderr', 'stdout', 'text'] 18"


def test_frames_of_unwatched_files_keep_the_trace_function(child, engine):
    if engine != "settrace":
        pytest.skip("frames have no trace function under sys.monitoring")
    files = {
        "other.py": "import sys\ndef probe():\n    return sys._getframe().f_trace\n",
        "main.py": "import other, sys, vardex\nx = 1\nprint(other.probe() is vardex.trace_fun_class_or_var)\n",
    }
    proc, _ = traced(child, files, "--var", "x", "--print", "0")
    assert proc.stdout == "True\n"
