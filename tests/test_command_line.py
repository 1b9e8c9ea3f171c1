"""The command-line entry `main`."""
import os

import pytest

# Runs main() with the given arguments; open_gui is replaced by a stand-in
# that shows the two globals main has set.
RUN_MAIN = """
import sys, vardex
def fake_gui():
    print("GUI", vardex.project_main_file, vardex.folder_path)
vardex.open_gui = fake_gui
sys.argv = ["vardex"] + sys.argv[1:]
print("returned", vardex.main())
"""


@pytest.mark.parametrize("args", [[], [""]])
def test_missing_argument_prints_usage_and_exits_1(child, args):
    proc = child.run(RUN_MAIN, *args, check=False)
    assert (proc.returncode, proc.stdout) == (1, "Usage: vardex main.py\n")


def test_file_that_does_not_exist_exits_1(child):
    proc = child.run(RUN_MAIN, "missing.py", check=False)
    assert proc.returncode == 1
    assert proc.stdout == "Error: File 'missing.py' does not exist.\n"


def test_help_shows_file_argument_and_exits_0(child):
    proc = child.run(RUN_MAIN, "--help", check=False)
    assert proc.returncode == 0
    assert "Path to the Python file to run" in proc.stdout
    assert "file" in proc.stdout.splitlines()[0]


@pytest.mark.parametrize("args", [["--bogus"], ["a.py", "b.py"]])
def test_malformed_command_line_exits_2(child, args):
    proc = child.run(RUN_MAIN, *args, check=False)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert "error:" in proc.stderr


def test_relative_path_is_made_absolute_and_folder_is_working_directory(child):
    (child.cwd / "sub").mkdir()
    (child.cwd / "sub" / "main.py").write_text("print('hi')\n")
    proc = child.run(RUN_MAIN, "sub/main.py")
    main_file = os.path.join(str(child.cwd), "sub", "main.py")
    assert proc.stdout == f"GUI {main_file} {child.cwd}\nreturned None\n"


def test_folder_path_is_set_before_the_argument_is_checked(child):
    probe = child.run("""
        import sys, vardex
        sys.argv = ["vardex"]
        try:
            vardex.main()
        except SystemExit as e:
            print(e.code, vardex.folder_path, repr(vardex.project_main_file))
        """)
    assert probe.stdout == f"Usage: vardex main.py\n1 {child.cwd} ''\n"
