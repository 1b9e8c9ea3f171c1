"""Caller blocks, report filing and the watch-string helpers."""
import importlib.util
import textwrap

import pytest

REPORT = ["-\u2193--------VALUE CHANGED0 in /home/u/proj/main.py line 3:x = 1", "x: 0 -> 1"]
JOINED = "\uff0c".join(REPORT)
SHORT = "-\u2193--------main.py line 3:x = 1\uff0cx: 0 -> 1"
BLOCK = ("-----------------<Row a>:\n"
         "\u2193-----------------/p/main.py line 4:run() CALLED:\n"
         "\u2193-----------------/p/lib.py line 10:self.x = 2 CALLED:\n")
NESTED = """\
import sys
def inner(ign=0):
    return vx.get_caller_details(sys._getframe(), ign)
def middle(ign=0):
    return inner(ign)
def outer(ign=0):
    return middle(ign)
def chain(n, ign=0):
    if n == 0:
        return vx.get_caller_details(start_frame=sys._getframe(), ign=ign)
    return chain(n - 1, ign)
"""


def result_text(vx):
    return vx.trace_result_file_path.read_text(encoding="utf-8")


def load_source(vx, folder, name, source):
    """Imports `source` from a real file, with the module copy bound as `vx`."""
    path = folder / f"{name}.py"
    path.write_text(textwrap.dedent(source), encoding="utf-8")
    loader_info = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(loader_info)
    mod.vx = vx
    loader_info.loader.exec_module(mod)
    return mod


@pytest.fixture
def nested(vx, tmp_path):
    return load_source(vx, tmp_path, "nested_src", NESTED)


class Row:
    def __str__(self):
        return "<Row a>"


@pytest.mark.parametrize("mode", [0, 1, 2, 3])
def test_caller_block_is_written_and_echoed_on_stderr_only_for_mode_1(vx, tool_err, monkeypatch, mode):
    monkeypatch.setattr(vx, "print_directly", mode)
    details = [["/p/main.py", 4, "run()"], ("/p/lib.py", 10, "self.x = 2")]
    assert vx.print_caller_details(Row(), details) is None
    vx.print_caller_details(instance="<x>", caller_details=[])
    assert result_text(vx) == BLOCK + "-----------------<x>:\n"
    assert tool_err() == (result_text(vx) if mode == 1 else "")


@pytest.mark.parametrize("mode, out", [(0, ""), (1, JOINED + "\n"), (2, ""), (3, SHORT + "\n")])
def test_report_is_written_and_echoed_on_stderr_by_mode(vx, tool_err, monkeypatch, mode, out):
    monkeypatch.setattr(vx, "print_directly", mode)
    vx.trace_result_file_path.write_text("earlier\n", encoding="utf-8")
    assert vx.combine_trace_info_list({}, "<x>", list(REPORT)) is None
    assert result_text(vx) == "earlier\n" + JOINED + "\n"
    assert tool_err() == out


def test_existing_user_is_extended_new_user_gets_the_list_itself(vx, monkeypatch):
    # Used directly (not as the traced child), every report stays in memory.
    monkeypatch.setattr(vx, "subprocess_flag", 0)
    first, report, user = ["a"], ["d"], Row()
    info = {"<x>": first}
    vx.combine_trace_info_list(info, "<x>", ["b", "c"])
    vx.combine_trace_info_list(dict=info, instance=user, trace_str_list=report)
    assert info["<x>"] is first and first == ["a", "b", "c"] and info[user] is report
    empty = {}
    vx.combine_trace_info_list(empty, "<y>", report)
    assert empty["<y>"] is report
    assert result_text(vx) == ""


def test_in_the_child_a_user_keeps_only_its_first_entry_in_memory(vx):
    first, report, user = ["a"], ["d"], Row()
    info = {"<x>": first}
    for _ in range(3):
        vx.combine_trace_info_list(info, "<x>", ["b", "c"])
    vx.combine_trace_info_list(dict=info, instance=user, trace_str_list=report)
    assert info["<x>"] is first and first == ["a"] and info[user] is report
    assert result_text(vx) == "b\uff0cc\n" * 3 + "d\n"


@pytest.mark.parametrize("instance", [None, "", 0])
def test_empty_dict_and_no_user_only_prints_the_list(vx, tool_err, monkeypatch, instance):
    monkeypatch.setattr(vx, "print_directly", 1)
    info = {}
    vx.combine_trace_info_list(info, instance, ["r1", "r2"], create_instance=object())
    assert tool_err() == "subprocess_trace_info ['r1', 'r2']\n"
    assert (result_text(vx), info, vx.watching_instances) == ("", {}, [])


@pytest.mark.parametrize("created, watching", [(None, []), (0, []), ("obj", ["obj"])])
def test_created_instance_is_registered_as_watching(vx, created, watching):
    vx.combine_trace_info_list({}, "<x>", ["r"], create_instance=created)
    assert vx.watching_instances == watching


@pytest.mark.parametrize("flag", [0, 2, "1"])
def test_outside_the_child_reports_are_only_filed(vx, tool_err, monkeypatch, flag):
    monkeypatch.setattr(vx, "subprocess_flag", flag)
    monkeypatch.setattr(vx, "print_directly", 1)
    info = {}
    vx.combine_trace_info_list(info, "<x>", ["r"])
    assert (info, result_text(vx), tool_err()) == ({"<x>": ["r"]}, "", "")


def test_globals_assigned_from_outside_reach_the_next_call(child):
    proc = child.run("""
        import vardex
        vardex.print_directly = 3
        vardex.trace_result_file_path = "res.txt"
        vardex.combine_trace_info_list({}, "<v>", ["-\u2193--------VALUE CHANGED3 in /a/m.py line 2:v"])
        vardex.print_directly = 1
        vardex.print_caller_details("<v>", [])
        print(open("res.txt", encoding="utf-8").read(), end="")
        """)
    assert proc.stderr == "-\u2193--------m.py line 2:v\n-----------------<v>:\n"
    assert proc.stdout == "-\u2193--------VALUE CHANGED3 in /a/m.py line 2:v\n-----------------<v>:\n"
    assert (child.data_dir / "trace_result.txt").read_text() == ""


@pytest.mark.parametrize("write", [
    lambda vx: vx.combine_trace_info_list({}, "<x>", ["ok", "\udc80"]),
    lambda vx: vx.print_caller_details("<\udc80>", []),
    lambda vx: vx.print_caller_details("<x>", [["f.py", 1, "\udc80"]]),
])
def test_text_that_utf8_cannot_hold_is_written_as_escapes(vx, write):
    write(vx)
    assert "\\udc80" in result_text(vx)


@pytest.mark.parametrize("detail, message", [(("f.py", 1), r"not enough values to unpack .expected 3, got 2"),
                                             (("f", 1, "a", "b"), r"too many values to unpack .expected 3")])
def test_caller_detail_that_is_not_a_triple_raises_after_header(vx, detail, message):
    with pytest.raises(ValueError, match=message):
        vx.print_caller_details("<x>", [detail])
    assert result_text(vx) == "-----------------<x>:\n"


def test_callers_outermost_first_with_source_lines(vx, nested):
    details = nested.outer()
    assert len(details) == 10 and details[-3][0] == __file__
    assert details[-2:] == [[nested.__file__, 7, "return middle(ign)"],
                            [nested.__file__, 5, "return inner(ign)"]]
    assert nested.outer(ign=1)[-1] == details[-2]
    assert nested.outer(ign=True)[-1] == details[-2]
    assert nested.outer(2)[-1][0] == __file__
    gen = (x for x in [])
    assert vx.get_caller_details(gen.gi_frame) == []


@pytest.mark.parametrize("ign, count", [(0, 10), (2, 8), (9, 1), (2**70, 0)])
def test_ignored_callers_count_toward_ten_levels(nested, ign, count):
    assert nested.chain(15, ign) == [[nested.__file__, 11, "return chain(n - 1, ign)"]] * count


def test_main_file_frame_from_string_code_is_mapped(vx, nested, tmp_path, monkeypatch):
    main = tmp_path / "main.py"
    main.write_text("first = 1\nresult = inner()  # main line\n", encoding="utf-8")
    monkeypatch.setattr(vx, "project_main_file", str(main))
    monkeypatch.setattr(vx, "add_lines_lens", 2)
    namespace = {"inner": nested.inner}
    exec(compile("\n\n\n\nresult = inner()\n", "<string>", "exec"), namespace)
    assert namespace["result"][-1] == [str(main), 2, "result = inner()  # main line"]


def test_import_machinery_frames_are_skipped_but_counted(vx, tmp_path):
    mod = load_source(vx, tmp_path, "imported_src",
                      "import sys\nDETAILS = vx.get_caller_details(sys._getframe())\n")
    assert not any(f.startswith("<frozen importlib.") for f, _, _ in mod.DETAILS)
    assert mod.DETAILS[-1][0] == __file__ and "exec_module(mod)" in mod.DETAILS[-1][2]
    assert len(mod.DETAILS) < 10


@pytest.mark.parametrize("line, expected", [
    ("no python file here", "no python file here"),
    (JOINED, SHORT),
    ("main.py line 1:x", "-\u2193--------main.py line 1:x"),
    ("-\u2193--------VALUE CHANGED9 in C:\\proj\\app.py line 2:y", "-\u2193--------app.py line 2:y"),
    ("in /p/a.py b.py/c", "-\u2193--------a.py b.py/c"),
])
def test_process_string(vx, line, expected):
    assert vx.process_string(input_string=line) == expected


def test_get_attr_name_list_splits_watch_strings(vx):
    assert vx.get_attr_name_list(["$item.x", "$item.y.z.w", "$item.items$List", "a.b."]) == [
        ["x", ""], ["y", "z.w"], ["items$List", ""], ["b", ""]]
    with pytest.raises(IndexError):
        vx.get_attr_name_list(trace_class_var_list_info=["nodot"])


class Watched:
    plain = 1
    settable = property(lambda self: 1, lambda self, v: None)
    readonly = property(lambda self: 2)

    def __init__(self):
        self.only_on_instance = 3


def test_seperate_attr_type_sorts_entries_by_kind(vx):
    entries = [["plain", ""], ["settable", "a.b"], ["readonly", ""], ["only_on_instance", "c"],
               ["items$List", "d"], ("missing", "")]
    result = vx.seperate_attr_type(cls=Watched, attr_name_list=entries)
    assert result == ([["plain", ""], ["only_on_instance", "c"], ["missing", ""]],
                      [["settable", "a.b"]], [["readonly", ""]], [["items", "d"]])
    flat = [e for group in result for e in group]
    assert all(type(e) is list and not any(e is f for f in entries) for e in flat)
    for bad in ([["x"]], [["x", "", "y"]], ["abc"]):
        with pytest.raises(ValueError):
            vx.seperate_attr_type(Watched, bad)


def test_combine_key_list_extends_with_new_values_or_stores_the_list(vx):
    d = {"k": [1, 2]}
    existing, fresh = d["k"], [5]
    vx.combine_key_list(d, "k", [2, 3, 3, 1.0, 4])
    vx.combine_key_list(dict=d, key="new", value_list=fresh)
    fresh.append(6)
    assert d == {"k": [1, 2, 3, 3, 4], "new": [5, 6]}
    assert d["k"] is existing and d["new"] is fresh


@pytest.mark.parametrize("value, key", [(2, "b"), (1.0, "a"), (9, None), ([1], "d")])
def test_get_key_for_value_returns_first_equal(vx, value, key):
    assert vx.get_key_for_value(d={"a": 1, "b": 2, "c": 2, "d": [1]}, value=value) == key
