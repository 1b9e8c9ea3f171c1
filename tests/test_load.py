"""Loading the module: imports, globals, data folder, classes."""
import ast
import importlib
import json
import os
import re

import pytest

IMPORTS = {"tk": "tkinter", "messagebox": "tkinter.messagebox", "Checkbutton": "tkinter:Checkbutton",
           "StringVar": "tkinter:StringVar", "ttk": "tkinter.ttk", "filedialog": "tkinter.filedialog",
           **{n: n for n in "os sys json argparse tempfile re subprocess".split()},
           "Path": "pathlib:Path", "ast": "ast", "inspect": "inspect", "copy": "copy",
           "unparse": "ast:unparse"}
# Module globals in load order with their initial values (None: a compiled pattern).
GLOBALS = ast.literal_eval("""[
 ("_line_cache_trace", {}), ("class_filter_lines_dict", {}), ("trace_aim_info_list", []),
 ("trace_aim_files", []), ("trace_line_numbers_combine", []), ("last_trace_lienno", -1),
 ("last_trace_filename", ""), ("last_trace_lineno", -1), ("f_global", ""), ("f_local", ""),
 ("trace_info", {}), ("trace_last_values", {}), ("items_has_to_watch_yourself", {}),
 ("last_values_has_to_watch_yourself", {}), ("deledinfo", {}), ("print_directly", 0),
 ("trace_class_instances_list", []), ("previous_line", ""), ("previous_line_no", 0),
 ("last_record_lineno", []), ("trace_classname_now", ""), ("all_call_stack", []),
 ("trace_lineno_list", []), ("trace_putong_var", False), ("trace_putong_var_checked", False),
 ("trace_files_class_lines_dict", {}), ("watching_instances", []), ("initcheck", 0),
 ("stop_trace", False), ("check_after_creat", 1), ("trace_var_name", 0),
 ("stored_main_lines", []), ("trace_stop_line_numbers", []), ("print_called_function_name", 0),
 ("func_pattern", None), ("exclude_pattern", None), ("subprocess_flag", 1),
 ("trace_classname_list", [["Canvas_row", ["$item.x"]], ["new_canvas_row", ["$item.x", "$item.y"]],
                           ["row1", ["$item.x", "$item.y"]]]),
 ("trace_var_list", []), ("trace_list_list", []), ("trace_key", ""), ("project_main_file", ""),
 ("folder_path", ""), ("add_lines_lens", 0), ("trace_stop_list", []),
 ("trace_target_line_list", []), ("trace_type_class", 1),
 ("trace_class_typy_name", "item_line_created"), ("trace_class_var_condition", ["", ""]),
 ("trace_class_addincheck_condition", "1"), ("trace_class_Filter_report_condition", ["1"]),
 ("class_map", {})]""")
PATHS = ["data_dir", "data_store_folder", "trace_result_file_path", "simple_mode_file_path",
         "language_select_file_path"]

# A fresh module's names in dict order, its plain globals, and whether every
# list and dict among them (nested ones included) is a separate object.
DUMP = """
import json, vardex
plain = {n: getattr(vardex, n) for n in %r}
def walk(v):
    if isinstance(v, (list, dict)):
        yield v
        for x in (v if isinstance(v, list) else ()):
            yield from walk(x)
objs = [o for v in plain.values() for o in walk(v)]
print(json.dumps({"names": list(vars(vardex)), "plain": plain,
                  "types": [type(v).__name__ for v in plain.values()],
                  "distinct": len({id(o) for o in objs}) == len(objs)}))
""" % ([n for n, v in GLOBALS if v is not None],)


def test_first_load_creates_result_and_mode_files_only(child):
    child.run("import vardex")
    assert sorted(os.listdir(child.data_dir)) == ["simple_mode.txt", "trace_result.txt"]
    assert all(p.read_bytes() == b"" for p in child.data_dir.iterdir())


def test_second_load_leaves_existing_files_untouched(child):
    child.run("import vardex")
    files = {"trace_result.txt": b"old report\n", "simple_mode.txt": b"0"}
    for name, content in files.items():
        (child.data_dir / name).write_bytes(content)
        os.utime(child.data_dir / name, (1_000_000, 1_000_000))
    child.run("import vardex")
    for name, content in files.items():
        assert (child.data_dir / name).read_bytes() == content
        assert (child.data_dir / name).stat().st_mtime == 1_000_000
    assert not (child.data_dir / "language.txt").exists()


# Made when first used: the standard modules and what needs them.
LAZY = {*IMPORTS} - {"os", "sys"} | {"func_pattern", "exclude_pattern", "trace_result_file_path",
                                     "simple_mode_file_path", "language_select_file_path",
                                     "VariableModificationVisitor", "PlaceholderEntry"}


def test_globals_exist_in_load_order_as_fresh_objects(child):
    dump = json.loads(child.run(DUMP).stdout)
    names, table = dump["names"], [n for n, _ in GLOBALS if n not in LAZY]
    assert [n for n in names if n in table] == table
    order = [names.index(n) for n in ["os", "sys", *table, "data_dir", "data_store_folder", "record_simple_mode"]]
    assert order == sorted(order)
    plain = {n: v for n, v in GLOBALS if v is not None}
    assert dump["plain"] == plain
    assert dump["types"] == [type(v).__name__ for v in plain.values()]
    assert dump["distinct"]


def test_loading_imports_no_standard_module_until_it_is_used(child):
    out = child.run("""
        import sys
        before = set(sys.modules)
        import vardex
        new = sorted(set(sys.modules) - before - {"vardex"})
        lazy = sorted(n for n in %r if n in vars(vardex))
        print(new, lazy)
        tk = vardex.tk
        print("tkinter" in sys.modules, "tk" in vars(vardex), "tk" in dir(vardex), "Path" in dir(vardex))
        """ % (sorted(LAZY),)).stdout.splitlines()
    assert out == ["[] []", "True True True True"]


def test_import_names(vardex_module):
    for name, target in IMPORTS.items():
        module, _, attr = target.partition(":")
        obj = importlib.import_module(module)
        assert getattr(vardex_module, name) is (getattr(obj, attr) if attr else obj), name


@pytest.mark.parametrize("name, text", [("func_pattern", r"\b\w+\s*\("),
                                        ("exclude_pattern", r"\brange\s*\(")])
def test_compiled_patterns(vardex_module, name, text):
    pattern = getattr(vardex_module, name)
    assert isinstance(pattern, re.Pattern)
    assert (pattern.pattern, pattern.flags) == (text, re.UNICODE)


def test_classes_and_their_bases(vardex_module):
    from tkinter import ttk
    bases = {"ObservableList_for_trace": list, "ObservableListDescriptor": object,
             "VariableModificationVisitor": ast.NodeVisitor, "PlaceholderEntry": ttk.Combobox,
             "SimpleGUIApp": object}
    for name, base in bases.items():
        cls = getattr(vardex_module, name)
        assert (cls.__name__, cls.__bases__) == (name, (base,))
    assert vardex_module.SimpleGUIApp.history_file_path == ""


def test_data_paths_beside_module(vardex_module):
    vx = vardex_module
    folder = os.path.join(os.path.dirname(os.path.abspath(vx.__file__)), "trace_data_for_vardex")
    assert type(vx.data_dir) is str and vx.data_dir == vx.data_store_folder == folder
    assert vx.language_select_file_path == vx.Path(folder) / "language.txt"
    assert vx.simple_mode_file_path == vx.Path(folder) / "simple_mode.txt"


FALLBACK_PROBE = """
import vardex as v
print(v.data_dir, v.data_store_folder, v.trace_result_file_path.parent,
      v.simple_mode_file_path.parent, v.language_select_file_path.parent, sep="|")
"""


@pytest.mark.parametrize("base", ["xdg", "home"])
def test_unwritable_module_folder_falls_back_to_user_data_folder(child, tmp_path, base):
    child.data_dir.write_text("not a folder")
    root = tmp_path / "user"
    if base == "xdg":
        env, expected = {"XDG_DATA_HOME": str(root)}, root / "vardex/trace_data_for_vardex"
    else:
        env = {"XDG_DATA_HOME": "", "HOME": str(root)}
        expected = root / ".local/share/vardex/trace_data_for_vardex"
    first = child.run(FALLBACK_PROBE, env=env).stdout
    assert first == "|".join([str(expected)] * 5) + "\n"
    assert sorted(os.listdir(expected)) == ["simple_mode.txt", "trace_result.txt"]
    (expected / "trace_result.txt").write_text("kept")
    assert child.run(FALLBACK_PROBE, env=env).stdout == first
    assert (expected / "trace_result.txt").read_text() == "kept"
