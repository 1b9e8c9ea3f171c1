"""The command-line entry `main`."""
import os

import pytest

# Runs main() with the given arguments; the module's open_gui is replaced by
# a stand-in that shows the two globals main has set.
RUN_MAIN = """
import sys, vardex
vardex.open_gui = lambda: print("GUI", vardex.project_main_file, vardex.folder_path)
sys.argv = ["vardex"] + sys.argv[1:]
try:
    print("returned", vardex.main())
finally:
    print("folder", vardex.folder_path, repr(vardex.project_main_file))
"""


@pytest.mark.parametrize("args, code, out", [
    ([], 1, "Usage: vardex main.py\n"),
    ([""], 1, "Usage: vardex main.py\n"),
    (["missing.py"], 1, "Error: File 'missing.py' does not exist.\n"),
])
def test_bad_file_argument_exits_1_after_setting_folder(child, args, code, out):
    proc = child.run(RUN_MAIN, *args, check=False)
    assert (proc.returncode, proc.stdout) == (code, f"{out}folder {child.cwd} ''\n")


@pytest.mark.parametrize("args", [["--bogus"], ["a.py", "b.py"]])
def test_malformed_command_line_exits_2(child, args):
    proc = child.run(RUN_MAIN, *args, check=False)
    assert proc.returncode == 2 and "error:" in proc.stderr


def test_help_shows_file_argument_and_exits_0(child):
    proc = child.run(RUN_MAIN, "--help", check=False)
    assert proc.returncode == 0
    assert "Path to the Python file to run" in proc.stdout


def test_relative_path_is_made_absolute_and_folder_is_working_directory(child):
    (child.cwd / "sub").mkdir()
    (child.cwd / "sub" / "main.py").write_text("print('hi')\n")
    proc = child.run(RUN_MAIN, "sub/main.py")
    main_file = os.path.join(str(child.cwd), "sub", "main.py")
    assert proc.stdout == (f"GUI {main_file} {child.cwd}\nreturned None\n"
                           f"folder {child.cwd} {main_file!r}\n")
