import re
from pathlib import Path

import pytest


def make_tree(root: Path, files: dict):
    for rel, text in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text, encoding="utf-8")


TREE = {
    "main.py": "x = 1\n",
    "util/helpers.py": "y = 2\n",
    "util/bin/z.py": "x = 3\n",
    "lib/pkg/mod.py": "x = 4\n",
    "Bin/tool.py": "x = 5\n",
    "LIB/other.py": "x = 6\n",
    "._main.py": "x = 7\n",
    "util/._hidden.py": "x = 8\n",
    "notes.txt": "x = 9\n",
    "main.pyc": "",
}


class FakeVisitor:
    """Stands in for the modification finder: 'name = value' lines and
    'inst = Cls()' creations, one record per line."""
    calls = []

    def __init__(self, file_path, code_lines, variable_names, func_pattern, class_instances_dict):
        FakeVisitor.calls.append((file_path, code_lines, variable_names, func_pattern,
                                  class_instances_dict))
        self.changes, self.class_lines = [], {}
        text = Path(file_path).read_text(encoding="utf-8")
        if "BOOM" in text:
            raise RecursionError("too deep")
        for no, line in enumerate(text.splitlines(), 1):
            m = re.match(r"(\w+) = (\w+)\(\)$", line)
            if m and m.group(2) in class_instances_dict and m.group(1) in class_instances_dict[m.group(2)]:
                self.class_lines.setdefault(m.group(2), {}).setdefault(m.group(1), []).append(no)
            m = re.match(r"(\w+) = (.*)$", line)
            if m and m.group(1) in variable_names:
                self.changes.append((no, m.group(1), "=", m.group(2)))


@pytest.fixture
def fake(vx, monkeypatch):
    FakeVisitor.calls = []
    monkeypatch.setattr(vx, "VariableModificationVisitor", FakeVisitor)
    for name, value in (("trace_var_list", []), ("trace_list_list", []), ("trace_classname_list", []),
                        ("trace_files_class_lines_dict", {}), ("class_filter_lines_dict", {})):
        monkeypatch.setattr(vx, name, value)
    return FakeVisitor


def test_get_py_files_skips_environments_caches_hidden_folders_and_dot_underscore_files(vx, tmp_path):
    make_tree(tmp_path, dict(TREE, **{
        "venv/pyvenv.cfg": "home = /usr\n", "venv/lib/python3.12/site-packages/dep.py": "x = 1\n",
        "env2/sub/pyvenv.cfg": "", "env2/sub/m.py": "", "env2/kept.py": "",
        "deps/site-packages/dep.py": "", "pkg/__pycache__/m.py": "", ".git/hook.py": "",
        "pkg/.hidden/h.py": "", "pkg/mod.py": ""}))
    got = vx.get_py_files(directory_path=str(tmp_path))
    assert all(isinstance(p, Path) for p in got)
    # a project's own lib/ and bin/ folders are its source
    assert sorted(got) == sorted(tmp_path / p for p in [
        "main.py", "util/helpers.py", "util/bin/z.py", "lib/pkg/mod.py", "Bin/tool.py", "LIB/other.py",
        "env2/kept.py", "pkg/mod.py"])


@pytest.mark.parametrize("folder", ["", "/no/such/folder"])
def test_get_py_files_on_missing_folder_is_empty(vx, folder):
    assert vx.get_py_files(folder) == []


def test_class_entries_for_one_class_merge_into_first_entrys_list(vx):
    first = ["a"]
    entries = [["Foo", ["$item.x"], first], ["Bar", [], []], ["Foo", ["$item.y"], ["b", "a"]]]
    got = vx.create_class_instances_dict(classname_list=entries)
    assert got == {"Foo": ["a", "b"], "Bar": []}
    assert got["Foo"] is first and entries[0][2] == ["a", "b"]
    vx.create_class_instances_dict(entries)  # once per scanned file: no further growth
    assert first == ["a", "b"]
    with pytest.raises(IndexError):
        vx.create_class_instances_dict([["Foo", []]])


def test_get_aim_vars_info_builds_the_visitor_from_the_current_global(vx, fake, tmp_path):
    f = tmp_path / "m.py"
    f.write_text("x = 1\nfoo = Foo()\n", encoding="utf-8")
    changes, lines = vx.get_aim_vars_info(file_path=f, variable_names=["x"],
                                          trace_classname_list=[["Foo", [], ["foo"]]])
    assert (changes, lines) == ([(1, "x", "=", "1")], {"Foo": {"foo": [2]}})
    assert fake.calls[0] == (f, None, ["x"], vx.func_pattern, {"Foo": ["foo"]})
    vx.get_aim_vars_info(f)
    vx.get_aim_vars_info(f)
    assert fake.calls[1][2] == [] and fake.calls[1][2] is fake.calls[2][2]  # one shared default


def test_read_in_folder_collects_records_lines_and_creation_sites(vx, fake, monkeypatch, tmp_path):
    make_tree(tmp_path, {
        "main.py": "x = 1\nfoo = Foo()\n\n\nfoo = Foo()\n",
        "pkg/a.py": "\nq = 1\n",
        "pkg/b.py": "bar = Foo()\nfoo = Foo()\n" + "\n" * 9 + "x = 2\nlst = []\n",
        "venv/pyvenv.cfg": "", "venv/c.py": "x = 3\n",
    })
    monkeypatch.setattr(vx, "folder_path", str(tmp_path))
    monkeypatch.setattr(vx, "trace_var_list", ["x"])
    monkeypatch.setattr(vx, "trace_list_list", ["lst"])
    monkeypatch.setattr(vx, "trace_classname_list", [["Foo", [], ["foo"]], ["Foo", [], ["bar"]]])
    info, files, numbers = vx.read_in_folder()
    m, b = str(tmp_path / "main.py"), str(tmp_path / "pkg" / "b.py")
    order = [str(p) for p in vx.get_py_files(str(tmp_path))]
    expected_info = {m: [(1, "x", "=", "1")], b: [(12, "x", "=", "2"), (13, "lst", "=", "[]")]}
    assert info == [[f, expected_info[f]] for f in order if f in expected_info]
    assert files == [f for f, _ in info] + ["<string>"]
    assert sorted(numbers) == [1, 12, 13]
    assert fake.calls[0][2] == ["x", "lst"]
    assert vx.trace_files_class_lines_dict == {m: {"Foo": {"foo": [2, 5]}},
                                               b: {"Foo": {"bar": [1], "foo": [2]}}}
    assert vx.class_filter_lines_dict == {"Foo": [[f, {m: [2, 5], b: [1, 2]}[f]]
                                                  for f in order if f in (m, b)]}


def test_read_in_folder_counts_each_line_number_once(vx, fake, monkeypatch, tmp_path):
    make_tree(tmp_path, {"a.py": "\n" * 11 + "x = 1\n", "b.py": "\n" * 11 + "x = 1\n" + "\n" * 17 + "x = 2\n"})
    monkeypatch.setattr(vx, "folder_path", str(tmp_path))
    monkeypatch.setattr(vx, "trace_var_list", ["x"])
    assert sorted(vx.read_in_folder()[2]) == [12, 30]


def test_read_in_folder_with_nothing_watched_is_empty(vx, fake, monkeypatch, tmp_path):
    make_tree(tmp_path, TREE)
    monkeypatch.setattr(vx, "folder_path", str(tmp_path))
    monkeypatch.setattr(vx, "trace_files_class_lines_dict", {"old": {}})
    monkeypatch.setattr(vx, "class_filter_lines_dict", {"old": []})
    assert vx.read_in_folder() == ([], ["<string>"], [])
    assert vx.trace_files_class_lines_dict == {} and vx.class_filter_lines_dict == {}


def test_one_file_the_finder_fails_on_does_not_stop_the_scan(vx, fake, monkeypatch, tmp_path, tool_err):
    make_tree(tmp_path, {"a.py": "BOOM\n", "b.py": "x = 1\n"})
    monkeypatch.setattr(vx, "folder_path", str(tmp_path))
    monkeypatch.setattr(vx, "trace_var_list", ["x"])
    info, files, numbers = vx.read_in_folder()
    assert info == [[str(tmp_path / "b.py"), [(1, "x", "=", "1")]]] and numbers == [1]
    assert tool_err() == f"err when scan file: {tmp_path / 'a.py'}: RecursionError: too deep\n"


def test_class_filter_lines_merge_instance_lines_per_file(vx, monkeypatch):
    monkeypatch.setattr(vx, "class_filter_lines_dict", {})
    table = {"f.py": {"Foo": {"a": [9], "b": [4, 9]}, "Bar": {"c": [1]}}, "g.py": {"Foo": {"a": [3]}}}
    assert vx.create_class_filter_lines_dict(trace_class_lines_dict=table) is None
    assert vx.class_filter_lines_dict == {"Foo": [["f.py", [4, 9]], ["g.py", [3]]], "Bar": [["f.py", [1]]]}


def test_scan_of_a_project_tree_with_the_real_finder(vx, monkeypatch, tmp_path):
    make_tree(tmp_path, dict(TREE, **{
        "main.py": "x = 1\nx += f(2)\nx.append(y)\nx[k] = g()\ndel x[h()]\nfoo = Foo()\n",
        "util/helpers.py": "def h():\n    lst.pop(0)\n    other = Foo()\n    foo, bar = Foo(), Foo()\n",
        "deep.py": "x = " + "+".join(["1"] * 3000) + "\n",
    }))
    (tmp_path / "nul.py").write_bytes(b"x = 1\n\x00\n")
    (tmp_path / "undecodable.py").write_bytes(b"x = '\xff'\n")
    for name, value in (("folder_path", str(tmp_path)), ("trace_var_list", ["x"]),
                        ("trace_list_list", ["lst"]), ("trace_classname_list", [["Foo", [], ["foo"]]])):
        monkeypatch.setattr(vx, name, value)
    info, files, numbers = vx.read_in_folder()
    m, h = str(tmp_path / "main.py"), str(tmp_path / "util" / "helpers.py")
    assert info[files.index(m)] == [m, [
        (1, "x", "=", "1"), (2, "x", "Function Value", "f(2)", "      AugAssign"),
        (3, "x", "append", "y", "     Method Call"), (4, "x", "Function Value", "g()", "     Subscript Assign"),
        (5, "x", "Function Value", "h()")]]
    assert info[files.index(h)] == [h, [(2, "lst", "pop", "0", "     Method Call")]]
    assert sorted(files[:-1]) == sorted(f for f, _ in info) and files[-1] == "<string>"
    assert sorted(numbers) == [1, 2, 3, 4, 5]
    assert vx.trace_files_class_lines_dict == {m: {"Foo": {"foo": [6]}}, h: {"Foo": {"foo": [4]}}}
    assert vx.class_filter_lines_dict == {"Foo": [[f, [6] if f == m else [4]]
                                                  for f in vx.trace_files_class_lines_dict]}


def test_sources_are_read_as_python_reads_them_and_quietly(vx, monkeypatch, tmp_path, capfd):
    (tmp_path / "latin.py").write_bytes(b"# -*- coding: latin-1 -*-\nname = '\xe9t\xe9'\n")
    (tmp_path / "bom.py").write_bytes(b"\xef\xbb\xbfname = 'b'\r\nname += 'c'\r\n")
    (tmp_path / "escapes.py").write_text("name = '\\d'\n", encoding="utf-8")
    for attr, value in (("folder_path", str(tmp_path)), ("trace_var_list", ["name"]),
                        ("trace_list_list", []), ("trace_classname_list", [])):
        monkeypatch.setattr(vx, attr, value)
    info, _, _ = vx.read_in_folder()
    got = {Path(f).name: records for f, records in info}
    assert got == {"latin.py": [(2, "name", "=", "'\u00e9t\u00e9'")],
                   "bom.py": [(1, "name", "=", "'b'"), (2, "name", "Add", "'c'", "      AugAssign")],
                   "escapes.py": [(1, "name", "=", "'\\\\d'")]}
    # an invalid escape in a file the program may never import says nothing
    assert capfd.readouterr().err == ""
    # each record has its place: the statement, and the statement around it
    spans = dict(zip((Path(f).name for f, _ in info), vx.trace_aim_spans))
    assert spans["bom.py"] == [(1, 0, 1, 10, 1, 0, 1, 10, 2), (2, 0, 2, 11, 2, 0, 2, 11, 2)]
