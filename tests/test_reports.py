"""Caller blocks, report filing and the watch-string helpers."""
import importlib.util
import textwrap

import pytest

ARROW = "\u2193"
PATH_REPORT = ["-\u2193--------VALUE CHANGED0 in /home/u/proj/main.py line 3:x = 1",
               "x: 0 -> 1"]
JOINED = "\uff0c".join(PATH_REPORT)
SHORT = "-\u2193--------main.py line 3:x = 1\uff0cx: 0 -> 1"


def result_text(vx):
    return vx.trace_result_file_path.read_text(encoding="utf-8")


def load_source(vx, folder, name, source):
    """Imports `source` from a real file, with the module copy bound as `vx`."""
    path = folder / f"{name}.py"
    path.write_text(textwrap.dedent(source), encoding="utf-8")
    spec = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(spec)
    mod.vx = vx
    spec.loader.exec_module(mod)
    return mod


class Labelled:
    def __str__(self):
        return "<Row a>"


# ---- print_caller_details ------------------------------------------------

DETAILS = [["/p/main.py", 4, "run()"], ["/p/lib.py", 10, "self.x = 2"]]
BLOCK = [
    "-----------------<Row a>:",
    f"{ARROW}-----------------/p/main.py line 4:run() CALLED:",
    f"{ARROW}-----------------/p/lib.py line 10:self.x = 2 CALLED:",
]


@pytest.mark.parametrize("mode, echoed", [(0, False), (1, True), (2, False), (3, False)])
def test_caller_block_written_and_echoed_only_for_mode_1(vx, capsys, monkeypatch, mode, echoed):
    monkeypatch.setattr(vx, "print_directly", mode)
    assert vx.print_caller_details(Labelled(), DETAILS) is None
    assert result_text(vx) == "\n".join(BLOCK) + "\n"
    assert capsys.readouterr().out == ("\n".join(BLOCK) + "\n" if echoed else "")


def test_empty_caller_details_write_only_the_header(vx):
    vx.print_caller_details(instance="<x>", caller_details=[])
    assert result_text(vx) == "-----------------<x>:\n"


def test_caller_block_appends_to_existing_result(vx):
    vx.trace_result_file_path.write_text("earlier\n", encoding="utf-8")
    vx.print_caller_details("<x>", [("f.py", 1, "a")])
    assert result_text(vx) == f"earlier\n-----------------<x>:\n{ARROW}-----------------f.py line 1:a CALLED:\n"


# ---- combine_trace_info_list ---------------------------------------------

@pytest.mark.parametrize("mode, out", [(0, ""), (1, JOINED + "\n"), (2, ""), (3, SHORT + "\n")])
def test_report_filed_written_and_echoed_by_mode(vx, capsys, monkeypatch, mode, out):
    monkeypatch.setattr(vx, "print_directly", mode)
    info = {}
    report = list(PATH_REPORT)
    assert vx.combine_trace_info_list(info, "<x>", report) is None
    assert result_text(vx) == JOINED + "\n"
    assert capsys.readouterr().out == out
    assert info["<x>"] is report


def test_existing_user_is_extended_new_user_gets_the_list_itself(vx):
    first = ["a"]
    info = {"<x>": first}
    vx.combine_trace_info_list(info, "<x>", ["b", "c"])
    assert info["<x>"] is first and first == ["a", "b", "c"]
    user = Labelled()
    report = ["d"]
    vx.combine_trace_info_list(dict=info, instance=user, trace_str_list=report)
    assert info[user] is report
    assert result_text(vx) == "b\uff0cc\nd\n"


@pytest.mark.parametrize("info, instance", [({}, None), ({}, ""), ({}, 0)])
def test_empty_dict_and_no_user_only_prints_the_list(vx, capsys, monkeypatch, info, instance):
    monkeypatch.setattr(vx, "print_directly", 1)
    vx.combine_trace_info_list(info, instance, ["r1", "r2"], create_instance=object())
    assert capsys.readouterr().out == "subprocess_trace_info ['r1', 'r2']\n"
    assert result_text(vx) == "" and info == {} and vx.watching_instances == []


def test_empty_dict_with_a_user_files_normally(vx):
    info = {}
    vx.combine_trace_info_list(info, "<x>", ["r"])
    assert info == {"<x>": ["r"]} and result_text(vx) == "r\n"


@pytest.mark.parametrize("created, registered", [(None, False), (0, False), ("obj", True)])
def test_created_instance_is_registered_as_watching(vx, created, registered):
    vx.combine_trace_info_list({}, "<x>", ["r"], create_instance=created)
    assert vx.watching_instances == (["obj"] if registered else [])


@pytest.mark.parametrize("flag", [0, 2, "1"])
def test_outside_the_child_reports_are_only_filed(vx, capsys, monkeypatch, flag):
    monkeypatch.setattr(vx, "subprocess_flag", flag)
    monkeypatch.setattr(vx, "print_directly", 1)
    info = {}
    vx.combine_trace_info_list(info, "<x>", ["r"])
    assert info == {"<x>": ["r"]}
    assert result_text(vx) == "" and capsys.readouterr().out == ""


@pytest.mark.parametrize("write", [
    lambda vx: vx.combine_trace_info_list({}, "<x>", ["ok", "\udc80"]),
    lambda vx: vx.print_caller_details("<\udc80>", []),
    lambda vx: vx.print_caller_details("<x>", [["f.py", 1, "\udc80"]]),
])
def test_text_that_is_not_utf8_encodable_raises(vx, write):
    with pytest.raises(UnicodeEncodeError):
        write(vx)
    assert "\\udc80" not in result_text(vx)


def test_caller_detail_that_is_not_a_triple_raises_after_header(vx):
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
        vx.print_caller_details("<x>", [("f.py", 1)])
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 3\)"):
        vx.print_caller_details("<x>", [("f.py", 1, "a", "b")])
    assert result_text(vx) == "-----------------<x>:\n" * 2


def test_result_file_and_echo_mode_are_read_at_call_time(vx, tmp_path, capsys):
    other = tmp_path / "other.txt"
    vx.combine_trace_info_list({}, "<x>", ["first"])
    vx.trace_result_file_path = str(other)
    vx.print_directly = 1
    vx.combine_trace_info_list({}, "<x>", ["second"])
    vx.print_caller_details("<x>", [])
    assert other.read_text(encoding="utf-8") == "second\n-----------------<x>:\n"
    assert capsys.readouterr().out == "second\n-----------------<x>:\n"


def test_preamble_style_assignments_reach_the_next_call(child):
    proc = child.run("""
        import vardex
        vardex.print_directly = 3
        vardex.trace_result_file_path = "res.txt"
        vardex.combine_trace_info_list({}, "<v>", ["-\u2193--------VALUE CHANGED3 in /a/b/m.py line 2:v = 3"])
        print(open("res.txt", encoding="utf-8").read(), end="")
        """)
    assert proc.stdout == ("-\u2193--------m.py line 2:v = 3\n"
                           "-\u2193--------VALUE CHANGED3 in /a/b/m.py line 2:v = 3\n")
    assert (child.data_dir / "trace_result.txt").read_text() == ""


# ---- get_caller_details --------------------------------------------------

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
def probe():
    return vx.get_caller_details(sys._getframe())
"""


@pytest.fixture
def nested(vx, tmp_path):
    return load_source(vx, tmp_path, "nested_src", NESTED)


def test_callers_outermost_first_with_source_lines(nested):
    details = nested.outer()
    assert len(details) == 10
    assert details[-2:] == [[nested.__file__, 7, "return middle(ign)"],
                            [nested.__file__, 5, "return inner(ign)"]]
    assert details[-3][0] == __file__


@pytest.mark.parametrize("ign", [1, 2])
def test_ignored_callers_count_toward_ten_levels(nested, ign):
    details = nested.chain(15, ign)
    assert details == [[nested.__file__, 11, "return chain(n - 1, ign)"]] * (10 - ign)
    nearest = nested.outer(ign)[-1]
    if ign == 1:
        assert nearest == [nested.__file__, 7, "return middle(ign)"]
    else:
        assert nearest[0] == __file__


def test_ign_follows_python_int_semantics(nested):
    assert nested.chain(15, ign=2**70) == []
    assert nested.outer(ign=True)[-1] == [nested.__file__, 7, "return middle(ign)"]


def test_frame_without_caller_gives_empty_list(vx):
    def gen():
        yield
    assert vx.get_caller_details(gen().gi_frame) == []


def test_main_file_frame_from_string_code_is_mapped(vx, nested, tmp_path, monkeypatch):
    main = tmp_path / "main.py"
    main.write_text("first = 1\nresult = probe()  # main line\n", encoding="utf-8")
    monkeypatch.setattr(vx, "project_main_file", str(main))
    monkeypatch.setattr(vx, "add_lines_lens", 2)
    namespace = {"probe": nested.probe}
    exec(compile("\n\n\n\nresult = probe()\n", "<string>", "exec"), namespace)
    assert namespace["result"][-1] == [str(main), 2, "result = probe()  # main line"]


def test_import_machinery_frames_are_skipped(vx, tmp_path):
    mod = load_source(vx, tmp_path, "imported_src",
                      "import sys\nDETAILS = vx.get_caller_details(sys._getframe())\n")
    assert not any(f.startswith("<frozen importlib.") for f, _, _ in mod.DETAILS)
    assert mod.DETAILS[-1][0] == __file__
    assert "exec_module(mod)" in mod.DETAILS[-1][2]
    assert len(mod.DETAILS) < 10  # the skipped levels still count


# ---- process_string ------------------------------------------------------

@pytest.mark.parametrize("line, expected", [
    ("no python file here", "no python file here"),
    (JOINED, SHORT),
    ("main.py line 1:x", "-\u2193--------main.py line 1:x"),
    ("-\u2193--------VALUE CHANGED9 in C:\\proj\\app.py line 2:y", "-\u2193--------app.py line 2:y"),
    ("in /p/a.py b.py/c", "-\u2193--------a.py b.py/c"),
])
def test_process_string(vx, line, expected):
    assert vx.process_string(input_string=line) == expected


# ---- watch strings and attribute kinds -----------------------------------

def test_get_attr_name_list_splits_watch_strings(vx):
    assert vx.get_attr_name_list(["$item.x", "$item.y.z.w", "$item.items$List", "a.b."]) == [
        ["x", ""], ["y", "z.w"], ["items$List", ""], ["b", ""]]


def test_get_attr_name_list_needs_a_dot(vx):
    with pytest.raises(IndexError):
        vx.get_attr_name_list(trace_class_var_list_info=["nodot"])


class Watched:
    plain = 1

    @property
    def settable(self):
        return 1

    @settable.setter
    def settable(self, value):
        pass

    @property
    def readonly(self):
        return 2

    def __init__(self):
        self.only_on_instance = 3


def test_seperate_attr_type_sorts_entries_by_kind(vx):
    entries = [["plain", ""], ["settable", "a.b"], ["readonly", ""],
               ["only_on_instance", "c"], ["items$List", "d"], ("missing", "")]
    result = vx.seperate_attr_type(cls=Watched, attr_name_list=entries)
    assert result == ([["plain", ""], ["only_on_instance", "c"], ["missing", ""]],
                      [["settable", "a.b"]], [["readonly", ""]], [["items", "d"]])
    assert type(result) is tuple
    flat = [e for group in result for e in group]
    assert all(type(e) is list for e in flat)
    assert not any(e is f for e in flat for f in entries)


@pytest.mark.parametrize("bad", [[["x"]], [["x", "", "y"]], ["abc"]])
def test_seperate_attr_type_rejects_entries_that_are_not_pairs(vx, bad):
    with pytest.raises(ValueError):
        vx.seperate_attr_type(Watched, bad)


def test_combine_key_list(vx):
    d = {"k": [1, 2]}
    existing = d["k"]
    vx.combine_key_list(d, "k", [2, 3, 3, 1.0, 4])
    assert d["k"] is existing and existing == [1, 2, 3, 3, 4]
    fresh = [5]
    vx.combine_key_list(dict=d, key="new", value_list=fresh)
    fresh.append(6)
    assert d["new"] is fresh and d["new"] == [5, 6]


@pytest.mark.parametrize("value, key", [(2, "b"), (1.0, "a"), (9, None), ([1], "d")])
def test_get_key_for_value_returns_first_equal(vx, value, key):
    d = {"a": 1, "b": 2, "c": 2, "d": [1]}
    assert vx.get_key_for_value(d=d, value=value) == key
