"""The window, driven through its widgets on a real Tk display (Xvfb): both
languages and modes, rows, the data and history files, the conversion of
rows into the trace configuration, the result commands and a full run."""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from traced_runs import RUN, write

ZH_RUN = "\u8fd0\u884c"
SIMPLE_ZH = "\u8f93\u5165\u4efb\u610f\u7c7b\u578b\u7684n\u4e2a\u53d8\u91cf\u540d"
CLASS_KEYS = ["Input Class Names", "Input Var Names", "Input List Names", "Input instance Names"]


@pytest.fixture
def gui(vardex_module, display, tmp_path, monkeypatch):
    """Builds windows on fresh data-folder files; closes them afterwards."""
    import tkinter as tk
    vx = vardex_module
    folder = Path(vx.data_store_folder)
    for name in ("data.txt", "history.txt", "language.txt", "data.txt.bad", "history.txt.bad",
                 "trace_result.txt"):
        (folder / name).unlink(missing_ok=True)
    (folder / "trace_result.txt").touch()
    project = tmp_path / "proj"
    project.mkdir()
    (project / "main.py").write_text("x = 1\nx = 2\nprint(x)\n", encoding="utf-8")
    monkeypatch.setattr(vx, "project_main_file", str(project / "main.py"))
    monkeypatch.setattr(vx, "folder_path", str(project))
    monkeypatch.setattr(vx, "trace_result_file_path", folder / "trace_result.txt")
    monkeypatch.setattr(vx, "main_file_as_given", "")
    monkeypatch.setattr(vx, "program_args", [])
    for name in ("trace_classname_list", "trace_var_list", "trace_list_list", "trace_stop_list",
                 "trace_target_line_list"):
        monkeypatch.setattr(vx, name, [])
    monkeypatch.setattr(vx, "print_directly", 0)
    roots = []

    def make(simple=0, language=0):
        if language is not None:
            (folder / "language.txt").write_text(str(language))
        vx.record_simple_mode(simple)
        root = tk.Tk()
        roots.append(root)
        app = vx.SimpleGUIApp(root)
        root.update()
        return root, app

    make.vx = vx
    make.folder = folder
    make.project = project
    yield make
    for root in roots:
        try:
            root.destroy()
        except tk.TclError:
            pass


def shown(widget):
    return bool(widget.winfo_ismapped())


def button_texts(app, frame):
    return [w.cget("text") for w in getattr(app, frame).pack_slaves()]


def test_full_mode_shows_every_control_in_four_rows(gui):
    root, app = gui(simple=0)
    assert root.title() == f"vardex   main.py   {gui.project}"
    assert button_texts(app, "button_frame") == ["Run", "Add Class/Vars", "Add stop line", "And Print",
                                                 "Actual values"]
    assert button_texts(app, "button_frame2") == ["Show trace result(time sequence)",
                                                  "Show trace result(instances sequence)",
                                                  "Print in terminal(instances sequence)"]
    assert button_texts(app, "button_frame3") == ["Save Trace Data", "Open history trace info to edit",
                                                  "Clear watch info before"]
    assert button_texts(app, "button_frame4") == ["Toggle Simple/Fast Mode", "Usage Instructions", "Attention",
                                                  "Video", "Contact"]
    # The scrollable area on top, then the four frames in order.
    ys = [getattr(app, f).winfo_y() for f in ("button_frame", "button_frame2", "button_frame3", "button_frame4")]
    assert app.main_frame.winfo_y() < ys[0] < ys[1] < ys[2] < ys[3]
    assert len(app.entries) == 1 and list(app.entries[0][0]) == CLASS_KEYS
    # Natural size, centred.
    w, h = root.winfo_width(), root.winfo_height()
    assert w >= app.scrollable_frame.winfo_reqwidth() and h > 100
    assert abs(root.winfo_x() - (root.winfo_screenwidth() // 2 - w // 2)) <= 1


def test_simple_mode_is_280_by_350_with_run_and_mode_buttons(gui):
    root, app = gui(simple=1)
    assert (root.winfo_width(), root.winfo_height()) == (280, 350)
    visible = [w.cget("text") for f in ("button_frame", "button_frame2", "button_frame3", "button_frame4")
               for w in getattr(app, f).pack_slaves()]
    assert visible == ["Run", "Toggle Simple/Fast Mode"]
    [(entry_map, var, _)] = app.entries
    assert list(entry_map) == ["Input Var Names"] and var.get() == "1"
    assert entry_map["Input Var Names"].get() == "Input variable names of all types"


def test_chinese_window_and_the_first_start_question(gui, monkeypatch):
    asked = []
    monkeypatch.setattr(gui.vx.messagebox, "askquestion", lambda *a: asked.append(a) or "no")
    root, app = gui(simple=1, language=None)
    assert asked == [("Select Language", "Please select a language:\n\nYes\uff08English\uff09\n\nNo\uff08\u4e2d\u6587\uff09")]
    assert (gui.folder / "language.txt").read_text() == "1" and app.language == 1
    assert app.ok_button.cget("text") == ZH_RUN
    assert app.entries[0][0]["Input Var Names"].get() == SIMPLE_ZH
    app.toggle_mode()
    root.update()
    assert app.add_class_button.cget("text") == "\u6dfb\u52a0\u7c7b/\u53d8\u91cf"
    assert app.clear_info_button.cget("text") == "\u6e05\u9664\u4e4b\u524d\u7684\u76d1\u89c6\u4fe1\u606f"
    assert app.observe_check.cget("text") == "\u5b9e\u9645\u503c"
    # Row texts stay English.
    assert app.entries[0][0]["Input Class Names"].get() == "Input Class Names"


def test_toggling_twice_restores_the_mode_and_the_saved_rows(gui):
    root, app = gui(simple=0)
    app.entries[0][0]["Input Class Names"].set("Cart")
    app.save_button.invoke()
    app.entries[0][0]["Input Class Names"].set("typed, not saved")
    before = [button_texts(app, f) for f in ("button_frame", "button_frame2", "button_frame3", "button_frame4")]
    app.toggle_mode_button.invoke()
    root.update()
    assert (root.winfo_width(), root.winfo_height()) == (280, 350)
    assert (gui.folder / "simple_mode.txt").read_text() == "1"
    app.toggle_mode_button.invoke()
    root.update()
    assert (gui.folder / "simple_mode.txt").read_text() == "0"
    assert [button_texts(app, f) for f in ("button_frame", "button_frame2", "button_frame3", "button_frame4")] == before
    assert [e[0]["Input Class Names"].get() for e in app.entries] == ["Cart"]


def test_rows_are_added_and_deleted(gui):
    root, app = gui(simple=0)
    app.add_class_button.invoke()
    app.add_stop_line_button.invoke()
    app.add_class({"class_name": "Widget", "enabled": True})
    root.update()
    assert len(app.entries) == 4
    frames = [e[2] for e in app.entries]
    widget_row = app.entries[3]
    assert [widget_row[0][k].get() for k in CLASS_KEYS] == ["Widget", "", "", ""] and widget_row[1].get() == "1"
    stop = app.entries[2][0]
    assert list(stop) == ["File Path", "Line Number", "Enabled"]
    assert str(stop["File Path"].cget("state")) == "readonly"
    # The "x" of the stop-line row.
    [delete] = [w for w in frames[2].winfo_children() if w.winfo_class() == "TButton" and w.cget("text") == "x"]
    delete.invoke()
    root.update()
    assert [e[2] for e in app.entries] == [frames[0], frames[1], frames[3]]
    assert not frames[2].winfo_exists()
    app.add_trace_line()
    assert "Trace Target Path" in app.entries[-1][0]
    app.clear_entries()
    assert app.entries == [] and app.scrollable_frame.winfo_children() == []


def test_placeholders_turn_grey_and_offer_the_history(gui):
    root, app = gui(simple=1)
    field = app.entries[0][0]["Input Var Names"]
    assert str(field.cget("foreground")) == "grey"
    field.event_generate("<FocusIn>")
    root.update()
    assert field.get() == "" and str(field.cget("foreground")) != "grey"
    field.event_generate("<FocusOut>")
    root.update()
    assert field.get() == "Input variable names of all types" and str(field.cget("foreground")) == "grey"
    # No history file yet: a click changes nothing.
    field.event_generate("<Button-1>")
    assert tuple(field.cget("values")) == ()
    Path(app.history_file_path).write_text(json.dumps({"Input Var Names": ["a", "b c"]}), encoding="utf-8")
    field.load_history()
    assert tuple(field.cget("values")) == ("a", "b c")
    Path(app.history_file_path).write_text("{not json", encoding="utf-8")
    field.load_history()  # no traceback; the drop-down stays
    assert tuple(field.cget("values")) == ("a", "b c")


DATA = {"classes": [{"class_name": "Cart", "var_names": "total, \u4e2d", "list_names": "Input List Names",
                     "instance_names": "cart", "enabled": True}],
        "stop_lines": [{"file_path": "/p/a.py", "line_number": "10, 20", "enabled": False}],
        "top_enable": True, "observe": True}


def test_data_and_history_round_trip_byte_for_byte(gui):
    (gui.folder / "data.txt").write_text(json.dumps(DATA, indent=4), encoding="utf-8")
    root, app = gui(simple=0)
    assert [e[0]["Input Class Names"].get() for e in app.entries[:1]] == ["Cart"]
    assert app.entries[1][0]["Line Number"].get() == "10, 20" and app.top_enable_var.get() == "1"
    assert app.observe_var.get() == "1"
    app.save_button.invoke()
    assert (gui.folder / "data.txt").read_bytes() == json.dumps(DATA, indent=4).encode()
    assert b"\\u4e2d" in (gui.folder / "data.txt").read_bytes()
    history = json.loads((gui.folder / "history.txt").read_text(encoding="utf-8"))
    assert history == {"Input Class Names": ["Cart"], "Input Var Names": ["total, \u4e2d"],
                       "Input List Names": [], "Input instance Names": ["cart"], "File Path": ["/p/a.py"],
                       "Line Number": ["10, 20"]}
    app.save_button.invoke()  # the same values are not added twice
    assert (gui.folder / "history.txt").read_bytes() == json.dumps(history, indent=4).encode()


def test_untouched_window_saves_the_placeholders_and_no_history(gui):
    root, app = gui(simple=0)
    app.save_button.invoke()
    saved = {"classes": [{"class_name": "Input Class Names", "var_names": "Input Var Names",
                          "list_names": "Input List Names", "instance_names": "Input instance Names",
                          "enabled": False}], "stop_lines": [], "top_enable": False, "observe": False}
    assert (gui.folder / "data.txt").read_bytes() == json.dumps(saved, indent=4).encode()
    # A file saved before the "Actual values" box existed loads it unticked.
    del saved["observe"]
    (gui.folder / "data.txt").write_text(json.dumps(saved), encoding="utf-8")
    root, app = gui(simple=0)
    assert app.observe_var.get() == "0" and app.observe_check.cget("text") == "Actual values"
    assert all(v == [] for v in json.loads((gui.folder / "history.txt").read_text()).values())


def test_a_corrupt_data_file_is_kept_aside_and_fresh_rows_shown(gui, capfd, vardex_module):
    previous = vardex_module._redirect_tool_output(2)
    try:
        (gui.folder / "data.txt").write_text("{broken", encoding="utf-8")
        root, app = gui(simple=0)
    finally:
        vardex_module._redirect_tool_output(previous)
    assert (gui.folder / "data.txt.bad").read_text(encoding="utf-8") == "{broken"
    assert not (gui.folder / "data.txt").exists()
    assert len(app.entries) == 1 and app.entries[0][0]["Input Class Names"].get() == "Input Class Names"
    err = capfd.readouterr().err.splitlines()
    assert len([line for line in err if line.startswith("vardex: the saved rows could not be read")]) == 1


def test_a_corrupt_history_is_kept_aside_and_the_run_goes_on(gui, monkeypatch, vardex_module):
    root, app = gui(simple=1)
    Path(app.history_file_path).write_text("[1, 2", encoding="utf-8")
    runs = []
    monkeypatch.setattr(gui.vx, "run_python_project", lambda: runs.append(list(gui.vx.trace_var_list)))
    app.entries[0][0]["Input Var Names"].set("a b")
    previous = vardex_module._redirect_tool_output(2)
    try:
        app.ok_button.invoke()
    finally:
        vardex_module._redirect_tool_output(previous)
    assert runs == [["a", "b"]]
    assert (gui.folder / "history.txt.bad").read_text(encoding="utf-8") == "[1, 2"
    assert json.loads((gui.folder / "history.txt").read_text())["Input Var Names"] == ["a b"]


@pytest.mark.parametrize("rows, expected", [
    # untouched row: nothing
    ([("class", {}, "1")], ([], [], [], [])),
    ([("class", {"Input Class Names": "W"}, "1")], ([["W", [], []]], [], [], [])),
    ([("class", {"Input Class Names": "Widget", "Input Var Names": "x, y", "Input List Names": "items",
                 "Input instance Names": "w1 w2"}, "1")],
     ([["Widget", ["$item.x", "$item.y", "$item.items$List"], ["w1", "w2"]]], [], [], [])),
    ([("class", {"Input Var Names": "a\uff0cb", "Input instance Names": "w", "Input List Names": "l m"}, "1")],
     ([], ["a", "b"], ["l", "m"], [])),
    ([("class", {"Input Class Names": "W", "Input Var Names": "x"}, "0")], ([], [], [], [])),
    ([("class", {"Input Class Names": "W"}, "1"), ("class", {"Input Class Names": "W"}, "1")],
     ([["W", [], []], ["W", [], []]], [], [], [])),
    ([("stop", {"File Path": "/p/a.py", "Line Number": "5,,x, 7"}, "1")], ([], [], [], [["/p/a.py", 5], ["/p/a.py", 7]])),
    ([("stop", {"File Path": "/p/a.py", "Line Number": "x"}, "1")], ([], [], [], [])),
    ([("stop", {"Line Number": "5"}, "1")], ([], [], [], [])),
    ([("stop", {"File Path": "/p/a.py", "Line Number": "5"}, "0")], ([], [], [], [])),
])
def test_rows_convert_into_the_trace_configuration(gui, rows, expected):
    root, app = gui(simple=0)
    app.clear_entries()
    for kind, values, enabled in rows:
        if kind == "class":
            app.add_class()
            entry_map, var, _ = app.entries[-1]
            var.set(enabled)
        else:
            app.add_stop_line()
            entry_map = app.entries[-1][0]
            entry_map["Enabled"].set(enabled)
        for key, value in values.items():
            entry_map[key].set(value)
    app.collect_info_to_run()
    vx = gui.vx
    assert (vx.trace_classname_list, vx.trace_var_list, vx.trace_list_list, vx.trace_stop_list) == expected
    assert vx.print_directly is False and vx.trace_target_line_list == []


def test_simple_mode_conversion(gui):
    root, app = gui(simple=1)
    app.simple_collect_info_to_run()
    assert gui.vx.trace_var_list == [] and gui.vx.print_directly == 3
    app.entries[0][0]["Input Var Names"].set("a b  c")
    app.simple_collect_info_to_run()
    vx = gui.vx
    assert (vx.trace_var_list, vx.trace_classname_list, vx.trace_list_list, vx.trace_stop_list) == (
        ["a", "b", "c"], [], [], [])


def test_choosing_a_stop_line_file_keeps_the_project_folder(gui, monkeypatch, tmp_path):
    root, app = gui(simple=0)
    other = tmp_path / "elsewhere"
    other.mkdir()
    starts = []
    answers = iter([str(other / "util.py"), ""])
    monkeypatch.setattr(gui.vx.filedialog, "askopenfilename", lambda **kw: starts.append(kw["initialdir"]) or next(answers))
    app.add_stop_line_button.invoke()
    row = app.entries[-1]
    [select] = [w for w in row[2].winfo_children() if w.winfo_class() == "TButton" and w.cget("text") == "Select py file"]
    select.invoke()
    assert row[0]["File Path"].get() == str(other / "util.py")
    assert str(row[0]["File Path"].cget("state")) == "readonly"
    assert gui.vx.folder_path == str(gui.project)
    select.invoke()  # cancelled: nothing changes
    assert starts == [str(gui.project), str(other)]
    assert row[0]["File Path"].get() == str(other / "util.py")


RESULT = ("-----------------<x>:\n-\u2193--------VALUE CHANGED3 in /p/main.py line 1:x = 1 Variable:x\uff0cfrom None to 1\n"
          "-----------------<__main__.A object at 0x1>:\n\u2193-----------------/p/main.py line 9:f() CALLED:\n"
          "-\u2193--------VALUE CHANGED5 in /p/a.py line 3:self.v = 1\uff0c...\n"
          "-----------------<x>:\n-\u2193--------VALUE CHANGED3 in /p/main.py line 2:x = 2 Variable:x\uff0cfrom 1 to 2\n")


@pytest.fixture
def viewer(gui, monkeypatch, tmp_path):
    """A recording stand-in for the system's viewer."""
    opened = []

    class Recorder:
        def __init__(self, cmd, **kw):
            opened.append((cmd, Path(cmd[-1]).read_text(encoding="utf-8")))

    import shutil
    monkeypatch.setattr(shutil, "which", lambda name: "/usr/bin/" + name)
    monkeypatch.setattr(gui.vx.subprocess, "Popen", Recorder)
    return opened


def test_result_buttons_hand_the_files_to_the_viewer(gui, viewer, capsys):
    (gui.folder / "trace_result.txt").write_text(RESULT, encoding="utf-8")
    root, app = gui(simple=0)
    app.show_record_button.invoke()
    assert viewer[-1] == (["xdg-open", str(gui.folder / "trace_result.txt")], RESULT)
    app.show_record_as_instances_button.invoke()
    grouped = viewer[-1][1].splitlines()
    assert grouped[0] == "\u00a5" * 6 + "Target No.1:" and grouped[1] == "-----------------<x>:"
    assert grouped.count("-----------------<x>:") == 2 and "\u00a5" * 6 + "Target No.2:" in grouped
    capsys.readouterr()
    app.print_in_terminal_button.invoke()
    assert capsys.readouterr().out.splitlines() == grouped
    app.open_history_button.invoke()  # no history yet
    assert capsys.readouterr().out == f"File {gui.folder / 'history.txt'} does not exist.\n"
    for button in (app.tips_button, app.video_button, app.contact_button):
        button.invoke()
    texts = [text for _, text in viewer[-3:]]
    assert "language selection file path is: " in texts[0] and "http" not in "".join(texts)
    assert "README" in texts[1] and "vardex --help" in texts[1]
    app.usage_button.invoke()
    assert viewer[-1][0][0] == "xdg-open"


def test_without_a_viewer_the_file_opens_in_a_window_of_its_own(gui, monkeypatch):
    import shutil
    monkeypatch.setattr(shutil, "which", lambda name: None)
    (gui.folder / "trace_result.txt").write_text(RESULT, encoding="utf-8")
    root, app = gui(simple=0)
    app.show_record_button.invoke()
    root.update()
    [top] = [w for w in root.winfo_children() if w.winfo_class() == "Toplevel"]
    assert top.title() == str(gui.folder / "trace_result.txt")
    [text] = [w for f in top.winfo_children() for w in f.winfo_children() if w.winfo_class() == "Text"]
    assert text.get("1.0", "end-1c") == RESULT and str(text.cget("state")) == "disabled"


def test_clear_keeps_headers_and_refuses_while_a_run_goes_on(gui, capsys):
    (gui.folder / "trace_result.txt").write_text(RESULT, encoding="utf-8")
    root, app = gui(simple=0)
    busy = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
    try:
        app.processes.append(busy)
        app.clear_info_button.invoke()
        assert app.status_label.cget("text") == "a run is still going: the result file was not cleared"
        assert (gui.folder / "trace_result.txt").read_text(encoding="utf-8") == RESULT
    finally:
        busy.kill()
        busy.wait()
    app.clear_info_button.invoke()
    assert (gui.folder / "trace_result.txt").read_text(encoding="utf-8") == (
        "-----------------<x>:\n-----------------<__main__.A object at 0x1>:\n-----------------<x>:\n")
    assert capsys.readouterr().out.endswith(
        "The past trace info cleared, instance name left. You can try 'Show trace result' to check.\n")


def test_run_from_the_window_traces_the_project_and_reports_its_end(gui):
    write(gui.project, {"main.py": """
        class Box:
            def __init__(self):
                self.v = 1
        b = Box()
        b.v = 2
        total = 0
        for i in range(3):
            total += i
        print(total)
        """})
    root, app = gui(simple=0)
    fields = app.entries[0][0]
    fields["Input Class Names"].set("Box")
    fields["Input Var Names"].set("v")
    app.entries[0][1].set("1")
    app.add_class()
    app.entries[1][0]["Input Var Names"].set("total")
    app.entries[1][1].set("1")
    app.observe_check.invoke()  # "Actual values": reports after each statement
    app.ok_button.invoke()
    assert app.status_label.cget("text") == "running ..."
    result = gui.folder / "trace_result.txt"
    deadline = time.monotonic() + 60
    done = []

    def check():
        if app.status_label.cget("text").startswith("run ended") or time.monotonic() > deadline:
            done.append(True)
            root.quit()
        else:
            root.after(100, check)

    root.after(100, check)
    root.mainloop()
    status = app.status_label.cget("text")
    assert status.startswith("run ended with exit status 0; "), status
    text = result.read_text(encoding="utf-8")
    reports = [line for line in text.splitlines() if line.startswith("-\u2193")]
    assert status == f"run ended with exit status 0; {len(reports)} reports in trace_result.txt"
    assert any("Class Created9-Box" in r for r in reports), text
    assert any("VALUE CHANGED5" in r and "from [1] to [2]" in r for r in reports)
    # Only the passes that changed total, with the value each really gave.
    assert [r.split("Variable:total")[1] for r in reports if "Variable:total" in r] == [
        "\uff0cfrom None to 0", "\uff0cfrom 0 to 1", "\uff0cfrom 1 to 3"]
    # Restarting the window brings the rows back.
    root2, app2 = gui(simple=0)
    assert app2.observe_var.get() == "1"
    assert [e[0]["Input Class Names"].get() for e in app2.entries] == ["Box", "Input Class Names"]
    assert [e[0]["Input Var Names"].get() for e in app2.entries] == ["v", "total"]


def test_window_command_without_a_display_says_so_in_one_line(child):
    write(child.cwd, {"main.py": "print(1)\n"})
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env.update(PYTHONPATH=str(child.module_dir))
    proc = subprocess.run([sys.executable, "-c", RUN, "main.py"], cwd=child.cwd, env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr == ("vardex: no display is available for the window; --var, --list and --class trace "
                           "without one (see vardex --help)\n")


def test_run_pressed_again_while_a_run_goes_on_is_refused_in_the_status_line(gui):
    write(gui.project, {"main.py": "import time\nx = 1\ntime.sleep(3)\nx = 2\n"})
    root, app = gui(simple=1)
    app.entries[0][0]["Input Var Names"].set("x")
    app.ok_button.invoke()
    assert app.status_label.cget("text") == "running ..."
    app.ok_button.invoke()
    assert app.status_label.cget("text") == "not started: the previous run is still writing the result file"
    deadline = time.monotonic() + 60

    def check():
        if not app.processes or time.monotonic() > deadline:
            root.quit()
        else:
            root.after(100, check)

    root.after(100, check)
    root.mainloop()
    assert app.status_label.cget("text") == "run ended with exit status 0; 2 reports in trace_result.txt"


def test_clear_keeps_line_ends_and_a_missing_file_is_said_in_the_status_line(gui):
    result = gui.folder / "trace_result.txt"
    result.write_bytes(b"-----------------<x>:\r\n-\xe2\x86\x93--------r\r\nvalue a\rb\n")
    root, app = gui(simple=0)
    app.clear_info_button.invoke()
    assert result.read_bytes() == b"-----------------<x>:\r\nvalue a\rb\n"
    result.unlink()
    app.clear_info_button.invoke()
    assert app.status_label.cget("text").startswith("the result file could not be cleared: ")


def test_line_numbers_take_only_decimal_digits(gui):
    root, app = gui(simple=0)
    app.add_stop_line_with_data({"file_path": "/p/a.py", "line_number": "\u00b2, 4, \u0663", "enabled": True})
    app.collect_info_to_run()
    assert gui.vx.trace_stop_list == [["/p/a.py", 4], ["/p/a.py", 3]]


def test_a_viewer_that_fails_leaves_the_file_to_the_own_window(gui, monkeypatch, tmp_path):
    import shutil
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "xdg-open").write_text("#!/bin/sh\nexit 3\n")
    (fake / "xdg-open").chmod(0o755)
    monkeypatch.setenv("PATH", f"{fake}{os.pathsep}{os.environ['PATH']}")
    (gui.folder / "trace_result.txt").write_text(RESULT, encoding="utf-8")
    root, app = gui(simple=0)
    app.show_record_button.invoke()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not [w for w in root.winfo_children() if w.winfo_class() == "Toplevel"]:
        root.update()
        time.sleep(0.05)
    [top] = [w for w in root.winfo_children() if w.winfo_class() == "Toplevel"]
    assert top.title() == str(gui.folder / "trace_result.txt")


def test_the_first_start_question_is_asked_without_an_empty_window_beside_it(gui, monkeypatch):
    import tkinter as tk
    seen = []

    def ask(*args):
        root = tk._default_root
        root.update()  # the real dialog runs the event loop while it waits
        seen.append((root.state(), bool(root.winfo_ismapped())))
        return "yes"

    monkeypatch.setattr(gui.vx.messagebox, "askquestion", ask)
    root, app = gui(simple=1, language=None)
    assert seen == [("withdrawn", False)]
    # Shown once built.
    assert root.state() == "normal" and root.winfo_ismapped() and app.language == 0


def own_window(root):
    [top] = [w for w in root.winfo_children() if w.winfo_class() == "Toplevel"]
    return top


def test_the_own_text_window_scrolls_long_lines_sideways(gui, monkeypatch):
    import shutil
    monkeypatch.setattr(shutil, "which", lambda name: None)
    long_line = "-\u2193--------VALUE CHANGED3 in /p/main.py line 1:x = 1 Variable:x\uff0cfrom None to " + "9" * 600
    (gui.folder / "trace_result.txt").write_text(long_line + "\n", encoding="utf-8")
    root, app = gui(simple=0)
    app.show_record_button.invoke()
    root.update()
    top = own_window(root)
    [frame] = top.winfo_children()
    [text] = [w for w in frame.winfo_children() if w.winfo_class() == "Text"]
    [side] = [w for w in frame.winfo_children() if w.winfo_class() == "TScrollbar"
              and str(w.cget("orient")) == "horizontal"]
    assert str(text.cget("wrap")) == "none" and side.winfo_ismapped()
    # The bar follows the text, and moves it.
    first, last = text.xview()
    assert first == 0.0 and last < 0.5
    assert side.get() == pytest.approx((first, last))
    side.tk.call(side.cget("command"), "moveto", 1.0)
    root.update()
    assert text.xview()[1] == 1.0 and side.get()[1] == pytest.approx(1.0)
    assert side.winfo_y() > text.winfo_y() + text.winfo_height() - 1


def test_a_long_status_wraps_within_the_simple_window(gui):
    root, app = gui(simple=1)
    label = app.status_label
    label.configure(text="running ...")
    root.update()
    one_line = label.winfo_height()
    label.configure(text="run ended with exit status 0; 8101 reports in trace_result.txt (stop line "
                         "/home/someone/projects/shop/pricing.py:99 can never be reached: line 99 is past the "
                         "end of the file (40 lines))")
    root.update()
    assert (root.winfo_width(), root.winfo_height()) == (280, 350)
    assert label.winfo_reqwidth() <= 280 and label.winfo_width() <= 280
    assert label.winfo_height() >= 3 * one_line
    assert label.winfo_y() + label.winfo_height() <= 350
    # In full mode it wraps at the window's width.
    app.toggle_mode()
    root.update()
    assert label.winfo_reqwidth() <= root.winfo_width() and label.winfo_height() < 3 * one_line


def test_temporary_files_are_removed_when_the_window_closes(gui, viewer, tmp_path):
    import tempfile
    (gui.folder / "trace_result.txt").write_text(RESULT, encoding="utf-8")
    stranger = tempfile.NamedTemporaryFile(delete=False, suffix=".txt")
    stranger.close()
    try:
        root, app = gui(simple=0)
        for button in (app.tips_button, app.video_button, app.contact_button, app.usage_button,
                       app.show_record_as_instances_button, app.show_record_button):
            button.invoke()
        shown = [Path(cmd[-1]) for cmd, _ in viewer]
        assert len(shown) == 6 and all(path.exists() for path in shown)
        made = shown[:5]
        assert all(path.parent == Path(tempfile.gettempdir()) for path in made)
        with pytest.raises(SystemExit):
            app.on_closing()
        assert [path for path in made if path.exists()] == []
        # Files it did not make stay.
        assert shown[5] == gui.folder / "trace_result.txt" and shown[5].read_text(encoding="utf-8") == RESULT
        assert Path(stranger.name).exists()
    finally:
        os.unlink(stranger.name)


def test_the_own_text_window_removes_its_temporary_file_when_closed(gui, monkeypatch):
    import shutil
    monkeypatch.setattr(shutil, "which", lambda name: None)
    (gui.folder / "trace_result.txt").write_text(RESULT, encoding="utf-8")
    root, app = gui(simple=0)
    app.tips_button.invoke()
    root.update()
    top = own_window(root)
    shown = Path(top.title())
    assert shown.exists() and "language selection file path is: " in shown.read_text(encoding="utf-8")
    top.destroy()
    assert not shown.exists()
    # The result file shown the same way is not the window's to remove.
    app.show_record_button.invoke()
    root.update()
    own_window(root).destroy()
    assert (gui.folder / "trace_result.txt").read_text(encoding="utf-8") == RESULT


def test_temporary_files_are_removed_when_the_interpreter_exits(child):
    proc = child.run("""
        import os, vardex
        shown = []
        vardex.open_txt_file = shown.append
        vardex.show_record_as_instances()
        vardex.open_usage()
        assert len(shown) == 2 and all(os.path.isfile(path) for path in shown), shown
        for path in shown:
            print("shown", path)
        """)
    shown = [line.split(" ", 1)[1] for line in proc.stdout.splitlines() if line.startswith("shown ")]
    assert len(shown) == 2
    assert [path for path in shown if os.path.exists(path)] == []


def wait_for_the_run(root, app, seconds=60):
    deadline = time.monotonic() + seconds

    def check():
        if app.status_label.cget("text").startswith("run ended") or time.monotonic() > deadline:
            root.quit()
        else:
            root.after(100, check)

    root.after(100, check)
    root.mainloop()


def test_a_stop_line_that_can_never_be_reached_is_said_in_the_status_line_and_the_run_goes_on(gui):
    write(gui.project, {"main.py": """
        x = 1

        x = 2
        print(x)
        """})
    main = gui.project / "main.py"
    root, app = gui(simple=0)
    app.entries[0][0]["Input Var Names"].set("x")
    app.entries[0][1].set("1")
    app.add_stop_line_with_data({"file_path": str(main), "line_number": "2, 99", "enabled": True})
    app.ok_button.invoke()
    lines = len(main.read_text(encoding="utf-8").splitlines())
    note = (f" (stop line {main}:2 can never be reached: line 2 holds no code; "
            f"stop line {main}:99 can never be reached: line 99 is past the end of the file ({lines} lines))")
    assert app.status_label.cget("text") == "running ..." + note
    wait_for_the_run(root, app)
    text = (gui.folder / "trace_result.txt").read_text(encoding="utf-8")
    reports = [line for line in text.splitlines() if line.startswith("-\u2193")]
    assert len(reports) == 2, text
    assert app.status_label.cget("text") == "run ended with exit status 0; 2 reports in trace_result.txt" + note
    # The rows stay as they were.
    assert app.entries[-1][0]["Line Number"].get() == "2, 99" and app.entries[-1][0]["Enabled"].get() == "1"


def test_attention_says_the_main_file_runs_under_its_own_path(gui, viewer):
    root, app = gui(simple=0)
    app.tips_button.invoke()
    text = viewer[-1][1]
    assert "<string>" not in text and "from 20" not in text
    assert text.startswith("The main file runs under its own path and with its own line numbers: tracebacks, "
                           "warnings and reports all name it by its path.\n")
