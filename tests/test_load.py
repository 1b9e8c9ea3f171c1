"""Loading the module: imports, globals, data folder, classes."""
import json
import os

import pytest

IMPORTS = [
    "tk", "messagebox", "Checkbutton", "StringVar", "ttk", "filedialog",
    "os", "sys", "json", "argparse", "tempfile", "re", "subprocess",
    "Path", "ast", "inspect", "copy", "unparse",
]

# Module globals in load order with their initial values (patterns checked apart).
GLOBALS = [
    ("_line_cache_trace", {}), ("class_filter_lines_dict", {}),
    ("trace_aim_info_list", []), ("trace_aim_files", []),
    ("trace_line_numbers_combine", []), ("last_trace_lienno", -1),
    ("last_trace_filename", ""), ("last_trace_lineno", -1),
    ("f_global", ""), ("f_local", ""), ("trace_info", {}),
    ("trace_last_values", {}), ("items_has_to_watch_yourself", {}),
    ("last_values_has_to_watch_yourself", {}), ("deledinfo", {}),
    ("print_directly", 0), ("trace_class_instances_list", []),
    ("previous_line", ""), ("previous_line_no", 0), ("last_record_lineno", []),
    ("trace_classname_now", ""), ("all_call_stack", []), ("trace_lineno_list", []),
    ("trace_putong_var", False), ("trace_putong_var_checked", False),
    ("trace_files_class_lines_dict", {}), ("watching_instances", []),
    ("initcheck", 0), ("stop_trace", False), ("check_after_creat", 1),
    ("trace_var_name", 0), ("stored_main_lines", []),
    ("trace_stop_line_numbers", []), ("print_called_function_name", 0),
    ("func_pattern", None), ("exclude_pattern", None), ("subprocess_flag", 1),
    ("trace_classname_list", [["Canvas_row", ["$item.x"]],
                              ["new_canvas_row", ["$item.x", "$item.y"]],
                              ["row1", ["$item.x", "$item.y"]]]),
    ("trace_var_list", []), ("trace_list_list", []), ("trace_key", ""),
    ("project_main_file", ""), ("folder_path", ""), ("add_lines_lens", 0),
    ("trace_stop_list", []), ("trace_target_line_list", []),
    ("trace_type_class", 1), ("trace_class_typy_name", "item_line_created"),
    ("trace_class_var_condition", ["", ""]),
    ("trace_class_addincheck_condition", "1"),
    ("trace_class_Filter_report_condition", ["1"]), ("class_map", {}),
]
PATHS = ["data_dir", "data_store_folder", "trace_result_file_path",
         "simple_mode_file_path", "language_select_file_path"]

# Reports the fresh module's names in dict order and the plain values as JSON.
DUMP = """
import json, vardex
names = list(vars(vardex))
plain = {n: getattr(vardex, n) for n in %r if n not in ("func_pattern", "exclude_pattern")}
mutable = [v for v in plain.values() if isinstance(v, (list, dict))]
def walk(v):
    yield v
    if isinstance(v, list):
        for x in v:
            yield from walk(x)
objs = [o for v in mutable for o in walk(v) if isinstance(o, (list, dict))]
print(json.dumps({"names": names, "plain": plain,
                  "distinct": len({id(o) for o in objs}) == len(objs)}))
""" % ([n for n, _ in GLOBALS],)


@pytest.fixture(scope="module")
def fresh_dump(tmp_path_factory):
    from conftest import Child, copy_module
    root = tmp_path_factory.mktemp("fresh")
    (root / "work").mkdir()
    proc = Child(copy_module(root / "module"), root / "work").run(DUMP)
    return json.loads(proc.stdout)


def test_first_load_creates_result_and_mode_files_only(child):
    child.run("import vardex")
    assert sorted(os.listdir(child.data_dir)) == ["simple_mode.txt", "trace_result.txt"]
    assert (child.data_dir / "trace_result.txt").read_bytes() == b""
    assert (child.data_dir / "simple_mode.txt").read_bytes() == b""


def test_second_load_leaves_existing_files_untouched(child):
    child.run("import vardex")
    files = {"trace_result.txt": b"old report\n", "simple_mode.txt": b"0"}
    for name, content in files.items():
        path = child.data_dir / name
        path.write_bytes(content)
        os.utime(path, (1_000_000, 1_000_000))
    child.run("import vardex")
    for name, content in files.items():
        path = child.data_dir / name
        assert path.read_bytes() == content
        assert path.stat().st_mtime == 1_000_000
    assert not (child.data_dir / "language.txt").exists()


def test_globals_exist_in_load_order_with_initial_values(fresh_dump):
    names = fresh_dump["names"]
    table = [n for n, _ in GLOBALS]
    assert [n for n in names if n in table] == table
    order = [names.index(n) for n in IMPORTS + table + PATHS]
    assert order == sorted(order)
    expected = {n: v for n, v in GLOBALS if not n.endswith("_pattern")}
    assert fresh_dump["plain"] == expected
    assert [type(v) for v in fresh_dump["plain"].values()] == \
        [type(v) for v in expected.values()]


def test_mutable_globals_are_distinct_objects(fresh_dump):
    assert fresh_dump["distinct"]


def test_import_names(vardex_module):
    import argparse, ast, copy, inspect, json as json_mod, pathlib, re, subprocess, sys
    import tempfile, tkinter
    from tkinter import filedialog, messagebox, ttk
    vx = vardex_module
    expected = {
        "tk": tkinter, "messagebox": messagebox, "Checkbutton": tkinter.Checkbutton,
        "StringVar": tkinter.StringVar, "ttk": ttk, "filedialog": filedialog, "os": os,
        "sys": sys, "json": json_mod, "argparse": argparse, "tempfile": tempfile, "re": re,
        "subprocess": subprocess, "Path": pathlib.Path, "ast": ast, "inspect": inspect,
        "copy": copy, "unparse": ast.unparse,
    }
    for name, obj in expected.items():
        assert getattr(vx, name) is obj, name


@pytest.mark.parametrize("name, text", [("func_pattern", r"\b\w+\s*\("),
                                        ("exclude_pattern", r"\brange\s*\(")])
def test_compiled_patterns(vardex_module, name, text):
    import re
    pattern = getattr(vardex_module, name)
    assert isinstance(pattern, re.Pattern)
    assert pattern.pattern == text
    assert pattern.flags == re.UNICODE


def test_classes_and_their_bases(vardex_module):
    import ast
    from tkinter import ttk
    vx = vardex_module
    bases = {
        "ObservableList_for_trace": (list,), "ObservableListDescriptor": (object,),
        "VariableModificationVisitor": (ast.NodeVisitor,),
        "PlaceholderEntry": (ttk.Combobox,), "SimpleGUIApp": (object,),
    }
    for name, expected in bases.items():
        cls = getattr(vx, name)
        assert isinstance(cls, type) and cls.__name__ == name
        assert cls.__bases__ == expected, name
    assert vx.SimpleGUIApp.history_file_path == ""


def test_data_paths_beside_module(vardex_module):
    from pathlib import Path
    vx = vardex_module
    folder = os.path.join(os.path.dirname(os.path.abspath(vx.__file__)),
                          "trace_data_for_vardex")
    assert vx.data_dir == folder and type(vx.data_dir) is str
    assert vx.data_store_folder == folder and type(vx.data_store_folder) is str
    for name, file in [("simple_mode_file_path", "simple_mode.txt"),
                       ("language_select_file_path", "language.txt")]:
        assert getattr(vx, name) == Path(folder) / file


FALLBACK_PROBE = """
import vardex
print(vardex.data_dir)
print(vardex.data_store_folder == vardex.data_dir)
print(vardex.trace_result_file_path.parent, vardex.simple_mode_file_path.parent,
      vardex.language_select_file_path.parent, sep="|")
"""


@pytest.mark.parametrize("base", ["xdg", "home"])
def test_unwritable_module_folder_falls_back_to_user_data_folder(child, tmp_path, base):
    child.data_dir.write_text("not a folder")
    root = tmp_path / "user"
    if base == "xdg":
        env = {"XDG_DATA_HOME": str(root)}
        expected = root / "vardex" / "trace_data_for_vardex"
    else:
        env = {"XDG_DATA_HOME": "", "HOME": str(root)}
        expected = root / ".local" / "share" / "vardex" / "trace_data_for_vardex"
    first = child.run(FALLBACK_PROBE, env=env).stdout
    assert first == f"{expected}\nTrue\n{expected}|{expected}|{expected}\n"
    assert sorted(os.listdir(expected)) == ["simple_mode.txt", "trace_result.txt"]
    (expected / "trace_result.txt").write_text("kept")
    assert child.run(FALLBACK_PROBE, env=env).stdout == first
    assert (expected / "trace_result.txt").read_text() == "kept"
    assert child.data_dir.read_text() == "not a folder"
