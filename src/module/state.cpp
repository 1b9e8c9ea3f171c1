// Load sequence: standard imports, module globals, data folder and settings files.
#include "module/module.hpp"

namespace vdx::frame {

namespace {

// The standard modules the module binds are imported when first used: a
// traced child imports only what its run needs, and the command line no
// tkinter. Reading one of them, from C++ or as an attribute of the module,
// imports and binds it.
PyObject* import_attr(const char* module, const char* attr) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod || !attr) return mod.release();
    return PyObject_GetAttrString(mod.get(), attr);
}

void bind_imports(py::module_& m) {
    struct LazyImport {
        const char* name;
        const char* module;
        const char* attr;
    };
    static const LazyImport imports[] = {
        {"tk", "tkinter", nullptr},
        {"messagebox", "tkinter.messagebox", nullptr},
        {"Checkbutton", "tkinter", "Checkbutton"},
        {"StringVar", "tkinter", "StringVar"},
        {"ttk", "tkinter.ttk", nullptr},
        {"filedialog", "tkinter.filedialog", nullptr},
        {"json", "json", nullptr},
        {"argparse", "argparse", nullptr},
        {"tempfile", "tempfile", nullptr},
        {"re", "re", nullptr},
        {"subprocess", "subprocess", nullptr},
        {"Path", "pathlib", "Path"},
        {"ast", "ast", nullptr},
        {"inspect", "inspect", nullptr},
        {"copy", "copy", nullptr},
        {"unparse", "ast", "unparse"},
    };
    for (const LazyImport& lazy : imports)
        add_lazy_global(lazy.name, [lazy] { return import_attr(lazy.module, lazy.attr); });
    // Loaded with the interpreter anyway.
    m.attr("os") = py::module_::import("os");
    m.attr("sys") = py::module_::import("sys");
    // Python code reads them as attributes of the module.
    m.def("__getattr__", [](py::str name) -> py::object {
        PyObject* v = lazy_global(name.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        PyErr_Format(PyExc_AttributeError, "module 'vardex' has no attribute '%U'", name.ptr());
        throw py::error_already_set();
    });
    m.def("__dir__", []() {
        py::list names = py::reinterpret_borrow<py::dict>(module_dict()).attr("keys")();
        for (const std::string& n : lazy_global_names())
            if (!PyDict_GetItemString(module_dict(), n.c_str())) names.append(py::str(n));
        names.attr("sort")();
        return names;
    });
}

py::list strs(std::initializer_list<const char*> items) {
    py::list l;
    for (const char* s : items) l.append(s);
    return l;
}

void create_globals(py::module_& m) {
    auto dict = [] { return py::dict(); };
    auto list = [] { return py::list(); };
    m.attr("_line_cache_trace") = dict();
    m.attr("class_filter_lines_dict") = dict();
    m.attr("trace_aim_info_list") = list();
    m.attr("trace_aim_files") = list();
    m.attr("trace_line_numbers_combine") = list();
    m.attr("last_trace_lienno") = -1;
    m.attr("last_trace_filename") = "";
    m.attr("last_trace_lineno") = -1;
    m.attr("f_global") = "";
    m.attr("f_local") = "";
    m.attr("trace_info") = dict();
    m.attr("trace_last_values") = dict();
    m.attr("items_has_to_watch_yourself") = dict();
    m.attr("last_values_has_to_watch_yourself") = dict();
    m.attr("deledinfo") = dict();
    m.attr("print_directly") = 0;
    m.attr("trace_class_instances_list") = list();
    m.attr("previous_line") = "";
    m.attr("previous_line_no") = 0;
    m.attr("last_record_lineno") = list();
    m.attr("trace_classname_now") = "";
    m.attr("all_call_stack") = list();
    m.attr("trace_lineno_list") = list();
    m.attr("trace_putong_var") = false;
    m.attr("trace_putong_var_checked") = false;
    m.attr("trace_files_class_lines_dict") = dict();
    m.attr("watching_instances") = list();
    m.attr("initcheck") = 0;
    m.attr("stop_trace") = false;
    m.attr("check_after_creat") = 1;
    m.attr("trace_var_name") = 0;
    m.attr("stored_main_lines") = list();
    m.attr("trace_stop_line_numbers") = list();
    m.attr("print_called_function_name") = 0;
    // Compiled at their first use.
    add_lazy_global("func_pattern", [] {
        Ref re = Ref::steal(PyImport_ImportModule("re"));
        return re ? PyObject_CallMethod(re.get(), "compile", "s", R"(\b\w+\s*\()") : nullptr;
    });
    add_lazy_global("exclude_pattern", [] {
        Ref re = Ref::steal(PyImport_ImportModule("re"));
        return re ? PyObject_CallMethod(re.get(), "compile", "s", R"(\brange\s*\()") : nullptr;
    });
    m.attr("subprocess_flag") = 1;
    py::list classname_list;
    classname_list.append(py::list(py::make_tuple("Canvas_row", strs({"$item.x"}))));
    classname_list.append(py::list(py::make_tuple("new_canvas_row", strs({"$item.x", "$item.y"}))));
    classname_list.append(py::list(py::make_tuple("row1", strs({"$item.x", "$item.y"}))));
    m.attr("trace_classname_list") = classname_list;
    m.attr("trace_var_list") = list();
    m.attr("trace_list_list") = list();
    m.attr("trace_key") = "";
    m.attr("project_main_file") = "";
    m.attr("folder_path") = "";
    m.attr("add_lines_lens") = 0;
    m.attr("trace_stop_list") = list();
    m.attr("trace_target_line_list") = list();
    m.attr("trace_type_class") = 1;
    m.attr("trace_class_typy_name") = "item_line_created";
    m.attr("trace_class_var_condition") = strs({"", ""});
    m.attr("trace_class_addincheck_condition") = "1";
    m.attr("trace_class_Filter_report_condition") = strs({"1"});
    m.attr("class_map") = dict();
    // Beyond the table: where each record's code starts (parallel to
    // trace_aim_info_list), and the program's own command line: its
    // arguments and its main file as the user gave it (sys.argv[0]).
    m.attr("trace_aim_spans") = list();
    m.attr("program_args") = list();
    m.attr("main_file_as_given") = "";
    // Report texts of values are cut to N characters (0: whole); reports of
    // watched variables and lists are made after their statement, from the
    // values observed, when observe_values is true, else before it with a
    // predicted value.
    m.attr("N") = 1000;
    m.attr("observe_values") = 0;
    // The interpreter that runs the program ("": this one).
    m.attr("program_python") = "";
    // Whether the project scan keeps and reads its records in the user's
    // cache folder (the command line's --no-cache: False).
    m.attr("scan_cache") = true;
    // The watched classes the last project scan found defined.
    m.attr("_defined_classes") = py::set();
}

// Creates the data folder with its result and simple-mode files. Raises OSError
// when the folder cannot be made or written.
void prepare_data_folder(py::module_& m, const py::object& data_dir) {
    py::object os = m.attr("os");
    if (!truthy(os.attr("path").attr("exists")(data_dir))) os.attr("makedirs")(data_dir);
    for (const char* file : {"trace_result.txt", "simple_mode.txt"}) {
        py::object p = os.attr("path").attr("join")(data_dir, file);
        if (!truthy(os.attr("path").attr("isfile")(p))) {
            // Made empty, as Path.touch() would make it.
            py::object fd = os.attr("open")(p, os.attr("O_CREAT") | os.attr("O_WRONLY"), 0666);
            os.attr("close")(fd);
        }
    }
    py::object mode = os.attr("W_OK") | os.attr("X_OK");
    if (!truthy(os.attr("access")(data_dir, mode))) {
        PyErr_Format(PyExc_PermissionError, "data folder is not writable: %S", data_dir.ptr());
        throw py::error_already_set();
    }
}

// A per-user folder for installations whose own folder cannot hold the data;
// every process that loads the same module file arrives at the same one.
py::object user_data_dir(py::module_& m) {
    py::object os = m.attr("os");
    py::object env = os.attr("environ");
    py::object base;
    if (py::str(os.attr("name")).cast<std::string>() == "nt") {
        base = env.attr("get")("LOCALAPPDATA");
        if (base.is_none()) base = os.attr("path").attr("expanduser")("~");
    } else {
        base = env.attr("get")("XDG_DATA_HOME");
        if (base.is_none() || !truthy(base))
            base = os.attr("path").attr("join")(os.attr("path").attr("expanduser")("~"),
                                                ".local", "share");
    }
    return os.attr("path").attr("join")(base, "vardex", "trace_data_for_vardex");
}

void create_data_folder(py::module_& m) {
    py::object os = m.attr("os");
    py::object ospath = os.attr("path");
    py::object here = ospath.attr("dirname")(ospath.attr("abspath")(m.attr("__file__")));
    py::object data_dir = ospath.attr("join")(here, "trace_data_for_vardex");
    py::object primary = data_dir;
    m.attr("_data_folder_error") = py::none();
    try {
        prepare_data_folder(m, data_dir);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        data_dir = user_data_dir(m);
        try {
            prepare_data_folder(m, data_dir);
        } catch (py::error_already_set& e2) {
            if (!e2.matches(PyExc_OSError)) throw;
            // Nowhere to keep results: the module still loads, so that the
            // command line can say so in one line; every use of the result
            // file then fails with the error of opening it.
            m.attr("_data_folder_error") =
                py::str("cannot create the data folder {} ({}), nor {} ({})")
                    .format(primary, py::str(e.value()), data_dir, py::str(e2.value()));
            data_dir = primary;
        }
    }
    m.attr("data_dir") = data_dir;
    m.attr("data_store_folder") = data_dir;
    // pathlib.Path values, made when first read.
    for (const char* pair : {"trace_result_file_path=trace_result.txt", "simple_mode_file_path=simple_mode.txt",
                             "language_select_file_path=language.txt"}) {
        std::string text(pair);
        std::string name = text.substr(0, text.find('=')), file = text.substr(text.find('=') + 1);
        PyObject* folder = data_dir.ptr();
        Py_INCREF(folder);
        add_lazy_global(name.c_str(), [folder, file] {
            PyObject* path_type = get_global("Path");
            if (!path_type) return (PyObject*)nullptr;
            Ref base = Ref::steal(PyObject_CallOneArg(path_type, folder));
            Ref leaf = Ref::steal(PyUnicode_FromString(file.c_str()));
            return base && leaf ? PyNumber_TrueDivide(base.get(), leaf.get()) : nullptr;
        });
    }
}

}  // namespace

void load_state(py::module_& m) {
    init_tool_output();
    bind_imports(m);
    create_globals(m);
    create_data_folder(m);
}

}  // namespace vdx::frame
