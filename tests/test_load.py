"""Loading the module: globals, data folder, settings files."""
import os


def test_first_load_creates_result_and_mode_files_only(child):
    child.run("import vardex")
    assert sorted(os.listdir(child.data_dir)) == ["simple_mode.txt", "trace_result.txt"]
    assert (child.data_dir / "trace_result.txt").read_bytes() == b""
