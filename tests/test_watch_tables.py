import os

import pytest


class NtOs:
    """The os module as seen on Windows, for the separator rule."""
    name = "nt"

    def __getattr__(self, attr):
        return getattr(os, attr)


@pytest.fixture
def tables(vx, monkeypatch):
    for name, value in (("trace_stop_list", []), ("trace_stop_line_numbers", []),
                        ("stored_main_lines", []), ("trace_aim_info_list", []),
                        ("trace_aim_files", []), ("trace_line_numbers_combine", []),
                        ("trace_var_list", ["v"]), ("trace_list_list", ["l"]),
                        ("trace_lineno_list", [1]), ("trace_key", "k"), ("add_lines_lens", 18)):
        monkeypatch.setattr(vx, name, value)
    return vx


@pytest.mark.parametrize("osmod, other", [(os, "/p/u.py"), (NtOs(), "\\p\\u.py")])
def test_stop_lines_of_the_main_file_move_to_the_shifted_string_numbering(tables, monkeypatch, osmod, other):
    vx = tables
    main, rest = ["/p/m.py", 5], ["/p/u.py", 7]
    stops = [main, rest]
    monkeypatch.setattr(vx, "os", osmod)
    monkeypatch.setattr(vx, "project_main_file", "/p/m.py")
    monkeypatch.setattr(vx, "trace_stop_list", stops)
    assert vx.create_trace_stop_line_numbers() is None
    assert main == ["<string>", 24] and rest == ["/p/u.py", 7]  # changed in place
    assert vx.trace_stop_line_numbers == [24, 7]
    assert vx.trace_stop_list == [["<string>", 24], [other, 7]]
    assert (vx.trace_stop_list is stops) == (osmod is os)


def fake_scan(result):
    return lambda: result


@pytest.mark.parametrize("osmod, other", [(os, "/p/u.py"), (NtOs(), "\\p\\u.py")])
def test_generate_linenos_fills_tables_and_keeps_main_lines(tables, monkeypatch, tmp_path, osmod, other):
    vx = tables
    monkeypatch.setattr(vx, "os", osmod)
    main = tmp_path / "m.py"
    main.write_text("a = 1\nb = 2\n", encoding="utf-8")
    monkeypatch.setattr(vx, "project_main_file", str(main))
    monkeypatch.setattr(vx, "trace_stop_list", [[str(main), 2], ["/p/u.py", 7]])
    numbers = [3, 10]
    monkeypatch.setattr(vx, "read_in_folder", fake_scan(([["x.py", []]], ["x.py", "<string>"], numbers)))
    assert vx.generate_linenos() is None
    assert vx.trace_stop_line_numbers == [21, 7]
    assert vx.trace_stop_list == [["<string>", 21], [other, 7]]
    assert vx.trace_aim_info_list == [["x.py", []]] and vx.trace_aim_files == ["x.py", "<string>"]
    assert vx.trace_line_numbers_combine is numbers and numbers == [3, 10, 22, 29]
    assert vx.stored_main_lines == ["a = 1\n", "b = 2\n"]
    assert (vx.trace_var_list, vx.trace_list_list, vx.trace_key) == (["v"], ["l"], "k")


def test_generate_linenos_without_main_file_turns_variable_watching_off(tables, monkeypatch):
    vx = tables
    monkeypatch.setattr(vx, "project_main_file", "")
    kept = vx.stored_main_lines
    monkeypatch.setattr(vx, "read_in_folder", fake_scan(([], ["<string>"], [4])))
    vx.generate_linenos()
    assert vx.trace_line_numbers_combine == [4, 23]
    assert (vx.trace_var_list, vx.trace_list_list, vx.trace_lineno_list, vx.trace_key) == ([], [], [], "")
    assert vx.stored_main_lines is kept


@pytest.mark.parametrize("result, error", [(([], []), ValueError), (([], [], [], []), ValueError), (5, TypeError)])
def test_generate_linenos_rejects_a_scan_result_of_the_wrong_shape(tables, monkeypatch, result, error):
    monkeypatch.setattr(tables, "read_in_folder", fake_scan(result))
    with pytest.raises(error):
        tables.generate_linenos()


def test_generate_linenos_with_missing_main_file_raises(tables, monkeypatch, tmp_path):
    monkeypatch.setattr(tables, "project_main_file", str(tmp_path / "gone.py"))
    monkeypatch.setattr(tables, "read_in_folder", fake_scan(([], ["<string>"], [])))
    with pytest.raises(FileNotFoundError):
        tables.generate_linenos()


def test_generate_linenos_over_a_real_project(tables, monkeypatch, tmp_path):
    vx = tables
    main = tmp_path / "main.py"
    main.write_text("i = 0\n\ni += 1\n", encoding="utf-8")
    for name, value in (("folder_path", str(tmp_path)), ("project_main_file", str(main)),
                        ("trace_var_list", ["i"]), ("trace_list_list", []), ("trace_classname_list", []),
                        ("trace_stop_list", [[str(main), 3]])):
        monkeypatch.setattr(vx, name, value)
    vx.generate_linenos()
    assert vx.trace_aim_files == [str(main), "<string>"]
    assert sorted(vx.trace_line_numbers_combine) == [1, 3, 20, 22]
    assert vx.trace_stop_list == [["<string>", 22]] and vx.trace_stop_line_numbers == [22]
    assert vx.stored_main_lines == ["i = 0\n", "\n", "i += 1\n"]
