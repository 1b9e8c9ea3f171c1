// Starts the traced child: the preamble, whose last line runs the main file.
#include "project/project.hpp"

#include <memory>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif
#include <cerrno>

namespace vdx::project {

namespace {

// Nineteen lines; line L of the main file becomes line L + 19 of "<string>".
// Fields: module folder, classes, variables, lists, main file, project
// folder, line offset, stop lines, echo mode, report mode, text limit,
// result file. The child scans the project at its first event, within the
// preamble: a run without the scan's cache tells it in its environment
// (VARDEX_SCAN_CACHE=0), which leaves it before the main file runs. The path fields
// arrive as ready-made Python literals.
// Line 4 puts the module folder first on sys.path: the child must import the
// very module file that started the run, not another vardex found earlier.
constexpr const char* kPreamble =
    "\n"
    "import sys\n"
    "import threading\n"
    "sys.path.insert(0, {})\n"
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
    "threading.Thread.run = traced_run; vardex.observe_values={}; vardex.N={}; vardex.run_main_file({})\n";

constexpr int kAddLinesLens = 18;

bool plain_text(const py::str& s, bool allow_backslash, bool allow_trailing_backslash) {
    // Printable first: a path with an undecodable byte holds a lone surrogate,
    // which has no UTF-8 form; repr() writes it as an escape.
    if (!truthy(s.attr("isprintable")())) return false;
    std::string text = s;
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

// The interpreter that runs the program: program_python when given (the
// command line's --python), else this one.
py::object program_python() {
    PyObject* chosen = PyDict_GetItemWithError(module_dict(), VDX_STR("program_python"));
    if (!chosen && PyErr_Occurred()) throw py::error_already_set();
    if (chosen && truthy(chosen)) return py::reinterpret_borrow<py::object>(chosen);
    return g("sys").attr("executable");
}

void run_untraced(const char* message) {
    py::object sys = g("sys");
    // The tool's message goes to its stderr, never into the program's output.
    tool_write_line(std::string(message));
    // exec replaces the process: what is still buffered would be lost.
    flush_stream("stdout");
    flush_stream("stderr");
    py::object exe = program_python();
    py::list argv;
    argv.append(exe);
    py::object given = g("main_file_as_given");
    argv.append(truthy(given) ? given : g("project_main_file"));
    for (auto a : g("program_args")) argv.append(a);
    g("os").attr("execv")(exe, argv);
}

// The module's text limit as the child's literal (0, or not an int: whole).
py::int_ text_limit() {
    py::object n = g("N");
    if (!PyLong_Check(n.ptr())) return py::int_(0);
    long long v = PyLong_AsLongLong(n.ptr());
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return py::int_(0);
    }
    return py::int_(v > 0 ? v : 0);
}

// Where the child runs its preamble: the data folder, if it is one and
// every path the child is given is absolute (a relative one means the
// working directory, which the preamble would not be in).
py::object preamble_folder(const py::list& cmd, const py::object& result_path) {
    PyObject* folder = peek_global("data_store_folder");
    if (!folder) return py::none();
    py::object ospath = g("os").attr("path");
    auto absolute = [&](py::handle p) { return truthy(ospath.attr("isabs")(p)); };
    if (!absolute(g("folder_path")) || !absolute(g("project_main_file")) || !absolute(result_path) ||
        !absolute(cmd[0]))
        return py::none();
    for (auto stop : g("trace_stop_list"))
        if (!absolute(py::reinterpret_borrow<py::object>(stop)[py::int_(0)])) return py::none();
    py::object text = g("os").attr("fspath")(py::handle(folder));
    if (!truthy(ospath.attr("isdir")(text))) return py::none();
    return text;
}

py::str fill(const py::tuple& fields) {
    return py::str(kPreamble).attr("format")(*fields);
}

// The result file, emptied and locked for the run: the lock passes to the
// child, which holds it while it runs, so a second run cannot empty the file
// under the first. -1: no lock on this system (the file is emptied only);
// -2: another run holds it.
int take_result_file(const py::object& path, bool posix) {
#ifndef _WIN32
    if (posix) {
        py::object fspath = g("os").attr("fsencode")(path);
        std::string name = py::bytes(fspath);
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
            throw py::error_already_set();
        }
        // Never one of the standard descriptors, which the command may have
        // been started without: the child would take the result file for
        // its stdin, stdout or stderr.
        if (fd < 3) {
            int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            int err = errno;
            ::close(fd);
            if (high < 0) {
                errno = err;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
                throw py::error_already_set();
            }
            fd = high;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
            int err = errno;
            if (err == EWOULDBLOCK) {
                ::close(fd);
                return -2;
            }
            ::close(fd);
            fd = -1;  // a file system without locks: run unlocked
        }
        if (fd >= 0) {
            if (::ftruncate(fd, 0) < 0) {
                int err = errno;
                ::close(fd);
                errno = err;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
                throw py::error_already_set();
            }
            return fd;
        }
    }
#endif
    py::module_::import("builtins").attr("open")(path, "w").attr("close")();
    return -1;
}

void close_fd(int fd) {
#ifndef _WIN32
    if (fd >= 0) ::close(fd);
#endif
}

}  // namespace

py::object result_file_text() {
    if (PyObject* set = peek_global("trace_result_file_path")) return py::str(g("os").attr("fspath")(py::handle(set)));
    return g("os").attr("path").attr("join")(g("data_store_folder"), "trace_result.txt");
}

bool result_file_busy(py::handle path) {
#ifndef _WIN32
    py::object fspath = g("os").attr("fsencode")(path);
    std::string name = py::bytes(fspath);
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool busy = ::flock(fd, LOCK_EX | LOCK_NB) < 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return busy;
#else
    (void)path;
    return false;
#endif
}

void run_python_project() {
    if (!truthy(g("folder_path"))) {
        run_untraced("No folder_path, run without trace now.");
        return;
    }
    py::object os = g("os");
    bool nt = std::string(py::str(os.attr("name"))) == "nt";
    py::object result_path = result_file_text();
    int lock_fd = take_result_file(result_path, !nt);
    if (lock_fd == -2) {
        tool_write_line(py::str("vardex: another traced run is still writing {}; this run was not started")
                            .format(result_path)
                            .ptr());
        return;
    }
    try {
        // A main file that cannot be opened or read stops the run here, in
        // this process, before any child starts (the child reads it again).
        read_bytes(g("project_main_file"));
        set_g("add_lines_lens", py::int_(kAddLinesLens));
        py::object ospath = os.attr("path");
        py::object folder = ospath.attr("dirname")(ospath.attr("abspath")(g("__file__")));
        auto fields = [&](bool windows) {
            const char* prefix = windows ? "r" : "";
            return py::make_tuple(path_literal(folder, "r", '\'', true), g("trace_classname_list"),
                                  g("trace_var_list"), g("trace_list_list"),
                                  path_literal(g("project_main_file"), prefix, '"', windows),
                                  path_literal(g("folder_path"), prefix, '"', windows), g("add_lines_lens"),
                                  g("trace_stop_list"), g("print_directly"),
                                  py::int_(truthy(g("observe_values")) ? 1 : 0), text_limit(),
                                  path_literal(py::str(result_path), "r", '\'', true));
        };
        py::str posix = fill(fields(false));
        py::str windows = fill(fields(true));
        if (!truthy(g("trace_classname_list")) && !truthy(g("trace_list_list")) &&
            !truthy(g("trace_var_list"))) {
            close_fd(lock_fd);
            lock_fd = -1;
            run_untraced("No trace info selected, run without trace now.");
            return;
        }
        py::object code = nt ? windows : posix;
        py::object sys = g("sys");
        py::list cmd;
        cmd.append(program_python());
        cmd.append("-u");
        cmd.append("-c");
        cmd.append(code);
        // The program's sys.argv: the main file as it was given, then its own arguments.
        py::object given = g("main_file_as_given");
        cmd.append(truthy(given) ? given : g("project_main_file"));
        for (auto a : g("program_args")) cmd.append(a);
        py::object popen = g("subprocess").attr("Popen");
        py::dict kwargs;
        kwargs["stdout"] = sys.attr("stdout");
        kwargs["stderr"] = sys.attr("stderr");
        kwargs["text"] = true;
        if (!nt) kwargs["preexec_fn"] = os.attr("setsid");
        if (!nt && lock_fd >= 0) kwargs["pass_fds"] = py::make_tuple(lock_fd);
        py::dict env;
        if (!truthy(g("scan_cache"))) env["VARDEX_SCAN_CACHE"] = "0";
        // With "-c", the working directory comes first on the child's
        // sys.path while the preamble imports threading, vardex and what the
        // first event needs: a threading.py of the project would stand in for
        // the standard one. The child starts in vardex's data folder, which
        // holds no modules, and moves to the real working directory before
        // the main file runs.
        if (py::object start = preamble_folder(cmd, result_path); !start.is_none()) {
            try {
                env["VARDEX_WORKDIR"] = os.attr("getcwd")();
                kwargs["cwd"] = start;
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;  // no working directory to return to
            }
        }
        if (py::len(env)) {
            py::dict full(os.attr("environ"));
            for (auto item : env) full[item.first] = item.second;
            kwargs["env"] = full;
        }
        popen(cmd, **kwargs);
    } catch (...) {
        close_fd(lock_fd);
        throw;
    }
    close_fd(lock_fd);
}

// Whether this interpreter's streams are unbuffered (-u, PYTHONUNBUFFERED):
// its standard output then writes through.
bool unbuffered() {
    py::object out = g("sys").attr("__stdout__");
    if (out.is_none()) return false;
    py::object through = py::getattr(out, "write_through", py::bool_(false));
    return truthy(through);
}

py::object run_capturing_child(py::object preexec_fn, bool as_python) {
    py::object subprocess = g("subprocess");
    py::object real = subprocess.attr("Popen");
    auto child = std::make_shared<py::object>(py::none());
    py::cpp_function capture([real, child, preexec_fn, as_python, subprocess](py::args args, py::kwargs kwargs) {
        if (!preexec_fn.is_none() && kwargs.contains("preexec_fn")) kwargs["preexec_fn"] = preexec_fn;
        py::list argv = py::len(args) ? py::list(args[0]) : py::list();
        if (as_python && py::len(argv) > 2 && equals(argv[1], py::str("-u")) && equals(argv[2], py::str("-c"))) {
            // The program's streams buffer as under "python main.py", with the
            // flags this interpreter was started with (-u among them).
            py::list cmd;
            cmd.append(argv[0]);
            for (auto flag : subprocess.attr("_args_from_interpreter_flags")()) cmd.append(flag);
            if (unbuffered()) cmd.append("-u");
            for (size_t i = 2; i < py::len(argv); ++i) cmd.append(argv[i]);
            py::list rest;
            rest.append(cmd);
            for (size_t i = 1; i < py::len(args); ++i) rest.append(args[i]);
            *child = real(*py::tuple(rest), **kwargs);
            return *child;
        }
        *child = real(*args, **kwargs);
        return *child;
    });
    subprocess.attr("Popen") = capture;
    try {
        g("run_python_project")();
    } catch (...) {
        subprocess.attr("Popen") = real;
        throw;
    }
    subprocess.attr("Popen") = real;
    return *child;
}

void register_runner(py::module_& m) { m.def("run_python_project", &run_python_project); }

}  // namespace vdx::project
