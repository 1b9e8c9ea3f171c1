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
    sys.attr("stdout").attr("flush")();
    sys.attr("stderr").attr("flush")();
    py::list argv;
    py::object exe = sys.attr("executable");
    argv.append(exe);
    for (auto a : program_argv(main_file)) argv.append(a);
    g("os").attr("execv")(exe, argv);
    throw py::error_already_set();  // execv returned: it raised
}

// The preamble's own names leave __main__; its Thread.run wrapper keeps them
// in a namespace of its own.
void tidy_main_namespace(py::dict ns) {
    py::object run = ns.attr("get")("traced_run");
    py::object original = ns.attr("get")("original_run");
    if (!run.is_none() && !original.is_none() && py::hasattr(run, "__code__")) {
        py::dict own;
        own["sys"] = g("sys");
        own["vardex"] = py::reinterpret_borrow<py::object>(module());
        own["original_run"] = original;
        own["__builtins__"] = py::module_::import("builtins");
        py::object wrapper = py::module_::import("types").attr("FunctionType")(run.attr("__code__"), own,
                                                                                run.attr("__name__"));
        py::module_::import("threading").attr("Thread").attr("run") = wrapper;
    }
    for (const char* name : {"sys", "threading", "vardex", "original_run", "traced_run"})
        if (ns.contains(name)) ns.attr("pop")(name);
}

void run_main_file(py::object result_file) {
    if (!result_file.is_none()) set_g("trace_result_file_path", g("Path")(result_file));
    py::object sys = g("sys");
    // The preamble's code (and its Thread.run wrapper) is not the program's.
    if (PyFrameObject* here = PyEval_GetFrame()) {
        PyCodeObject* code = PyFrame_GetCode(here);
        trace::register_runner_code((PyObject*)code);
        Py_DECREF(code);
    }
    py::object main_file = g("project_main_file");
    py::object os = g("os");

    py::object data;
    try {
        py::object f = py::module_::import("builtins").attr("open")(main_file, "rb");
        try {
            data = f.attr("read")();
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        run_as_python(main_file);
    }
    int has_nul = PySequence_Contains(data.ptr(), py::bytes("\0", 1).ptr());
    check_rc(has_nul);
    if (has_nul) run_as_python(main_file);
    py::object text;
    try {
        text = py::module_::import("importlib.util").attr("decode_source")(data);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_UnicodeError) && !e.matches(PyExc_LookupError))
            throw;
        run_as_python(main_file);
    }
    long shift = py::int_(g("add_lines_lens")).cast<long>() + 1;
    py::str source = py::str(std::string(shift > 0 ? (size_t)shift : 0, '\n')) + py::str(text);
    py::module_ builtins = py::module_::import("builtins");
    py::object code;
    try {
        code = builtins.attr("compile")(source, "<string>", "exec", py::arg("dont_inherit") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError)) throw;
        // As Python shows a script that does not compile: no traceback.
        py::module_::import("traceback").attr("print_exception")(e.value(), py::arg("file") = sys.attr("stderr"));
        sys.attr("stderr").attr("flush")();
        PyErr_SetObject(PyExc_SystemExit, py::int_(1).ptr());
        throw py::error_already_set();
    }
    trace::register_main_code(code.ptr());

    py::module_ main_module = py::module_::import("__main__");
    py::dict ns = main_module.attr("__dict__");
    tidy_main_namespace(ns);
    py::list argv = program_argv(main_file);
    py::object ospath = os.attr("path");
    py::object given = argv[0];
    // As Python sets them for "python <given>": __file__ is the given path
    // made absolute (not normalised), sys.path[0] the real folder of the file.
    py::object file_name =
        truthy(ospath.attr("isabs")(given)) ? given : ospath.attr("join")(os.attr("getcwd")(), given);
    ns["__file__"] = file_name;
    ns["__cached__"] = py::none();
    ns["__loader__"] = py::module_::import("importlib.machinery").attr("SourceFileLoader")("__main__", file_name);
    sys.attr("argv") = argv;
    py::list path = sys.attr("path");
    py::object folder = ospath.attr("dirname")(ospath.attr("realpath")(given));
    if (py::len(path) > 0) path[0] = folder;
    else path.append(folder);
    py::object lines = check(split_source_lines(source.ptr()));
    py::module_::import("linecache").attr("cache")["<string>"] =
        py::make_tuple(py::len(source), py::none(), lines, "<string>");
    // Threads whose class overrides run() never reach the Thread.run wrapper.
    py::module_::import("threading").attr("settrace")(g("trace_fun_class_or_var"));

    // The program's frames start one below the preamble's: give it back the
    // one frame of recursion that "python main.py" would have.
    PyThreadState* ts = PyThreadState_Get();
    ts->py_recursion_remaining += 1;
    PyObject* result = PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr());
    ts->py_recursion_remaining -= 1;
    if (result) {
        Py_DECREF(result);
        return;
    }
    if (PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
        throw py::error_already_set();
    // An exception of the program: shown as Python shows it (its traceback
    // starts at the program's own code), then the exit status 1.
    PyObject* exc = PyErr_GetRaisedException();
    Ref owned = Ref::steal(exc);
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    py::object hook = sys.attr("excepthook");
    if (hook.is(sys.attr("__excepthook__"))) {
        // The interpreter's own printer reads source lines from files only;
        // the traceback module reads them through linecache, where the main
        // file's source is.
        py::module_::import("traceback").attr("print_exception")(py::handle(exc),
                                                                 py::arg("file") = sys.attr("stderr"));
    } else {
        hook(py::handle((PyObject*)Py_TYPE(exc)), py::handle(exc), tb ? py::handle(tb.get()) : py::handle(Py_None));
    }
    PyErr_SetObject(PyExc_SystemExit, py::int_(1).ptr());
    throw py::error_already_set();
}

}  // namespace

void register_child_run(py::module_& m) {
    m.def("run_main_file", &run_main_file, py::arg("result_file") = py::none(),
          "Runs the project's main file in the traced child, as the preamble's last line.");
}

}  // namespace vdx::project
