"""The modification finder never raises or crashes on malformed sources.

Faults an ordinary project can trigger (the blanking index leaving the file, a
SyntaxError without a line number, parser or unparse limits) make the file
contribute nothing; other damage is blanked line by line.
"""
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

NAMES = ["x", "y", "data", "i"]
CLASSES = {"Foo": ["x", "f"]}
KINDS = ("     Subscript Assign", "      AugAssign", "     Method Call")
DEEP_SUM = "+".join(["a"] * 5000)
UNPARSE_TOO_DEEP = "x = " + "+".join(["a"] * 800) + "\n"


def scan(vx, path=None, lines=None):
    """Runs the finder and checks every record lies within the source."""
    v = vx.VariableModificationVisitor(path, lines, NAMES, vx.func_pattern, CLASSES)
    if path is not None:
        n = max(len(v.list_of_info_lists) - 1, 0)
    else:  # each given item spans at least one line, more if it holds line breaks
        n = sum(max(1, len(re.findall(r"\r\n|\r|\n", line))) for line in lines) + 1
    for record in v.changes:
        assert type(record) is tuple and record[1] in NAMES and 1 <= record[0] <= n, (record, n)
        assert len(record) == 4 or record[-1] in KINDS
    for numbers in v.class_lines.get("Foo", {}).values():
        assert all(1 <= k <= n for k in numbers)
    return v


@pytest.mark.parametrize("text, expect", [
    (b"x = 1\n\x00\nx = 2\n", True),  # SyntaxError without a line number
    (b"if a:", True),  # the blanking index leaves the file
    (("y = " + "-" * 100000 + "1\nx = 1\n").encode(), True),  # parser stack (MemoryError)
    (("y = " + DEEP_SUM + "\nx = 1\n").encode(), True),  # ast construction (RecursionError)
    (UNPARSE_TOO_DEEP.encode(), True),  # ast.unparse (RecursionError)
    (b"if a:\n", False),
    (bytes(range(1, 128)) * 3, False),
    (b"x = 1\n\x01\x02\x7f\nx += 2\n", False),
    (("x = " + "(" * 300 + "1" + ")" * 300 + "\nx = 2\n").encode(), False),
    (("x = [" + "0, " * 200000 + "]\n").encode(), False),
    (b"# " + b"z" * 3_000_000 + b"\nx = 1\n", False),
    (b"if a:\n\tx = 1\n        x = 2\nx += 3\n", False),
    (b"\xef\xbb\xbfx = 1\nx = 2\n", False),
    (b"x = 1\ry = (\rx = 3\r", False),
    (b"".join(b" " * k + b"if a:\n" for k in range(120)) + b"x = 1\n", None),
    (b"x = 1\n" + b"def f(:\n" * 8 + b"x = 2\n", None),  # cut after the sixth error
], ids=["nul", "lone-header", "parser-stack", "ast-depth", "unparse-depth", "header", "binary",
        "control-chars", "deep-parens", "enormous-line", "enormous-comment", "mixed-tabs", "bom",
        "cr-only", "deep-blocks", "many-errors"])
def test_malformed_file_never_raises(vx, tmp_path, text, expect):
    """expect: True, nothing is recorded; False, the last line when undamaged is; None, no claim."""
    path = tmp_path / "m.py"
    path.write_bytes(text)
    v = scan(vx, path=path)
    if expect:
        assert v.changes == [] and v.class_lines == {}
    elif expect is False and text.endswith((b"x = 1\n", b"x = 2\n")):
        assert v.changes[-1][:2] == (text.count(b"\n"), "x")


@pytest.mark.parametrize("lines", [
    ["if a:"], ["x = 1\n", "x = 2\0\n"], [UNPARSE_TOO_DEEP], ["x = 1\n", "y = " + DEEP_SUM + "\n"],
    ["x = Foo()\n", "x = '\ud800'\n"],  # lines given directly may hold surrogates
])
def test_faults_make_the_lines_contribute_nothing(vx, lines):
    v = scan(vx, lines=lines)
    assert v.changes == [] and v.class_lines == {}


def test_deep_unwatched_expression_keeps_other_records(vx, tmp_path):
    # deeper than a recursive walk in Python manages
    (tmp_path / "deep.py").write_text("print(" + "+".join(["a"] * 1500) + ")\nx = 1\n")
    assert scan(vx, path=tmp_path / "deep.py").changes == [(2, "x", "=", "1")]


SNIPPETS = [
    "x = 1\n", "x += f(2)\n", "x.append(y)\n", "x[k] = g()\n", "del x[h()]\n", "a, x = 1, 2\n",
    "x, y = pair()\n", "f = Foo()\n", "data[i] = y\n", "if a:\n", "    x = 2\n", "\ty -= 1\n",
    "def f(:\n", "else:\n", "x = (\n", ")\n", "class C:\n", "    def m(self):\n",
    "        data.extend(i, *z)\n", "for i in range(3):\n", "  pass\n", "", "\n", "   \n", "\r",
    "x = 1", "\x00", "'''\n", "return\n", "@dec\n", "x = 1 \\\n", "try:\n", "except E as x:\n",
]
FUZZ = settings(max_examples=150, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])


@FUZZ
@given(st.lists(st.one_of(st.sampled_from(SNIPPETS),
                          st.text(st.sampled_from(list("xyi=+-()[]{}:,.'\"\\#\t \n\r\x00Foo1")), max_size=12)),
                max_size=25))
def test_generated_sources_never_crash(vx, lines):
    scan(vx, lines=lines)


@FUZZ
@given(st.sampled_from([b"", b"x = 1\n", b"if a:\n"]), st.binary(max_size=300))
def test_random_bytes_as_a_file_never_crash(vx, tmp_path_factory, prefix, data):
    path = tmp_path_factory.mktemp("bytes") / "r.py"
    path.write_bytes(prefix + data)
    scan(vx, path=path)
