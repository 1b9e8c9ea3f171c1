// Starts the traced child: the preamble, then the main file's source.
#include "project/project.hpp"

namespace vdx::project {

namespace {

// Nineteen lines; line L of the main file becomes line L + 19 of "<string>".
// Fields: module folder, classes, variables, lists, main file, project
// folder, line offset, stop lines, echo mode. The three path fields arrive as
// ready-made Python literals.
constexpr const char* kPreamble =
    "\n"
    "import sys\n"
    "import threading\n"
    "sys.path.append({})\n"
    "import vardex\n"
    "vardex.trace_classname_list={}\n"
    "vardex.trace_var_list={}\n"
    "vardex.trace_list_list={}\n"
    "vardex.project_main_file={}\n"
    "vardex.folder_path={}\n"
    "vardex.add_lines_lens={}\n"
    "vardex.trace_stop_list={}\n"
    "vardex.print_directly={}\n"
    "sys.settrace(vardex.trace_fun_class_or_var); sys._getframe().f_trace = vardex.trace_fun_class_or_var\n"
    "original_run = threading.Thread.run\n"
    "def traced_run(*args, **kwargs):\n"
    "    sys.settrace(vardex.trace_fun_class_or_var)\n"
    "    original_run(*args, **kwargs)\n"
    "threading.Thread.run = traced_run\n";

constexpr int kAddLinesLens = 18;

bool plain_text(const py::str& s, bool allow_backslash, bool allow_trailing_backslash) {
    std::string text = s;
    if (!truthy(s.attr("isprintable")())) return false;
    if (text.find('"') != std::string::npos || text.find('\'') != std::string::npos) return false;
    if (!allow_backslash && text.find('\\') != std::string::npos) return false;
    if (!allow_trailing_backslash && !text.empty() && text.back() == '\\') return false;
    return true;
}

// A Python literal of exactly this path, on one line: the quoted form the
// preamble has always used where that is correct, repr() otherwise.
std::string path_literal(py::handle value, const char* prefix, char quote, bool raw) {
    py::str s = py::str(value);
    if (plain_text(s, raw, !raw)) return std::string(prefix) + quote + std::string(s) + quote;
    return py::repr(s);
}

void run_untraced(const char* message) {
    py::object sys = g("sys");
    py::print(message);
    // exec replaces the process: what is still buffered would be lost.
    sys.attr("stdout").attr("flush")();
    sys.attr("stderr").attr("flush")();
    py::object exe = sys.attr("executable");
    g("os").attr("execl")(exe, exe, g("project_main_file"));
}

py::str fill(const py::tuple& fields) {
    return py::str(kPreamble).attr("format")(*fields);
}

void run_python_project() {
    if (!truthy(g("folder_path"))) {
        run_untraced("No folder_path, run without trace now.");
        return;
    }
    g("trace_result_file_path").attr("write_text")("");
    set_g("add_lines_lens", py::int_(kAddLinesLens));
    py::object ospath = g("os").attr("path");
    py::object folder = ospath.attr("dirname")(ospath.attr("abspath")(g("__file__")));
    auto fields = [&](bool windows) {
        const char* prefix = windows ? "r" : "";
        return py::make_tuple(path_literal(folder, "r", '\'', true), g("trace_classname_list"),
                              g("trace_var_list"), g("trace_list_list"),
                              path_literal(g("project_main_file"), prefix, '"', windows),
                              path_literal(g("folder_path"), prefix, '"', windows),
                              g("add_lines_lens"), g("trace_stop_list"), g("print_directly"));
    };
    py::str posix = fill(fields(false));
    py::str windows = fill(fields(true));
    if (!truthy(g("trace_classname_list")) && !truthy(g("trace_list_list")) &&
        !truthy(g("trace_var_list"))) {
        run_untraced("No trace info selected, run without trace now.");
        return;
    }
    py::object user_code = read_utf8(g("project_main_file"), "read");
    py::object os = g("os");
    bool nt = std::string(py::str(os.attr("name"))) == "nt";
    py::object code = (nt ? windows : posix) + user_code;
    py::object sys = g("sys");
    py::list cmd;
    cmd.append(sys.attr("executable"));
    cmd.append("-u");
    cmd.append("-c");
    cmd.append(code);
    py::object popen = g("subprocess").attr("Popen");
    if (nt) {
        popen(cmd, py::arg("stdout") = sys.attr("stdout"), py::arg("stderr") = sys.attr("stderr"),
              py::arg("text") = true);
    } else {
        popen(cmd, py::arg("stdout") = sys.attr("stdout"), py::arg("stderr") = sys.attr("stderr"),
              py::arg("text") = true, py::arg("preexec_fn") = os.attr("setsid"));
    }
}

}  // namespace

void register_runner(py::module_& m) { m.def("run_python_project", &run_python_project); }

}  // namespace vdx::project
