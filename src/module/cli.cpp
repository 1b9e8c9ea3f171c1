// The command line: the window by default, a headless traced run when any
// watch option is given.
#include "module/module.hpp"
#include "project/project.hpp"

#include <csignal>
#include <memory>
#include <vector>
#ifndef _WIN32
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace vdx::frame {

namespace {

constexpr const char* kEpilog =
    "Without watch options the window opens for FILE.\n"
    "With --var, --list or --class the project runs traced in this terminal,\n"
    "without a window; the exit status is the program's own. Arguments after\n"
    "-- are the program's own (its sys.argv[1:]). The project folder that is\n"
    "scanned is the working directory, or the main file's folder when the main\n"
    "file lies outside it, or --project DIR.\n"
    "\n"
    "examples:\n"
    "  vardex main.py                          open the window for main.py\n"
    "  vardex main.py --var total,count        watch two variables\n"
    "  vardex main.py --list items --print 1   watch a list, echo every line\n"
    "  vardex main.py --class Cart:total:items:cart\n"
    "                                          watch Cart.total and the list Cart.items\n"
    "                                          on the instance bound to 'cart'\n"
    "  vardex main.py --var x --stop util.py:40,52 --show instances\n"
    "  vardex main.py --var x -- input.txt -v  run main.py with its own arguments\n"
    "  vardex main.py --var x --output run1.txt\n"
    "                                          write this run's results to run1.txt\n"
    "  vardex --show time                      print the last run's result file\n";

// A line of the command's own on its stderr. A stderr that is closed, or
// whose reader has gone, takes nothing: it is closed, so that the
// interpreter's exit does not fail on it and the status stays the program's.
void say(const py::object& text) {
    py::object err = g("sys").attr("stderr");
    if (err.is_none()) return;
    try {
        err.attr("write")(text);
        err.attr("flush")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        try {
            err.attr("close")();
        } catch (py::error_already_set&) {
        }
    }
}

[[noreturn]] void usage_error(const std::string& message) {
    say(py::str("vardex: error: " + message + "\n"));
    g("sys").attr("exit")(2);
    throw py::error_already_set();
}

// A watched name: an identifier, or identifiers joined by dots.
bool valid_name(py::handle name) {
    py::object keyword = py::module_::import("keyword");
    for (auto part : py::str(name).attr("split")(".")) {
        if (!truthy(part.attr("isidentifier")()) || truthy(keyword.attr("iskeyword")(part))) return false;
    }
    return true;
}

// Names as the interpreter reads them in source: NFKC-normalised ("ﬁle"
// is "file").
py::object as_python_reads(py::handle text) {
    py::str s = py::str(text);
    if (truthy(s.attr("isascii")())) return s;
    return py::module_::import("unicodedata").attr("normalize")("NFKC", s);
}

py::list checked_names(py::handle given, const char* option) {
    py::object text = as_python_reads(given);
    py::list names = split_names(text);
    std::string typed = utf8_text(given);
    if (py::len(names) == 0) usage_error(std::string(option) + " '" + typed + "' names nothing to watch");
    for (auto n : names)
        if (!valid_name(n))
            usage_error(std::string(option) + " '" + typed + "': '" + utf8_text(n) +
                        "' is not a variable name");
    return names;
}

py::list joined_names(py::handle values, const char* option) {
    py::list names;
    if (values.is_none()) return names;
    for (auto v : values) names.attr("extend")(checked_names(v, option));
    return names;
}

py::list class_entry(py::handle option) {
    std::string text = utf8_text(option);
    py::list parts = py::str(as_python_reads(option)).attr("split")(":");
    if (py::len(parts) > 4 || !truthy(parts[0].attr("isidentifier")()) ||
        truthy(py::module_::import("keyword").attr("iskeyword")(parts[0])))
        usage_error("bad --class value '" + text + "' (expected CLASS[:VARS[:LISTS[:INSTANCES]]])");
    auto part = [&](size_t i) -> py::object {
        return i < py::len(parts) ? py::object(parts[i]) : py::object(py::str(""));
    };
    py::list attrs;
    for (size_t i = 1; i < 4; ++i)
        for (auto name : split_names(part(i)))
            if (!valid_name(name))
                usage_error("bad --class value '" + text + "': '" + utf8_text(name) +
                            "' is not a name");
    for (auto name : split_names(part(1))) attrs.append(py::str("$item.") + py::str(name));
    for (auto name : split_names(part(2)))
        attrs.append(py::str("$item.") + py::str(name) + py::str("$List"));
    py::list entry;
    entry.append(parts[0]);
    entry.append(attrs);
    entry.append(split_names(part(3)));
    return entry;
}

py::list stop_entries(py::handle option) {
    std::string text = utf8_text(option);
    py::tuple split = py::str(option).attr("rpartition")(":");
    py::object file = split[0];
    py::list pieces = split_names(split[2]);
    if (!truthy(file) || py::len(pieces) == 0)
        usage_error("bad --stop value '" + text + "' (expected FILE:LINES with at least one line number)");
    py::list numbers;
    for (auto piece : pieces) {
        bool digits = truthy(piece.attr("isdigit")()) && truthy(piece.attr("isascii")());
        py::object n = digits ? py::object(py::int_(py::reinterpret_borrow<py::object>(piece))) : py::object();
        if (!digits || n.cast<long long>() <= 0)
            usage_error("bad --stop value '" + text + "': '" + utf8_text(piece) +
                        "' is not a line number (a positive integer)");
        numbers.append(n);
    }
    py::object path = g("os").attr("path").attr("abspath")(file);
    if (!truthy(g("os").attr("path").attr("isfile")(path)))
        usage_error("bad --stop value '" + text + "': file '" + utf8_text(file) + "' does not exist");
    py::list entries;
    for (auto n : numbers) {
        // A line the program can never reach would stop nothing.
        std::string problem = project::stop_line_problem(path, n.cast<long>());
        if (!problem.empty()) usage_error("bad --stop value '" + text + "': " + problem);
        py::list e;
        e.append(path);
        e.append(n);
        entries.append(e);
    }
    return entries;
}

void show_view_of(const std::string& view, py::object output);

// Prints a result file; one that cannot be read is said in one line.
void show_view(const std::string& view, py::object output) {
    try {
        show_view_of(view, output);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_UnicodeError)) throw;
        py::object path = output.is_none() ? g("os").attr("path").attr("join")(g("data_store_folder"), "trace_result.txt")
                                           : output;
        usage_error("cannot show the result file " + utf8_text(path) + ": " + utf8_text(e.value()));
    }
}

void show_view_of(const std::string& view, py::object output) {
    if (view == "instances") {
        if (output.is_none()) {
            g("arr_as_instances_and_show_trace_result")();
        } else {
            py::object lines = read_utf8(output, "readlines");
            g("print_grouped_data")(g("process_lines")(lines));
        }
    } else if (view == "time") {
        py::object path = output.is_none()
                              ? g("os").attr("path").attr("join")(g("data_store_folder"), "trace_result.txt")
                              : output;
        // As it is: a carriage return inside a value stays one (where lines
        // end in "\n"; Windows' text files end them in "\r\n").
        bool nt = equals(g("os").attr("name"), py::str("nt"));
        py::object text = read_utf8(path, "read", py::tuple(), nt ? py::object(py::none()) : py::object(py::str("")));
        py::object out = g("sys").attr("stdout");
        if (out.is_none()) return;
        out.attr("write")(text);
        out.attr("flush")();
    }
}

// In the child between fork and exec: it stays in the terminal's session
// and foreground process group, as "python main.py" would be, with Ctrl-C
// as the interpreter expects it (this command ignores it while it waits);
// where the system allows, it ends when this command dies.
void child_setup(long parent) {
#ifndef _WIN32
    ::signal(SIGINT, SIG_DFL);
#endif
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if ((long)getppid() != parent) _exit(1);  // the command died before prctl
#endif
    (void)parent;
}

// Runs the project through the runner, keeping hold of the child it starts.
// Returns the exit status; `started` tells whether a child ran.
int run_and_wait(bool* started) {
    py::object os = g("os");
    long parent = py::int_(os.attr("getpid")()).cast<long>();
    py::object setup = py::cpp_function([parent]() { child_setup(parent); });
    // SIGTERM and SIGHUP sent to this command are passed on to the child, as
    // they end this command. Ctrl-C reaches the child from the terminal, as
    // it would reach "python main.py": this command ignores it meanwhile, and
    // its status is the program's. The handlers are in place before the child
    // starts: a signal that comes while it starts is passed on as soon as it
    // exists.
    py::module_ signal = py::module_::import("signal");
    auto target = std::make_shared<py::object>(py::none());
    auto early = std::make_shared<py::object>(py::none());
    py::cpp_function forward([os, target, early](py::object signum, py::object) {
        if (target->is_none()) {
            *early = signum;
            return;
        }
        try {
            os.attr("kill")(*target, signum);
        } catch (py::error_already_set&) {
        }
    });
    std::vector<std::pair<py::object, py::object>> saved;
    if (py::hasattr(signal, "SIGINT"))
        saved.emplace_back(signal.attr("SIGINT"), signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN")));
    for (const char* name : {"SIGTERM", "SIGHUP"}) {
        if (!py::hasattr(signal, name)) continue;
        py::object sig = signal.attr(name);
        saved.emplace_back(sig, signal.attr("signal")(sig, forward));
    }
    auto restore = [&]() {
        for (auto& [sig, old] : saved) signal.attr("signal")(sig, old);
    };
    py::object child;
    try {
        child = project::run_capturing_child(setup, true);
    } catch (...) {
        restore();
        throw;
    }
    *started = !child.is_none();
    if (child.is_none()) {
        // Refused: another run holds the result file (said by the runner).
        restore();
        if (!early->is_none()) signal.attr("raise_signal")(*early);
        return 2;
    }
    py::object pid = child.attr("pid");
    *target = pid;
    if (!early->is_none()) {
        try {
            os.attr("kill")(pid, *early);
        } catch (py::error_already_set&) {
        }
    }
    py::object code;
    try {
        code = child.attr("wait")();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return code.cast<int>();  // -N: ended by signal N
}

// The program was ended by a signal: this command ends by the same one, so
// that the shell or process that started it sees what "python main.py"
// would have shown it (bash stops a loop on Ctrl-C only so). The core file,
// if any, is the program's: this command leaves none. A signal that does
// not end a process gives its status number.
int end_by_signal(int signum) {
    flush_stream("stdout");
    flush_stream("stderr");
#ifndef _WIN32
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    ::signal(signum, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signum);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signum);
#endif
    return 128 + signum;
}

}  // namespace

py::object make_parser() {
    py::object argparse = g("argparse");
    // While the options are added, argparse makes a formatter for each only to
    // check its metavar, and a formatter asks shutil for the terminal's width:
    // those get a fixed width, and the formatters of help and error texts the
    // terminal's, so a run that prints neither never imports shutil.
    py::object raw = argparse.attr("RawDescriptionHelpFormatter");
    auto adding = std::make_shared<bool>(true);
    py::cpp_function formatter([raw, adding](py::args args, py::kwargs kwargs) {
        if (*adding && !kwargs.contains("width")) kwargs["width"] = 80;
        return raw(*args, **kwargs);
    });
    py::object parser = argparse.attr("ArgumentParser")(
        py::arg("prog") = "vardex",
        py::arg("description") =
            "vardex: watch variables, lists and class attributes of a Python project "
            "while it runs, and report every change with its caller chain.",
        py::arg("epilog") = kEpilog,
        py::arg("formatter_class") = formatter);
    py::object builtins_str = py::module_::import("builtins").attr("str");
    parser.attr("add_argument")("--version", py::arg("action") = "version",
                                py::arg("version") = py::str("vardex ") + py::str(g("__version__")));
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
                                py::arg("help") = "stop tracing for good when FILE reaches one of LINES "
                                                  "(positive line numbers); repeatable (e.g. --stop "
                                                  "util.py:40,52). It ends the watching of --var, --list "
                                                  "and --class: given alone, without them, it is refused, "
                                                  "as nothing would be traced");
    parser.attr("add_argument")("--project", py::arg("metavar") = "DIR",
                                py::arg("help") = "the project folder to scan for lines that change what "
                                                  "you watch (default: the working directory, or the main "
                                                  "file's folder when the main file lies outside it)");
    parser.attr("add_argument")("--output", py::arg("metavar") = "FILE",
                                py::arg("help") = "write this run's result file to FILE instead of the data "
                                                  "folder's trace_result.txt");
    py::list print_modes;
    for (int mode : {0, 1, 3}) print_modes.append(mode);
    parser.attr("add_argument")("--print", py::arg("type") = py::module_::import("builtins").attr("int"),
                                py::arg("choices") = print_modes, py::arg("default") = py::none(),
                                py::arg("dest") = "print_mode",
                                py::arg("help") = "echo of report lines on the terminal: 0 none, "
                                                  "1 every line as filed, 3 shortened reports (default)");
    parser.attr("add_argument")("--python", py::arg("metavar") = "PATH", py::arg("dest") = "python",
                                py::arg("help") = "run the program under this Python interpreter (for example a "
                                                  "project's virtual environment) instead of the one vardex is "
                                                  "installed in; it must be a CPython of the same version");
    parser.attr("add_argument")("--no-cache", py::arg("action") = "store_true", py::arg("default") = py::none(),
                                py::arg("dest") = "no_cache",
                                py::arg("help") = "scan the project afresh instead of reading the records of "
                                                  "unchanged files from the cache of earlier runs");
    parser.attr("add_argument")("--predict", py::arg("action") = "store_true", py::arg("default") = py::none(),
                                py::arg("help") = "report watched variables and lists before each changing "
                                                  "line runs, with a predicted value (\"unknown\" where a "
                                                  "call decides it), instead of after it with the value "
                                                  "it really gave");
    parser.attr("add_argument")("--max-chars", py::arg("type") = py::module_::import("builtins").attr("int"),
                                py::arg("default") = py::none(), py::arg("metavar") = "N",
                                py::arg("dest") = "max_chars",
                                py::arg("help") = "cut every value shown in a report to N characters, "
                                                  "ending in \u2026 (default 1000; 0 shows values whole)");
    py::list views;
    for (const char* v : {"none", "time", "instances"}) views.append(v);
    parser.attr("add_argument")("--show", py::arg("choices") = views, py::arg("default") = py::none(),
                                py::arg("help") = "what to print after the run: the result file in time "
                                                  "order or grouped per watched instance (default none); "
                                                  "without FILE, shows the last run's results");
    *adding = false;
    return parser;
}

// The interpreter of --python, checked to load this very module: a CPython
// whose extension modules end as this one's file does (same version and ABI).
py::object checked_python(const py::object& given) {
    std::string typed = utf8_text(given);
    py::object shutil = py::module_::import("shutil");
    py::object found = shutil.attr("which")(given);
    if (found.is_none()) usage_error("--python '" + typed + "' is not an interpreter that can be run");
    py::object subprocess = g("subprocess");
    const char* probe =
        "import sys, sysconfig; print(sys.implementation.name, sysconfig.get_config_var('EXT_SUFFIX'), "
        "'%d.%d' % sys.version_info[:2])";
    py::object out;
    try {
        py::list cmd;
        cmd.append(found);
        cmd.append("-c");
        cmd.append(probe);
        py::object proc = subprocess.attr("run")(cmd, py::arg("capture_output") = true, py::arg("text") = true,
                                                 py::arg("timeout") = 60, py::arg("stdin") = subprocess.attr("DEVNULL"));
        int code = proc.attr("returncode").cast<int>();
        if (code != 0) {
            // Its last words, in one line: the last line of what it said, or its status.
            py::list said = py::str(proc.attr("stderr")).attr("strip")().attr("splitlines")();
            usage_error("--python '" + typed + "' did not run: " +
                        (py::len(said) ? utf8_text(said[py::len(said) - 1])
                                       : "exit status " + std::to_string(code)));
        }
        out = py::str(proc.attr("stdout")).attr("split")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(subprocess.attr("TimeoutExpired"))) throw;
        usage_error("--python '" + typed + "' did not run: " + utf8_text(e.value()));
    }
    py::object sysconfig = py::module_::import("sysconfig");
    py::object own_suffix = sysconfig.attr("get_config_var")("EXT_SUFFIX");
    py::object sys = g("sys");
    std::string own = "CPython " + std::string(py::str("{}.{}").format(sys.attr("version_info")[py::int_(0)],
                                                                      sys.attr("version_info")[py::int_(1)])) +
                      " (" + utf8_text(own_suffix) + ")";
    if (py::len(out) != 3 || !equals(out[py::int_(0)], py::str("cpython")) || !equals(out[py::int_(1)], own_suffix)) {
        std::string theirs = py::len(out) == 3 ? utf8_text(out[py::int_(0)]) + " " + utf8_text(out[py::int_(2)]) +
                                                     " (" + utf8_text(out[py::int_(1)]) + ")"
                                               : std::string("an interpreter vardex cannot read");
        usage_error("--python '" + typed + "' is " + theirs + "; vardex here runs programs under " + own);
    }
    return g("os").attr("path").attr("abspath")(found);
}

bool wants_headless(const py::object& args) {
    for (const char* name : {"var", "list", "classes", "stop", "print_mode", "show", "output", "predict", "max_chars",
                             "python", "no_cache"})
        if (!args.attr(name).is_none()) return true;
    return false;
}

py::object project_folder_for(const py::object& main_file) {
    py::object ospath = g("os").attr("path");
    py::object cwd = g("os").attr("getcwd")();
    py::object folder = ospath.attr("dirname")(main_file);
    try {
        py::object common = ospath.attr("commonpath")(py::make_tuple(cwd, main_file));
        if (equals(common, cwd)) return cwd;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // another drive
    }
    // A main file outside the working directory: its own folder, not
    // whatever the command was started from.
    return folder;
}

// The lines a result file starts with: a user's header, a caller line, a report.
bool looks_like_results(const std::string& head) {
    for (const char* prefix : {"-----------------", "\u2193-----------------", "-\u2193--------"})
        if (head.rfind(prefix, 0) == 0) return true;
    return false;
}

// --output names the file a run empties first: it may be a new file, an
// empty one or the result file of an earlier run, never anything else (a
// source file, the main file, vardex itself, a device).
void check_output_file(const py::object& output, const std::string& typed) {
    py::object os = g("os");
    py::object ospath = os.attr("path");
    if (!truthy(ospath.attr("lexists")(output))) return;
    if (!truthy(ospath.attr("isfile")(output)))
        usage_error("--output '" + typed + "' is not a regular file");
    std::string head;
    try {
        head = std::string(read_bytes(output, 64));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        usage_error("--output '" + typed + "' cannot be read: " + utf8_text(e.value()));
    }
    if (!head.empty() && !looks_like_results(head))
        usage_error("--output '" + typed + "' holds something other than vardex results, which a run would "
                    "overwrite; give a new file or an earlier result file");
}

int run_headless(const py::object& args, const py::list& program_args) {
    py::object file = args.attr("file");
    std::string view = args.attr("show").is_none() ? "none" : utf8_text(args.attr("show"));
    auto given = [&](const char* name) { return !args.attr(name).is_none(); };
    bool watches = given("var") || given("list") || given("classes");
    py::object os = g("os");
    py::object ospath = os.attr("path");
    py::object output = py::none();
    if (given("output")) {
        output = ospath.attr("abspath")(args.attr("output"));
        py::object parent = ospath.attr("dirname")(output);
        std::string typed = utf8_text(args.attr("output"));
        if (truthy(ospath.attr("isdir")(output)))
            usage_error("--output '" + typed + "' is a folder, not a file");
        if (!truthy(ospath.attr("isdir")(parent)))
            usage_error("--output '" + typed + "': " +
                        (truthy(ospath.attr("exists")(parent)) ? "'" + utf8_text(parent) + "' is not a folder"
                                                               : "folder '" + utf8_text(parent) + "' does not exist"));
        check_output_file(output, typed);
    }
    if (file.is_none() || !truthy(file)) {
        if (watches || given("stop") || !given("show"))
            usage_error("a main file is needed to run the project traced");
        show_view(view, output);
        return 0;
    }
    py::object path = ospath.attr("abspath")(file);
    std::string typed = utf8_text(file);
    if (!truthy(ospath.attr("exists")(path)))
        usage_error("main file '" + typed + "' does not exist");
    if (!truthy(ospath.attr("isfile")(path)))
        usage_error("main file '" + typed + "' is not a file");
    if (given("max_chars") && PyObject_RichCompareBool(args.attr("max_chars").ptr(), py::int_(0).ptr(), Py_LT) == 1)
        usage_error("--max-chars must be 0 (whole values) or a positive number of characters");
    py::list var_names = joined_names(args.attr("var"), "--var");
    py::list list_names = joined_names(args.attr("list"), "--list");
    py::list classes, stops;
    if (!args.attr("classes").is_none())
        for (auto option : args.attr("classes")) classes.append(class_entry(option));
    if (!args.attr("stop").is_none())
        for (auto option : args.attr("stop")) stops.attr("extend")(stop_entries(option));
    // Without a watched name the runner would start the program untraced.
    if (!watches) usage_error("nothing to watch in '" + typed + "': give --var, --list or --class");
    py::object python = given("python") ? checked_python(args.attr("python")) : py::object(py::str(""));
    py::object folder = project_folder_for(path);
    if (given("project")) {
        folder = ospath.attr("abspath")(args.attr("project"));
        if (!truthy(ospath.attr("isdir")(folder)))
            usage_error("--project '" + utf8_text(args.attr("project")) + "' is not a folder");
    }
    py::object sys = g("sys");
    py::object error = g("_data_folder_error");
    if (!error.is_none() && output.is_none()) {
        say(py::str("vardex: error: ") + py::str(error) +
            py::str("; give --output FILE to write the results elsewhere\n"));
        return 1;
    }
    // Kept as text: the command needs no pathlib.
    if (!output.is_none()) set_g("trace_result_file_path", output);
    py::object result_path = project::result_file_text();
    if (project::result_file_busy(result_path)) {
        say(
            py::str("vardex: error: another traced run is still writing {}; wait for it to end or give "
                    "--output FILE\n")
                .format(result_path));
        return 2;
    }

    set_g("folder_path", folder);
    set_g("project_main_file", path);
    set_g("trace_classname_list", classes);
    set_g("trace_var_list", var_names);
    set_g("trace_list_list", list_names);
    set_g("trace_stop_list", stops);
    set_g("trace_target_line_list", py::list());
    set_g("program_args", program_args);
    set_g("main_file_as_given", file);
    py::object mode = args.attr("print_mode");
    set_g("print_directly", mode.is_none() ? py::int_(3) : mode);
    // The command line reports what a statement really gave.
    set_g("observe_values", py::int_(given("predict") ? 0 : 1));
    set_g("program_python", python);
    set_g("scan_cache", py::bool_(!given("no_cache")));
    if (given("max_chars")) set_g("N", args.attr("max_chars"));

    flush_stream("stdout");
    bool started = false;
    int status;
    try {
        status = run_and_wait(&started);
    } catch (py::error_already_set& e) {
        // The result file could not be written, or the main file not read:
        // no child started.
        if (!e.matches(PyExc_OSError)) throw;
        py::object filename = py::getattr(e.value(), "filename", py::none());
        if (!filename.is_none() && equals(filename, result_path))
            usage_error("cannot write the result file " + utf8_text(result_path) + ": " + utf8_text(e.value()));
        usage_error("main file '" + typed + "' cannot be read: " + utf8_text(e.value()));
    }
    if (!started) return status;
    show_view(view, output);
    flush_stream("stdout");
    say(py::str("vardex: results in ") + py::str(result_path) + py::str("\n"));
    return status < 0 ? end_by_signal(-status) : status;
}

}  // namespace vdx::frame
