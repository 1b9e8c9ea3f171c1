// The two one-character settings files, the command-line entry and the GUI start.
#include "module/module.hpp"

namespace vdx::frame {

namespace {

py::object builtin_open() { return py::module_::import("builtins").attr("open"); }

void ensure_file(const py::object& path) {
    if (!truthy(path.attr("is_file")())) path.attr("touch")();
}

void record_setting(const char* path_global, py::handle value) {
    py::object path = g(path_global);
    ensure_file(path);
    py::object f = builtin_open()(path, "w");
    try {
        f.attr("write")(py::str(value));
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
}

// The first character of the settings file, or "" when it had to be created.
std::string first_char(const char* path_global, bool& created) {
    py::object path = g(path_global);
    created = false;
    if (!truthy(path.attr("is_file")())) {
        path.attr("touch")();
        created = true;
        return {};
    }
    return read_utf8(path, "read", py::make_tuple(1)).cast<std::string>();
}

int read_simple_mode() {
    bool created;
    std::string c = first_char("simple_mode_file_path", created);
    return (!created && c == "0") ? 0 : 1;
}

int read_language() {
    bool created;
    std::string c = first_char("language_select_file_path", created);
    return (!created && c == "1") ? 1 : 0;
}

void open_gui() {
    py::object root;
    try {
        root = g("tk").attr("Tk")();
    } catch (py::error_already_set& e) {
        if (!e.matches(g("tk").attr("TclError"))) throw;
        g("sys").attr("stderr").attr("write")(
            "vardex: no display is available for the window; --var, --list and --class trace without one "
            "(see vardex --help)\n");
        g("sys").attr("exit")(2);
    }
    g("SimpleGUIApp")(root);
    root.attr("mainloop")();
}

void main_entry() {
    py::object os = g("os");
    py::object sys = g("sys");
    py::object cwd = os.attr("getcwd")();
    // Arguments after "--" are the traced program's own.
    py::list argv = sys.attr("argv");
    py::list own, program_args;
    bool after = false;
    for (size_t i = 1; i < py::len(argv); ++i) {
        py::object a = argv[i];
        if (!after && py::isinstance<py::str>(a) && equals(a, py::str("--"))) {
            after = true;
            continue;
        }
        (after ? program_args : own).append(a);
    }
    py::object parser = make_parser();
    py::object args = parser.attr("parse_args")(own);
    if (wants_headless(args)) {
        sys.attr("exit")(run_headless(args, program_args));
        return;
    }
    set_g("folder_path", cwd);
    py::object file = args.attr("file");
    if (file.is_none() || !truthy(file)) {
        py::print("Usage: vardex main.py");
        sys.attr("exit")(1);
    }
    py::object abs = os.attr("path").attr("abspath")(file);
    if (!truthy(os.attr("path").attr("exists")(abs))) {
        py::print(py::str("Error: File '") + py::str(file) + py::str("' does not exist."));
        sys.attr("exit")(1);
    }
    py::object error = g("_data_folder_error");
    if (!error.is_none()) {
        sys.attr("stderr").attr("write")(py::str("vardex: error: ") + py::str(error) + py::str("\n"));
        sys.attr("exit")(1);
    }
    if (!args.attr("project").is_none()) {
        py::object folder = os.attr("path").attr("abspath")(args.attr("project"));
        if (!truthy(os.attr("path").attr("isdir")(folder))) {
            sys.attr("stderr").attr("write")(py::str("vardex: error: --project '") + py::str(args.attr("project")) +
                                             py::str("' is not a folder\n"));
            sys.attr("exit")(2);
        }
        set_g("folder_path", folder);
    } else {
        set_g("folder_path", project_folder_for(abs));
    }
    set_g("program_args", program_args);
    set_g("project_main_file", abs);
    g("open_gui")();
}

}  // namespace

void register_functions(py::module_& m) {
    m.def("record_simple_mode",
          [](py::object mode) { record_setting("simple_mode_file_path", mode); }, py::arg("mode"));
    m.def("read_simple_mode", &read_simple_mode);
    m.def("record_language_selection",
          [](py::object v) { record_setting("language_select_file_path", v); },
          py::arg("language_select"));
    m.def("read_language", &read_language);
    m.def("main", &main_entry);
    // For tests in one process: where the tool's own messages go.
    m.def("_redirect_tool_output", &set_tool_output_fd, py::arg("fd"));
    m.def("open_gui", &open_gui);
}

}  // namespace vdx::frame
