// The command line: the window by default, a headless traced run when any
// watch option is given.
#include "module/module.hpp"

namespace vdx::frame {

namespace {

constexpr const char* kEpilog =
    "Without watch options the window opens for FILE.\n"
    "With --var, --list, --class or --stop the project runs traced in this\n"
    "terminal, without a window; the exit status is the program's own.\n"
    "\n"
    "examples:\n"
    "  vardex main.py                          open the window for main.py\n"
    "  vardex main.py --var total,count        watch two variables\n"
    "  vardex main.py --list items --print 1   watch a list, echo every line\n"
    "  vardex main.py --class Cart:total:items:cart\n"
    "                                          watch Cart.total and the list Cart.items\n"
    "                                          on the instance bound to 'cart'\n"
    "  vardex main.py --var x --stop util.py:40,52 --show instances\n"
    "  vardex --show time                      print the last run's result file\n";

py::list name_split(py::handle text) {
    py::list names;
    py::object pieces = py::str(text).attr("replace")("\uff0c", ",").attr("replace")(" ", ",")
                            .attr("split")(",");
    for (auto piece : pieces) {
        py::object s = piece.attr("strip")();
        if (truthy(s)) names.append(s);
    }
    return names;
}

py::list line_split(py::handle text) {
    py::list numbers;
    for (auto piece : name_split(text))
        if (truthy(piece.attr("isdigit")())) numbers.append(py::int_(py::reinterpret_borrow<py::object>(piece)));
    return numbers;
}

[[noreturn]] void usage_error(const std::string& message) {
    py::object sys = g("sys");
    sys.attr("stderr").attr("write")(py::str("vardex: error: " + message + "\n"));
    sys.attr("exit")(2);
    throw py::error_already_set();
}

py::list joined_names(py::handle values) {
    py::list names;
    if (values.is_none()) return names;
    for (auto v : values) names.attr("extend")(name_split(v));
    return names;
}

py::list class_entry(py::handle option) {
    std::string text = py::str(option);
    py::list parts = py::str(option).attr("split")(":");
    if (py::len(parts) > 4 || !truthy(parts[0].attr("isidentifier")()))
        usage_error("bad --class value '" + text + "' (expected CLASS[:VARS[:LISTS[:INSTANCES]]])");
    auto part = [&](size_t i) -> py::object {
        return i < py::len(parts) ? py::object(parts[i]) : py::object(py::str(""));
    };
    py::list attrs;
    for (auto name : name_split(part(1))) attrs.append(py::str("$item.") + py::str(name));
    for (auto name : name_split(part(2)))
        attrs.append(py::str("$item.") + py::str(name) + py::str("$List"));
    py::list entry;
    entry.append(parts[0]);
    entry.append(attrs);
    entry.append(name_split(part(3)));
    return entry;
}

py::list stop_entries(py::handle option) {
    std::string text = py::str(option);
    py::tuple split = py::str(option).attr("rpartition")(":");
    py::object file = split[0];
    py::list numbers = line_split(split[2]);
    if (!truthy(file) || py::len(numbers) == 0)
        usage_error("bad --stop value '" + text + "' (expected FILE:LINES with at least one line number)");
    py::object path = g("os").attr("path").attr("abspath")(file);
    py::list entries;
    for (auto n : numbers) {
        py::list e;
        e.append(path);
        e.append(n);
        entries.append(e);
    }
    return entries;
}

void show_view(const std::string& view) {
    if (view == "instances") {
        g("arr_as_instances_and_show_trace_result")();
    } else if (view == "time") {
        py::object path =
            g("os").attr("path").attr("join")(g("data_store_folder"), "trace_result.txt");
        py::object text = g("Path")(path).attr("read_text")(py::arg("encoding") = "utf-8");
        py::object out = g("sys").attr("stdout");
        out.attr("write")(text);
        out.attr("flush")();
    }
}

// Runs the project through the runner, keeping hold of the child it starts.
int run_and_wait() {
    py::object subprocess = g("subprocess");
    py::object real_popen = subprocess.attr("Popen");
    py::object child = py::none();
    py::cpp_function capture([real_popen, &child](py::args args, py::kwargs kwargs) {
        child = real_popen(*args, **kwargs);
        return child;
    });
    subprocess.attr("Popen") = capture;
    try {
        g("run_python_project")();
    } catch (...) {
        subprocess.attr("Popen") = real_popen;
        throw;
    }
    subprocess.attr("Popen") = real_popen;
    if (child.is_none()) return 0;
    py::object code;
    try {
        code = child.attr("wait")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        // The child leads its own session: pass the interrupt on, then wait.
        py::module_ signal = py::module_::import("signal");
        try {
            g("os").attr("killpg")(child.attr("pid"), signal.attr("SIGINT"));
        } catch (py::error_already_set&) {
        }
        code = child.attr("wait")();
    }
    int status = code.cast<int>();
    return status < 0 ? 128 - status : status;
}

}  // namespace

py::object make_parser() {
    py::object argparse = g("argparse");
    py::object parser = argparse.attr("ArgumentParser")(
        py::arg("prog") = "vardex",
        py::arg("description") =
            "vardex: watch variables, lists and class attributes of a Python project "
            "while it runs, and report every change with its caller chain.",
        py::arg("epilog") = kEpilog,
        py::arg("formatter_class") = argparse.attr("RawDescriptionHelpFormatter"));
    py::object builtins_str = py::module_::import("builtins").attr("str");
    parser.attr("add_argument")("file", py::arg("nargs") = "?", py::arg("type") = builtins_str,
                                py::arg("help") = "Path to the Python file to run");
    parser.attr("add_argument")("--var", py::arg("action") = "append", py::arg("metavar") = "NAMES",
                                py::arg("help") = "variables to watch, separated by commas or blanks "
                                                  "(e.g. --var total,count)");
    parser.attr("add_argument")("--list", py::arg("action") = "append", py::arg("metavar") = "NAMES",
                                py::arg("help") = "list variables whose mutations are watched "
                                                  "(e.g. --list items)");
    parser.attr("add_argument")(
        "--class", py::arg("action") = "append", py::arg("dest") = "classes",
        py::arg("metavar") = "CLASS[:VARS[:LISTS[:INSTANCES]]]",
        py::arg("help") = "a watched class with its attributes, list attributes and instance names; "
                          "repeatable (e.g. --class Cart:total:items:cart)");
    parser.attr("add_argument")("--stop", py::arg("action") = "append", py::arg("metavar") = "FILE:LINES",
                                py::arg("help") = "stop tracing when FILE reaches one of LINES; "
                                                  "repeatable (e.g. --stop util.py:40,52)");
    py::list print_modes;
    for (int mode : {0, 1, 3}) print_modes.append(mode);
    parser.attr("add_argument")("--print", py::arg("type") = py::module_::import("builtins").attr("int"),
                                py::arg("choices") = print_modes, py::arg("default") = py::none(),
                                py::arg("dest") = "print_mode",
                                py::arg("help") = "echo of report lines on the terminal: 0 none, "
                                                  "1 every line as filed, 3 shortened reports (default)");
    py::list views;
    for (const char* v : {"none", "time", "instances"}) views.append(v);
    parser.attr("add_argument")("--show", py::arg("choices") = views, py::arg("default") = py::none(),
                                py::arg("help") = "what to print after the run: the result file in time "
                                                  "order or grouped per watched instance (default none); "
                                                  "without FILE, shows the last run's results");
    return parser;
}

bool wants_headless(const py::object& args) {
    for (const char* name : {"var", "list", "classes", "stop", "print_mode", "show"})
        if (!args.attr(name).is_none()) return true;
    return false;
}

int run_headless(const py::object& args) {
    py::object file = args.attr("file");
    std::string view = args.attr("show").is_none() ? "none" : std::string(py::str(args.attr("show")));
    auto given = [&](const char* name) { return !args.attr(name).is_none(); };
    bool watches = given("var") || given("list") || given("classes");
    if (file.is_none() || !truthy(file)) {
        if (watches || given("stop") || !given("show"))
            usage_error("a main file is needed to run the project traced");
        show_view(view);
        return 0;
    }
    py::object os = g("os");
    py::object path = os.attr("path").attr("abspath")(file);
    std::string typed = py::str(file);
    if (!truthy(os.attr("path").attr("exists")(path)))
        usage_error("main file '" + typed + "' does not exist");
    if (!truthy(os.attr("path").attr("isfile")(path)))
        usage_error("main file '" + typed + "' is not a file");
    // Without a watched name the runner would start the program untraced.
    if (!watches) usage_error("nothing to watch in '" + typed + "': give --var, --list or --class");
    py::list classes, stops;
    if (!args.attr("classes").is_none())
        for (auto option : args.attr("classes")) classes.append(class_entry(option));
    if (!args.attr("stop").is_none())
        for (auto option : args.attr("stop")) stops.attr("extend")(stop_entries(option));

    set_g("folder_path", os.attr("getcwd")());
    set_g("project_main_file", path);
    set_g("trace_classname_list", classes);
    set_g("trace_var_list", joined_names(args.attr("var")));
    set_g("trace_list_list", joined_names(args.attr("list")));
    set_g("trace_stop_list", stops);
    set_g("trace_target_line_list", py::list());
    py::object mode = args.attr("print_mode");
    set_g("print_directly", mode.is_none() ? py::int_(3) : mode);

    py::object sys = g("sys");
    sys.attr("stdout").attr("flush")();
    int status = run_and_wait();
    show_view(view);
    sys.attr("stdout").attr("flush")();
    sys.attr("stderr").attr("write")(py::str("vardex: results in ") +
                                     py::str(g("trace_result_file_path")) + py::str("\n"));
    return status;
}

}  // namespace vdx::frame
