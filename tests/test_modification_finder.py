"""VariableModificationVisitor: the lines that modify watched names, and class creations."""
import ast
import textwrap

import pytest

SA, AUG, MC, FV = "     Subscript Assign", "      AugAssign", "     Method Call", "Function Value"

ALL_KINDS = """\
x = 1
x += f(2)
x.append(y)
x[k] = g()
del x[h()]
x = range(10)
a, x = 1, 2
x, y = pair()
x, q = 3, 4 + g()
x[i:j] = [1, 2]
del x[i], x[j + 1], other[0]
y -= 3
y //= len(z)
x.insert(0, f(a), v, key=g())
x.clear()
x.update(*rest)
x.pop(range(3))
print(x); x.y.z(); x.attr = 1; [x, y] = 1, 2; x: int = 5; del x; z = x[0]
*x, y = 1, 2
def func():
    x = f(x.count(1))
    class Inner:
        y += 1
"""


def finder(vx, path=None, lines=None, names=(), classes=None):
    extra = {} if classes is None else {"class_instances_dict": classes}
    return vx.VariableModificationVisitor(path, lines, list(names), vx.func_pattern, **extra)


def test_record_table_for_every_statement_kind(vx, tmp_path):
    (tmp_path / "m.py").write_text(ALL_KINDS, encoding="utf-8")
    v = finder(vx, tmp_path / "m.py", names=["x", "y"])
    assert v.changes == [
        (1, "x", "=", "1"), (2, "x", FV, "f(2)", AUG), (3, "x", "append", "y", MC),
        (4, "x", FV, "g()", SA), (5, "x", FV, "h()"), (6, "x", "=", "range(10)"),
        (7, "x", "=", "2"), (8, "x", FV, "pair()"), (8, "y", FV, "pair()"), (9, "x", "=", "3"),
        (10, "x", "i:j", "[1, 2]", SA), (11, "x", "Delete", "i"), (11, "x", "Delete", "j + 1"),
        (12, "y", "Sub", "3", AUG), (13, "y", FV, "len(z)", AUG),
        (14, "x", "insert", "0", FV, "v", MC), (15, "x", "clear", MC),
        (16, "x", "update", "*rest", MC), (17, "x", "pop", "range(3)", MC),
        # attribute, list, annotated and starred targets; `del x` binds nothing
        (18, "x", ".attr =", "1"), (18, "x", "=", "1"), (18, "y", "=", "2"), (18, "x", "=", "5"),
        (19, "x", "=", "[1]"), (19, "y", "=", "2"),
        (21, "x", FV, "f(x.count(1))"), (21, "x", "count", "1", MC), (23, "y", "Add", "1", AUG),
    ]
    assert (v.class_lines, v.error_lines_no, v.end_lineno_of_parsed_ast) == ({}, [], 23)
    assert v.list_of_info_lists == [[]] * 24
    assert finder(vx, tmp_path / "m.py", names=["w"]).changes == []


@pytest.mark.parametrize("value, op", [
    ("range(10)", "="), ("range(n) + [1]", "="), ("a + b", "="), ("range(len(a))", FV),
    ("xrange(3)", FV), ("obj.method (1)", FV), ("'f(x)'", FV)])
def test_range_versus_other_calls(vx, value, op):
    v = finder(vx, lines=[f"x = {value}\n"], names=["x"])
    assert v.changes == [(1, "x", op, ast.unparse(ast.parse(value).body[0].value))]


def test_records_use_the_module_global_unparse(vx, monkeypatch):
    monkeypatch.setattr(vx, "unparse", lambda node: "SRC")
    v = finder(vx, lines=["x = 1\n", "x.f(2)\n"], names=["x"])
    assert v.changes == [(1, "x", "=", "SRC"), (2, "x", "f", "SRC", MC)]


def test_class_creation_lines(vx):
    lines = textwrap.dedent("""\
        f = Foo()
        g = Foo()
        a, b = Foo(), Bar(1)
        (p, [q, r]) = Foo()
        [s, t] = Foo(), Foo()
        f = Foo(); f = m.Foo()
        u = f = Foo()
        h = Bar(); w = Baz(); b = Bar()
        """).splitlines(True)
    classes = {"Foo": ["f", "a", "p", "q", "s", "t", "u"], "Bar": ["b"], "Baz": []}
    v = finder(vx, lines=lines, names=["f"], classes=classes)
    # One target with a tuple of values pairs with the first value only (line
    # 3); the result of any call assigned to a listed name is a creation site
    # of every class that lists the name (m.Foo() on line 6, and Foo() on line
    # 3 for Bar's b: the class is checked when the instance is made).
    assert v.class_lines == {
        "Foo": {"f": [1, 6, 6], "a": [3], "p": [4], "q": [4], "s": [5], "t": [5], "u": [7]},
        "Bar": {"b": [3, 8]}}
    assert [c[:3] for c in v.changes] == [(1, "f", FV), (6, "f", FV), (6, "f", FV), (7, "f", FV)]
    assert finder(vx, lines=lines, classes={}).class_lines == {}


@pytest.mark.parametrize("lines, blanked, parsed, changes", [
    # a header without body; its line becomes the indentation of the line above
    (["def f():\n", "    y = 0\n", "    if a:\n", "x = 1\n", "x += 2\n"], [2], 5,
     [(4, "x", "=", "1"), (5, "x", "Add", "2", AUG)]),
    (["while 1:\n", "\n", "x = 2\n"], [0], 3, [(3, "x", "=", "2")]),
    # two unrelated errors (the second blanking removes the now stray indent)
    (["x = 1\n", "def broken(:\n", "    pass\n", "x = (\n", "x.append(4)\n"], [1, 2, 3], 5,
     [(1, "x", "=", "1"), (5, "x", "append", "4", MC)]),
    # still broken after five blanked lines: the sixth offending line cuts the text
    (["x = 1\n"] + ["x = = %d\n" % k for k in range(7)] + ["x = 9\n"], [1, 2, 3, 4, 5], 6,
     [(1, "x", "=", "1")]),
    # ... and a cut that still does not parse gives nothing
    (["if a:\n"] + [" x = = 1\n"] * 7, [1, 2, 3, 4, 5], -1, []),
])
def test_syntax_errors_are_blanked_keeping_the_numbering(vx, lines, blanked, parsed, changes):
    v = finder(vx, lines=lines, names=["x"])
    assert (v.error_lines_no, v.end_lineno_of_parsed_ast, v.changes) == (blanked, parsed, changes)
    assert v.list_of_info_lists == ([[]] * (len(lines) + 1) if parsed > 0 else [])


@pytest.mark.parametrize("content", [None, "dir", b"x = 'caf\xe9'\n", bytes(range(256))])
def test_unreadable_or_undecodable_file_gives_an_empty_analysis(vx, tmp_path, content):
    path = tmp_path / "bad.py"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    v = finder(vx, path, ["x = 1\n"], names=["x"], classes={"Foo": ["x"]})
    assert (v.changes, v.class_lines, v.end_lineno_of_parsed_ast, v.list_of_info_lists) == ([], {}, 0, [[]])


def test_reading_uses_universal_newlines(vx, tmp_path):
    (tmp_path / "crlf.py").write_bytes(b"x = 1\r\ny = 2\rx += 3\r\n")
    v = finder(vx, tmp_path / "crlf.py", ["x = 0\n"], names=["x"])
    assert v.changes == [(1, "x", "=", "1"), (3, "x", "Add", "3", AUG)]


def test_constructor_defaults_and_keywords(vx):
    V = vx.VariableModificationVisitor
    a, b = V(), V(None, ["x = 1\n"])
    assert a.variable_names is b.variable_names and a.variable_names == []
    assert a.class_instances_dict is b.class_instances_dict and a.class_instances_dict == {}
    assert vars(a) == {"variable_names": [], "changes": [], "func_pattern": None,
                       "class_instances_dict": {}, "class_lines": {}, "defined_classes": set()}
    a.variable_names.append("x")  # the one shared list, as a Python default would be
    try:
        assert V(None, ["x = 1\n"]).changes == [(1, "x", "=", "1")]
    finally:
        a.variable_names.clear()
    v = V(file_path=None, code_lines=["x = Foo()\n"], variable_names=["x"],
          func_pattern=vx.func_pattern, class_instances_dict={"Foo": ["x"]})
    assert (v.changes, v.class_lines) == ([(1, "x", FV, "Foo()")], {"Foo": {"x": [1]}})
    with pytest.raises(TypeError):
        V(nonsense=1)
    assert V.__module__ == "vardex" and V.__mro__[1] is ast.NodeVisitor


def test_visit_methods_called_from_python(vx):
    v = finder(vx, lines=["pass\n"], names=["x"])
    tree = ast.parse("x = f(x.pop(1))\nx -= 1\nx.add(2)\ndel x[3]\n")
    v.visit_Assign(tree.body[0])
    v.visit_AugAssign(node=tree.body[1])
    v.visit_Call(tree.body[2].value)
    v.visit_Delete(node=tree.body[3])
    expected = [(1, "x", FV, "f(x.pop(1))"), (1, "x", "pop", "1", MC), (2, "x", "Sub", "1", AUG),
                (3, "x", "add", "2", MC), (4, "x", "Delete", "3")]
    assert v.changes == expected
    for walk in (v.generic_visit, v.visit, lambda t: ast.NodeVisitor.visit(v, t)):
        v.changes = []
        assert walk(tree) is None
        assert v.changes == expected
    with pytest.raises(AttributeError):
        v.visit(5)


def test_helpers_called_from_python(vx):
    v = finder(vx, lines=["pass\n"], classes={"Foo": ["a", "c"]})
    assert v.combine_code(["a\n", "", "b"]) == "a\n\nb"
    lines = ["x\n", "  \n", "\t\n", "y\n", "\n"]
    assert [v.get_index_of_the_first_up_no_empty_line(lines, k) for k in (4, 2, -1)] == [3, 0, -1]
    assert v.get_index_of_the_first_up_no_empty_line(lines=["\n", " "], start_index=1) == -1
    tup, call = ast.parse("1, 2").body[0].value, ast.parse("f()").body[0].value
    assert v.get_value_list(tup) is tup.elts and v.get_value_list(value=call) == [call]
    v.handle_target(ast.parse("a, [b, c] = 0").body[0].targets[0], None, "Foo", 9)
    v.handle_target(target=ast.Name(id="a"), value=None, class_name="Foo", line_number=11)
    assert v.class_lines == {"Foo": {"a": [9, 11], "c": [9]}}
    lines_in = ["x = 1\n", "y = (\n", "z = 2\n"]
    lines, tree = v.exclude_error_line(code_lines=lines_in)
    assert (lines_in[1], lines, v.error_lines_no) == ("y = (\n", ["x = 1\n", "\n", "z = 2\n"], [1])
    assert ast.unparse(tree) == "x = 1\nz = 2"
    # called directly, the faults that the constructor absorbs surface
    for bad in (["if a:"], ["x = 1\0\n"]):
        with pytest.raises(IndexError):
            v.exclude_error_line(bad)


def test_subclass_overrides_are_honoured(vx):
    seen = []

    class Sub(vx.VariableModificationVisitor):
        def visit_Name(self, node):
            seen.append(node.id)
            self.generic_visit(node)

        def visit_Call(self, node):
            seen.append("call")
            super().visit_Call(node)

        def generic_visit(self, node):
            seen.append(type(node).__name__)
            super().generic_visit(node)

    s = Sub(None, ["x = g(1)\n", "x.append(2)\n"], ["x"])
    assert s.changes == [(1, "x", FV, "g(1)"), (2, "x", "append", "2", MC)]
    assert seen == ["Module", "Assign", "x", "Name", "Store", "call", "Call", "g", "Name", "Load",
                    "Constant", "Expr", "call", "Call", "Attribute", "x", "Name", "Load", "Load",
                    "Constant"]
