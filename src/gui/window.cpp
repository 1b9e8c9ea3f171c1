// The main window: construction, geometry, the information buttons, the
// language question and the switch between simple and full mode.
#include "gui/gui_util.hpp"
#include "results/results.hpp"

namespace vdx::gui {

namespace {

struct Control {
    const char* attr;
    const char* frame;
    const char* en;
    const char* zh;
    const char* action;  // nullptr: a check box on the variable `var`
    bool expand;
    const char* var = nullptr;
};

const Control kControls[] = {
    {"ok_button", "button_frame", "Run", "\u8fd0\u884c", "ok", true},
    {"add_class_button", "button_frame", "Add Class/Vars", "\u6dfb\u52a0\u7c7b/\u53d8\u91cf", "add_class", true},
    {"add_stop_line_button", "button_frame", "Add stop line", "\u6dfb\u52a0\u505c\u6b62\u884c", "add_stop_line",
     true},
    {"enable_check", "button_frame", "And Print", "\u5e76\u6253\u5370", nullptr, false, "top_enable_var"},
    // Reports of variables and lists made after each statement, with the
    // value it really gave, instead of before it with a predicted one.
    {"observe_check", "button_frame", "Actual values", "\u5b9e\u9645\u503c", nullptr, false, "observe_var"},
    {"show_record_button", "button_frame2", "Show trace result(time sequence)",
     "\u663e\u793a\u8ffd\u8e2a\u7ed3\u679c\uff08\u65f6\u95f4\u987a\u5e8f\uff09", "show_record", true},
    {"show_record_as_instances_button", "button_frame2", "Show trace result(instances sequence)",
     "\u663e\u793a\u8ffd\u8e2a\u7ed3\u679c\uff08\u5b9e\u4f8b\u987a\u5e8f\uff09", "show_record_as_instances", true},
    {"print_in_terminal_button", "button_frame2", "Print in terminal(instances sequence)",
     "\u5728\u7ec8\u7aef\u6253\u5370\uff08\u5b9e\u4f8b\u987a\u5e8f\uff09", "print_in_terminal", true},
    {"save_button", "button_frame3", "Save Trace Data", "\u4fdd\u5b58\u6570\u636e", "save_data", true},
    {"open_history_button", "button_frame3", "Open history trace info to edit",
     "\u6253\u5f00\u5386\u53f2\u8bb0\u5f55\u8fdb\u884c\u7f16\u8f91", "open_history", true},
    {"clear_info_button", "button_frame3", "Clear watch info before",
     "\u6e05\u9664\u4e4b\u524d\u7684\u76d1\u89c6\u4fe1\u606f", "clear_info", true},
    {"toggle_mode_button", "button_frame4", "Toggle Simple/Fast Mode",
     "\u5207\u6362\u7b80\u6613/\u5feb\u901f\u6a21\u5f0f", "toggle_mode", true},
    {"usage_button", "button_frame4", "Usage Instructions", "\u4f7f\u7528\u8bf4\u660e", "show_usage_instructions",
     true},
    {"tips_button", "button_frame4", "Attention", "\u6ce8\u610f\u4e8b\u9879", "Tips", false},
    {"video_button", "button_frame4", "Video", "\u89c6\u9891", "video_url", false},
    {"contact_button", "button_frame4", "Contact", "\u8054\u7cfb", "contactme", false},
};

// Hidden in simple mode, in the order they are forgotten and packed again.
const char* const kHidden[] = {"add_class_button",  "add_stop_line_button", "enable_check", "observe_check",
                               "save_button",       "open_history_button",  "show_record_button",
                               "show_record_as_instances_button",           "print_in_terminal_button",
                               "clear_info_button", "usage_button",         "tips_button",
                               "video_button",      "contact_button"};

// Room kept on each side of the status line's wrapped text.
constexpr int kStatusInset = 2;

void pack_control(py::object widget, bool is_check, bool expand) {
    if (is_check)
        widget.attr("pack")(py::arg("side") = "left", py::arg("padx") = 10);
    else
        widget.attr("pack")(py::arg("side") = "left", py::arg("fill") = "x", py::arg("expand") = expand);
}

// The status line wraps within its own width, which follows the window's.
void wrap_status(py::object event) {
    int width = event.attr("width").cast<int>();
    if (width <= 1) return;  // not laid out yet
    py::object label = event.attr("widget");
    int wrap = width - 2 * kStatusInset;
    // Unset it reads "", else the number of pixels.
    if (std::string(py::str(label.attr("cget")("wraplength"))) != std::to_string(wrap))
        label.attr("configure")(py::arg("wraplength") = wrap);
}

void window_init(py::object self, py::object master) {
    py::object tk = g("tk"), ttk = g("ttk"), os = g("os");
    self.attr("master") = master;
    // Hidden while it is built, and while the first start's question is
    // asked (shown at the end).
    master.attr("withdraw")();
    py::object language_file = g("language_select_file_path");
    if (truthy(language_file.attr("is_file")())) {
        self.attr("language") = g("read_language")();
    } else {
        language_file.attr("touch")();
        self.attr("select_language")();
    }
    // Laid out now, so that sizes read later are the real ones even before
    // the window is first shown.
    master.attr("update_idletasks")();
    master.attr("protocol")("WM_DELETE_WINDOW", self.attr("on_closing"));
    master.attr("title")(py::str("vardex   ") + py::str(os.attr("path").attr("basename")(g("project_main_file"))) +
                         py::str("   ") + py::str(g("folder_path")));
    self.attr("entries") = py::list();
    self.attr("simple_mode") = g("read_simple_mode")();
    self.attr("data_store_folder") = self.attr("get_data_store_folder")();
    self.attr("data_file_path") = self.attr("get_data_file_path")();
    g("SimpleGUIApp").attr("history_file_path") = self.attr("get_history_file_path")();
    self.attr("processes") = py::list();
    self.attr("last_dialog_folder") = g("folder_path");

    py::object main_frame = ttk.attr("Frame")(master);
    self.attr("main_frame") = main_frame;
    main_frame.attr("pack")(py::arg("fill") = "both", py::arg("expand") = true);
    py::object canvas = tk.attr("Canvas")(main_frame, py::arg("bd") = 0, py::arg("highlightthickness") = 0);
    self.attr("canvas") = canvas;
    py::object scrollable = ttk.attr("Frame")(canvas);
    self.attr("scrollable_frame") = scrollable;
    py::object scrollbar =
        ttk.attr("Scrollbar")(main_frame, py::arg("orient") = "vertical", py::arg("command") = canvas.attr("yview"));
    self.attr("scrollbar") = scrollbar;
    canvas.attr("configure")(py::arg("yscrollcommand") = scrollbar.attr("set"));
    scrollbar.attr("pack")(py::arg("side") = "right", py::arg("fill") = "y");
    canvas.attr("pack")(py::arg("side") = "left", py::arg("fill") = "both", py::arg("expand") = true);
    self.attr("canvas_frame") =
        canvas.attr("create_window")(py::make_tuple(0, 0), py::arg("window") = scrollable, py::arg("anchor") = "nw");
    scrollable.attr("bind")("<Configure>", self.attr("on_frame_configure"));

    // The status line of runs sits under all button rows.
    py::object status = ttk.attr("Label")(master, py::arg("text") = "", py::arg("anchor") = "w");
    self.attr("status_label") = status;
    status.attr("pack")(py::arg("side") = "bottom", py::arg("fill") = "x");
    // Long texts wrap at the label's width (the window's), not cut off.
    status.attr("bind")("<Configure>", py::cpp_function(&wrap_status));
    for (const char* name : {"button_frame4", "button_frame3", "button_frame2", "button_frame"}) {
        py::object frame = ttk.attr("Frame")(master);
        self.attr(name) = frame;
        frame.attr("pack")(py::arg("side") = "bottom", py::arg("fill") = "x");
    }
    for (const Control& c : kControls) {
        py::object frame = self.attr(c.frame);
        py::object text = tr(self, c.en, c.zh);
        py::object widget;
        if (!c.action) {
            self.attr(c.var) = tk.attr("StringVar")(py::arg("value") = "0");
            widget = tk.attr("Checkbutton")(frame, py::arg("text") = text, py::arg("variable") = self.attr(c.var),
                                            py::arg("onvalue") = "1", py::arg("offvalue") = "0");
        } else {
            widget = ttk.attr("Button")(frame, py::arg("text") = text, py::arg("command") = self.attr(c.action));
        }
        self.attr(c.attr) = widget;
        pack_control(widget, !c.action, c.expand);
    }
    if (truthy(self.attr("simple_mode"))) {
        self.attr("add_simple_class")();
        self.attr("hide_buttons")();
        self.attr("resize_for_simple_mode")();
    } else {
        self.attr("load_data")();
        self.attr("show_buttons")();
    }
    self.attr("center_window")();
    master.attr("deiconify")();
}

void update_geometry(py::object self) {
    py::object master = self.attr("master");
    master.attr("update_idletasks")();
    int needed = self.attr("scrollable_frame").attr("winfo_reqwidth")().cast<int>() +
                 self.attr("scrollbar").attr("winfo_reqwidth")().cast<int>();
    int width = master.attr("winfo_width")().cast<int>();
    if (width < needed)
        master.attr("geometry")(py::str("{}x{}").format(needed, master.attr("winfo_height")()));
}

void center_window(py::object self) {
    py::object master = self.attr("master");
    master.attr("update_idletasks")();
    int w = master.attr("winfo_width")().cast<int>(), h = master.attr("winfo_height")().cast<int>();
    int x = master.attr("winfo_screenwidth")().cast<int>() / 2 - w / 2;
    int y = master.attr("winfo_screenheight")().cast<int>() / 2 - h / 2;
    master.attr("geometry")(py::str("{}x{}+{}+{}").format(w, h, x, y));
    self.attr("update_geometry")();
    // Widened for its rows: centred again at the new width.
    master.attr("update_idletasks")();
    int wider = master.attr("winfo_width")().cast<int>();
    if (wider != w) {
        x = master.attr("winfo_screenwidth")().cast<int>() / 2 - wider / 2;
        master.attr("geometry")(py::str("{}x{}+{}+{}").format(wider, h, x, y));
    }
}

void on_frame_configure(py::object self, py::object) {
    py::object canvas = self.attr("canvas");
    canvas.attr("configure")(py::arg("scrollregion") = canvas.attr("bbox")("all"));
}

// Writes the lines into a new temporary text file and shows it.
py::object show_text(const std::string& text) {
    return g("open_txt_file")(results::temp_text_file([&](py::object f) { f.attr("write")(py::str(text)); }));
}

void tips(py::object self) {
    std::string language_path = py::str(g("language_select_file_path"));
    show_text(std::string("The main file runs under its own path and with its own line numbers: tracebacks, "
                          "warnings and reports all name it by its path.\n") +
              "Rows are saved to data.txt by 'Save Trace Data' and by every run in full mode; what is typed and "
              "not saved is lost when the mode is switched or the window is closed.\n" +
              "language selection file path is: " + language_path + " .\n\n");
    (void)self;
}

void video_url(py::object) {
    show_text("No tutorial video is published for vardex.\n"
              "The README's sections 'Using the window' and 'Using it' walk through a run, and\n"
              "'vardex --help' lists every option of the command line.\n");
}

void contactme(py::object) {
    show_text("vardex is developed with its project repository.\n"
              "Questions, problems and wishes: see the README of the project, and include the command,\n"
              "the output and the result file (trace_data_for_vardex/trace_result.txt) when reporting one.\n");
}

// ------------------------------------------------------------ modes

void select_language(py::object self) {
    py::object answer = g("messagebox").attr("askquestion")(
        "Select Language", "Please select a language:\n\nYes\uff08English\uff09\n\nNo\uff08\u4e2d\u6587\uff09");
    int language = equals(answer, py::str("yes")) ? 0 : 1;
    py::object f = py::module_::import("builtins").attr("open")(g("language_select_file_path"), "w");
    f.attr("write")(language == 0 ? "0" : "1");
    f.attr("close")();
    self.attr("language") = language;
}

void change_language(py::object, py::object language) { g("record_language_selection")(language); }

void hide_buttons(py::object self) {
    for (const char* name : kHidden) self.attr(name).attr("pack_forget")();
}

void show_buttons(py::object self) {
    for (const char* name : kHidden) pack_control(self.attr(name), std::string(name) == "enable_check", true);
}

void hide_extra_button_frames(py::object self) {
    self.attr("button_frame2").attr("pack_forget")();
    self.attr("button_frame3").attr("pack_forget")();
    self.attr("master").attr("update_idletasks")();
    self.attr("master").attr("geometry")("");
}

void show_extra_button_frames(py::object self) {
    self.attr("button_frame").attr("pack_forget")();
    for (const char* name : {"button_frame3", "button_frame2", "button_frame"})
        self.attr(name).attr("pack")(py::arg("side") = "bottom", py::arg("fill") = "x");
    self.attr("master").attr("update_idletasks")();
    self.attr("master").attr("geometry")("");
}

void resize_for_simple_mode(py::object self) {
    self.attr("master").attr("geometry")("280x350");
    self.attr("center_window")();
}

void resize_for_complex_mode(py::object self) {
    self.attr("master").attr("geometry")("");
    self.attr("main_frame").attr("pack_propagate")(true);
    self.attr("center_window")();
}

void toggle_mode(py::object self) {
    int mode = 1 - self.attr("simple_mode").cast<int>();
    self.attr("simple_mode") = mode;
    self.attr("clear_entries")();
    if (mode) {
        self.attr("add_simple_class")();
        self.attr("hide_buttons")();
        self.attr("hide_extra_button_frames")();
        self.attr("resize_for_simple_mode")();
        self.attr("canvas").attr("yview_moveto")(0);
    } else {
        self.attr("show_buttons")();
        self.attr("show_extra_button_frames")();
        self.attr("load_data")();
        self.attr("resize_for_complex_mode")();
    }
    self.attr("scrollable_frame").attr("update_idletasks")();
    py::object canvas = self.attr("canvas");
    canvas.attr("configure")(py::arg("scrollregion") = canvas.attr("bbox")("all"));
    g("record_simple_mode")(mode);
}

}  // namespace

void register_window(py::module_& m) {
    py::dict ns;
    ns["history_file_path"] = "";
    py::object cls = make_class("SimpleGUIApp", py::tuple(), ns);
    method(cls, "__init__", py::cpp_function(&window_init));
    method(cls, "update_geometry", py::cpp_function(&update_geometry));
    method(cls, "center_window", py::cpp_function(&center_window));
    method(cls, "on_frame_configure", py::cpp_function(&on_frame_configure));
    method(cls, "show_usage_instructions", py::cpp_function([](py::object) { g("open_usage")(); }));
    method(cls, "Tips", py::cpp_function(&tips));
    method(cls, "video_url", py::cpp_function(&video_url));
    method(cls, "contactme", py::cpp_function(&contactme));
    method(cls, "select_language", py::cpp_function(&select_language));
    method(cls, "change_language", py::cpp_function(&change_language));
    method(cls, "toggle_mode", py::cpp_function(&toggle_mode));
    method(cls, "hide_buttons", py::cpp_function(&hide_buttons));
    method(cls, "show_buttons", py::cpp_function(&show_buttons));
    method(cls, "hide_extra_button_frames", py::cpp_function(&hide_extra_button_frames));
    method(cls, "show_extra_button_frames", py::cpp_function(&show_extra_button_frames));
    method(cls, "resize_for_simple_mode", py::cpp_function(&resize_for_simple_mode));
    method(cls, "resize_for_complex_mode", py::cpp_function(&resize_for_complex_mode));
    register_rows(m, cls);
    register_storage(m, cls);
    register_run(m, cls);
    m.attr("SimpleGUIApp") = cls;
}

}  // namespace vdx::gui
