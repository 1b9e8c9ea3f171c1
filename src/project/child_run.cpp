// The traced child's run of the main file, called by the preamble's last line.
//
// The main file runs as "python main.py" would run it: read and decoded as
// Python reads sources, with __file__, sys.argv and sys.path[0] set, in the
// namespace of __main__. Its code is compiled as "<string>" behind as many
// empty lines as the preamble has, so the tracer's tables and every report
// keep their numbering; linecache gets the source under that name, so
// tracebacks show the program's lines.
#include "project/project.hpp"
#include "trace/trace.hpp"

namespace vdx::project {

namespace {

// The program's sys.argv: the runner passes the main file as it was given,
// then the program's arguments.
py::list program_argv(const py::object& main_file) {
    py::list argv = g("sys").attr("argv");
    py::list out;
    if (py::len(argv) < 2) {
        out.append(main_file);
        return out;
    }
    for (size_t i = 1; i < py::len(argv); ++i) out.append(argv[i]);
    return out;
}

// When Python itself would refuse the file (unreadable, undecodable, NUL
// bytes), let it say so: the child becomes "python main.py".
[[noreturn]] void run_as_python(const py::object& main_file) {
    py::object sys = g("sys");
    flush_stream("stdout");
    flush_stream("stderr");
    py::list argv;
    py::object exe = sys.attr("executable");
    argv.append(exe);
    for (auto a : program_argv(main_file)) argv.append(a);
    g("os").attr("execv")(exe, argv);
    throw py::error_already_set();  // execv returned: it raised
}

// What the interpreter does once a main file's code has run, whatever its
// outcome, before it shows an exception: stderr, then stdout, are flushed
// (errors of the flush are dropped), so the program's output comes before
// its traceback or exit message. "-c" code gets no such flush.
void flush_like_file_runner() {
    PyObject* exc = PyErr_GetRaisedException();
    try {
        flush_stream("stderr");
        flush_stream("stdout");
    } catch (py::error_already_set&) {
        // Dropped, as the interpreter drops it: the program's outcome stands.
    }
    PyErr_SetRaisedException(exc);
}

// The preamble's own names leave __main__, and threading.Thread.run is its
// own again: threading.settrace reaches every thread, so the preamble's
// wrapper would only add its frame to every thread's stack.
void tidy_main_namespace(py::dict ns) {
    py::object original = ns.attr("get")("original_run");
    if (!original.is_none()) py::module_::import("threading").attr("Thread").attr("run") = original;
    for (const char* name : {"sys", "threading", "vardex", "original_run", "traced_run"})
        if (ns.contains(name)) ns.attr("pop")(name);
}

// The program's sys.path as "python <main file>" has it: the preamble put
// vardex's folder first and "-c" the working directory (""); both give way
// to the main file's folder (none with -P or -I).
void program_sys_path(const py::object& folder) {
    py::object sys = g("sys");
    py::list path = sys.attr("path");
    py::object ospath = g("os").attr("path");
    py::object own = ospath.attr("dirname")(ospath.attr("abspath")(g("__file__")));
    if (py::len(path) > 0 && equals(path[0], own)) path.attr("pop")(0);
    bool safe_path = truthy(sys.attr("flags").attr("safe_path"));
    if (py::len(path) > 0 && equals(path[0], py::str(""))) {
        if (safe_path) path.attr("pop")(0);
        else path[0] = folder;
    } else if (!safe_path) {
        path.attr("insert")(0, folder);
    }
}

// ------------------------------------------------------------ the program's frames

// The interpreter's record of the running frame, which a new frame takes as
// the one that called it. Cleared while the main file runs, its frames have
// no caller, as under "python main.py": tracebacks, extract_stack() and
// inspect.stack() show nothing of the preamble.
struct Detached {
    bool done = false;
    struct _PyInterpreterFrame* saved = nullptr;
    PyThreadState* ts = nullptr;

    static struct _PyInterpreterFrame*& slot(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030D0000
        return ts->current_frame;
#else
        return ts->cframe->current_frame;
#endif
    }

    Detached() {
        ts = PyThreadState_Get();
        if (!PyEval_GetFrame() || !slot(ts)) return;
        saved = slot(ts);
        slot(ts) = nullptr;
        // Checked on the live thread state: no frame must be seen now.
        if (PyEval_GetFrame()) {
            slot(ts) = saved;
            tool_message("the main file runs above the runner's frame on this interpreter");
            return;
        }
        done = true;
    }
    ~Detached() {
        if (done) slot(ts) = saved;
    }
};

// sys.excepthook for an exception that ends the program: the runner's frames
// leave its traceback (they come first, where the exception passed through
// the preamble), then the hook the program had gets it, as Python would call
// it for "python main.py".
PyObject* g_program_hook = nullptr;

PyObject* strip_hook(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "excepthook expects 3 arguments");
        return nullptr;
    }
    Ref tb = Ref::borrow(args[2]);
    while (tb && PyTraceBack_Check(tb.get())) {
        PyFrameObject* frame = ((PyTracebackObject*)tb.get())->tb_frame;
        PyCodeObject* code = PyFrame_GetCode(frame);
        bool runner = trace::code_role(code) == trace::CodeRole::Runner;
        Py_DECREF(code);
        if (!runner) break;
        PyObject* next = (PyObject*)((PyTracebackObject*)tb.get())->tb_next;
        tb = Ref::borrow(next ? next : Py_None);
    }
    if (PyExceptionInstance_Check(args[1]) &&
        PyException_SetTraceback(args[1], tb.get() == Py_None ? Py_None : tb.get()) < 0)
        PyErr_Clear();
    PyObject* hook = g_program_hook ? g_program_hook : PySys_GetObject("__excepthook__");
    if (!hook) Py_RETURN_NONE;
    Ref held = Ref::borrow(hook);
    PyObject* call[3] = {args[0], args[1], tb.get()};
    return PyObject_Vectorcall(held.get(), call, 3, nullptr);
}

PyMethodDef strip_hook_def = {"excepthook", (PyCFunction)(void (*)(void))strip_hook, METH_FASTCALL,
                              "Shows an exception that ends the program without the runner's frames."};

// Installed just before the program's exception leaves for the preamble.
void install_strip_hook() {
    PyObject* current = PySys_GetObject("excepthook");  // borrowed
    Py_XSETREF(g_program_hook, Py_XNewRef(current));
    Ref hook = Ref::steal(PyCFunction_New(&strip_hook_def, nullptr));
    if (!hook || PySys_SetObject("excepthook", hook.get()) < 0) PyErr_Clear();
}

void run_main_file(py::object result_file) {
    // The result file as given: writing it needs no pathlib.
    if (!result_file.is_none()) set_g("trace_result_file_path", result_file);
    py::object sys = g("sys");
    // The preamble's code (and its Thread.run wrapper) is not the program's.
    if (PyFrameObject* here = PyEval_GetFrame()) {
        PyCodeObject* code = PyFrame_GetCode(here);
        trace::register_runner_code((PyObject*)code);
        Py_DECREF(code);
    }
    py::object main_file = g("project_main_file");
    py::object os = g("os");
    // The preamble ran elsewhere (see the runner): the program starts in the
    // working directory it was given.
    py::object workdir = os.attr("environ").attr("pop")("VARDEX_WORKDIR", py::none());
    if (!workdir.is_none()) {
        try {
            os.attr("chdir")(workdir);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
            tool_message("cannot return to the working directory " + utf8_text(workdir) + ": " + utf8_text(e.value()));
        }
    }

    py::object data;
    try {
        data = read_bytes(main_file);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        run_as_python(main_file);
    }
    int has_nul = PySequence_Contains(data.ptr(), py::bytes("\0", 1).ptr());
    check_rc(has_nul);
    if (has_nul) run_as_python(main_file);
    py::object text;
    try {
        text = check(decode_source(data.ptr()));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_UnicodeError) && !e.matches(PyExc_LookupError))
            throw;
        run_as_python(main_file);
    }
    py::list argv = program_argv(main_file);
    py::object ospath = os.attr("path");
    py::object given = argv[0];
    // As Python sets them for "python <given>": __file__ and the code's file
    // name are the given path made absolute (not normalised), sys.path[0] the
    // real folder of the file.
    py::object file_name =
        truthy(ospath.attr("isabs")(given)) ? given : ospath.attr("join")(os.attr("getcwd")(), given);
    py::module_ builtins = py::module_::import("builtins");
    py::object code;
    try {
        code = builtins.attr("compile")(data, file_name, "exec", py::arg("dont_inherit") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError)) throw;
        // Shown by the interpreter as for "python main.py": no traceback.
        install_strip_hook();
        throw;
    }
    trace::register_main_code(code.ptr());

    py::module_ main_module = py::module_::import("__main__");
    py::dict ns = main_module.attr("__dict__");
    tidy_main_namespace(ns);
    // What the runner told the child in its environment is not the program's.
    os.attr("environ").attr("pop")("VARDEX_SCAN_CACHE", py::none());
    ns["__file__"] = file_name;
    ns["__cached__"] = py::none();
    // The loader class "python main.py" gives it (importlib.machinery's own,
    // without importing that module).
    ns["__loader__"] = py::module_::import("_frozen_importlib_external").attr("SourceFileLoader")("__main__", file_name);
    sys.attr("argv") = argv;
    program_sys_path(ospath.attr("dirname")(ospath.attr("realpath")(given)));
    // Threads whose class overrides run() never reach the Thread.run wrapper.
    py::module_::import("threading").attr("settrace")(g("trace_fun_class_or_var"));

    PyObject* result;
    {
        // The program's frames start one below the preamble's: give it back
        // the one frame of recursion that "python main.py" would have.
        PyThreadState* ts = PyThreadState_Get();
        Detached detached;
        ts->py_recursion_remaining += 1;
        result = PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr());
        ts->py_recursion_remaining -= 1;
    }
    flush_like_file_runner();
    if (result) {
        Py_DECREF(result);
        return;
    }
    // The program's exception ends it as it ends "python main.py": the
    // interpreter shows it (without the runner's frames) and exits with its
    // status, KeyboardInterrupt by the signal.
    if (!PyErr_ExceptionMatches(PyExc_SystemExit)) install_strip_hook();
    throw py::error_already_set();
}

}  // namespace

void register_child_run(py::module_& m) {
    m.def("run_main_file", &run_main_file, py::arg("result_file") = py::none(),
          "Runs the project's main file in the traced child, as the preamble's last line.");
}

}  // namespace vdx::project
