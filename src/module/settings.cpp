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
    py::object f = builtin_open()(path, "r", py::arg("encoding") = "utf-8");
    py::object c;
    try {
        c = f.attr("read")(1);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return c.cast<std::string>();
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
    py::object root = g("tk").attr("Tk")();
    g("SimpleGUIApp")(root);
    root.attr("mainloop")();
}

void main_entry() {
    py::object os = g("os");
    py::object sys = g("sys");
    py::object cwd = os.attr("getcwd")();
    py::object parser = g("argparse").attr("ArgumentParser")(
        py::arg("description") =
            "vardex: watch variables, lists and class attributes of a Python project "
            "while it runs, and report every change with its caller chain.");
    parser.attr("add_argument")("file", py::arg("nargs") = "?",
                                py::arg("type") = py::module_::import("builtins").attr("str"),
                                py::arg("help") = "Path to the Python file to run");
    py::object args = parser.attr("parse_args")();
    set_g("folder_path", cwd);
    py::object file = args.attr("file");
    if (file.is_none() || !truthy(file)) {
        check_rc(print_line(py::str("Usage: vardex main.py").ptr()));
        sys.attr("exit")(1);
    }
    py::object abs = os.attr("path").attr("abspath")(file);
    if (!truthy(os.attr("path").attr("exists")(abs))) {
        py::print(py::str("Error: File '") + py::str(file) + py::str("' does not exist."));
        sys.attr("exit")(1);
    }
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
    m.def("open_gui", &open_gui);
}

}  // namespace vdx::frame
