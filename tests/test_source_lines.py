"""Source lines of frame locations and the source-line utilities."""
import re

import pytest

MAIN = "import os\n    x = 1   \nprint(x)\n"


@pytest.fixture
def main_file(vx, tmp_path, monkeypatch):
    path = tmp_path / "main.py"
    path.write_text(MAIN, encoding="utf-8")
    monkeypatch.setattr(vx, "project_main_file", str(path))
    monkeypatch.setattr(vx, "add_lines_lens", 18)
    return str(path)


@pytest.mark.parametrize("raw, expected", [(20, ("import os", 1)), (21, ("x = 1", 2)),
                                           (22, ("print(x)", 3))])
def test_main_file_lines_are_shifted(vx, main_file, raw, expected):
    assert vx.get_line_from_file("<string>", raw) == expected
    assert vx.get_line_from_file(filename=main_file, lineno=raw) == expected


def test_lines_are_cached_per_file_and_not_shifted(vx, main_file, tmp_path):
    other = tmp_path / "other.py"
    other.write_text("old line\n\tb = 2\n", encoding="utf-8")
    assert vx.get_line_from_file(str(other), 2) == ("b = 2", 2)
    other.write_text("new line\n", encoding="utf-8")
    assert vx.get_line_from_file(str(other), 1) == ("old line", 1)
    vx.get_line_from_file("<string>", 20)
    assert vx._line_cache_trace == {str(other): ["old line\n", "\tb = 2\n"],
                                    main_file: MAIN.splitlines(True)}
    vx._line_cache_trace = {"virtual.py": ["  from cache  \n"]}
    assert vx.get_line_from_file("virtual.py", 1) == ("from cache", 1)


@pytest.mark.parametrize("filename, lineno, expected_no", [
    ("<frozen importlib._bootstrap>", 241, 241), ("<frozen os>", 5, 5),
    ("<made by exec>", 1, 1), ("/no/such/folder/missing.py", 3, 3),
    ("OTHER", 3, 3), ("OTHER", 0, 0), ("OTHER", -1, -1),  # never counted from the end
    ("<string>", 19, 0), ("<string>", 2, -17), ("<string>", 23, 4),
])
def test_unreadable_locations_give_empty_text(vx, main_file, tmp_path, filename, lineno,
                                             expected_no):
    other = tmp_path / "other.py"
    other.write_text("first\nlast\n", encoding="utf-8")
    filename = str(other) if filename == "OTHER" else filename
    assert vx.get_line_from_file(filename, lineno) == ("", expected_no)


def test_unreadable_main_file_and_exec_frames_give_empty_text(vx, monkeypatch, tmp_path):
    monkeypatch.setattr(vx, "project_main_file", str(tmp_path / "gone.py"))
    assert vx.get_line_from_file("<string>", 5) == ("", 4)
    ns = {"vx": vx, "sys": __import__("sys")}
    exec(compile("def f():\n    return vx.get_caller_details(sys._getframe())\n"
                 "def g():\n    return f()\n", "<exec>", "exec"), ns)
    assert ns["g"]()[-1] == ["<exec>", 4, ""]


@pytest.mark.parametrize("text, expected", [
    ("f(x)", True), ("a + obj.method (1)", True), ("range(10)", False), ("x + 1", False),
    ("range(len(a))", True), ("xrange(3)", True), ("range (3)", False), ("", False),
])
def test_is_function_value(vx, text, expected):
    assert vx.is_function_value(text=text) is expected


def test_is_function_value_reads_patterns_at_call_time(vx, monkeypatch):
    monkeypatch.setattr(vx, "exclude_pattern", re.compile(r"\bf\s*\("))
    assert (vx.is_function_value("f(x)"), vx.is_function_value("range(3)")) == (False, True)


@pytest.mark.parametrize("line, index, stripped", [
    ("x = 1  # set x", 7, "x = 1"),
    ("if a:  # check", -1, "if a:  # check"),
    ("s = '#'  # c", 9, "s = '#'"),
    ('msg = "it\'s"  # note', 14, 'msg = "it\'s"'),
    ("x = y   \n", -1, "x = y   \n"),
    ("d = {'a': 1}  # c", -1, "d = {'a': 1}  # c"),
    ('"""doc""" # c', 10, '"""doc"""'),
    ("s = 'a\\'b' # c", -1, "s = 'a\\'b' # c"),
    ("# only\n", 0, ""),
])
def test_comment_splitting(vx, line, index, stripped):
    assert vx.split_comment(code_line=line) == index
    assert vx.get_no_comment_line(code_line=line) == stripped


@pytest.mark.parametrize("content, lines", [
    (b"a\nb\n\nc", ["a\n", "b\n", "\n", "c"]), (b"", []), ("\u00fc\n".encode(), ["\u00fc\n"]),
    # read as Python reads a source: coding declaration, BOM, universal newlines
    (b"# coding: latin-1\nx = '\xe9'\n", ["# coding: latin-1\n", "x = '\u00e9'\n"]),
    (b"\xef\xbb\xbfa\r\nb\rc\x0cd\n", ["a\n", "b\n", "c\x0cd\n"]),
    (None, FileNotFoundError), (b"\xff\xfe", SyntaxError),
])
def test_read_file_to_list(vx, tmp_path, content, lines):
    path = tmp_path / "f.py"
    if content is not None:
        path.write_bytes(content)
    if isinstance(lines, list):
        assert vx.read_file_to_list(filepath=path) == vx.read_file_to_list(str(path)) == lines
    else:
        with pytest.raises(lines):
            vx.read_file_to_list(path)
