// Source-line utilities shared by the tracer and the source analysis.
#include "project/project.hpp"

namespace vdx::project {

int is_function_value(PyObject* text) {
    PyObject* func_pattern = get_global("func_pattern");
    if (!func_pattern) return -1;
    Ref matches = Ref::steal(PyObject_CallMethodOneArg(func_pattern, VDX_STR("finditer"), text));
    if (!matches) return -1;
    Ref it = Ref::steal(PyObject_GetIter(matches.get()));
    if (!it) return -1;
    while (Ref match = Ref::steal(PyIter_Next(it.get()))) {
        Ref matched = Ref::steal(PyObject_CallMethod(match.get(), "group", nullptr));
        if (!matched) return -1;
        PyObject* exclude_pattern = get_global("exclude_pattern");
        if (!exclude_pattern) return -1;
        Ref found = Ref::steal(PyObject_CallMethodOneArg(exclude_pattern, VDX_STR("search"), matched.get()));
        if (!found) return -1;
        if (found.get() == Py_None) return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

Py_ssize_t split_comment(PyObject* code_line) {
    if (!PyUnicode_Check(code_line)) {
        PyErr_SetString(PyExc_TypeError, "split_comment() expects a str");
        return -2;
    }
    const int kind = PyUnicode_KIND(code_line);
    const void* data = PyUnicode_DATA(code_line);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(code_line);
    bool in_string = false;
    Py_UCS4 quote = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\'' || c == '"') {
            if (!in_string) {
                in_string = true;
                quote = c;
            } else if (c == quote) {
                in_string = false;
            }
        } else if (!in_string) {
            if (c == ':') return -1;
            if (c == '#') return i;
        }
    }
    return -1;
}

PyObject* get_no_comment_line(PyObject* code_line) {
    Py_ssize_t i = split_comment(code_line);
    if (i == -2) return nullptr;
    if (i == -1) return Py_NewRef(code_line);
    Ref head = Ref::steal(PyUnicode_Substring(code_line, 0, i));
    if (!head) return nullptr;
    return PyObject_CallMethod(head.get(), "rstrip", nullptr);
}

namespace {

// The file's lines as Python reads the source (coding declaration, BOM,
// universal newlines); the error of opening or decoding propagates.
py::object read_file_to_list(py::object filepath) {
    Ref text = Ref::steal(read_source_text(filepath.ptr()));
    if (!text) throw py::error_already_set();
    return check(split_source_lines(text.get()));
}

void open_usage() {
    py::object os = g("os");
    py::object ospath = os.attr("path");
    py::object base = ospath.attr("dirname")(ospath.attr("abspath")(g("__file__")));
    py::object folder = py::str("");
    for (auto entry : os.attr("listdir")(base)) {
        py::object name = py::reinterpret_borrow<py::object>(entry);
        if (truthy(name.attr("startswith")("vardex")) && truthy(name.attr("endswith")(".dist-info"))) {
            py::print(name);
            folder = ospath.attr("join")(base, name);
            break;
        }
    }
    py::object metadata = ospath.attr("join")(folder, "METADATA");
    if (!truthy(ospath.attr("exists")(metadata))) {
        py::print(py::str("No METADATA file found in ") + py::str(folder) + py::str("."));
        // Not installed as a package (a build's own module file): a short
        // text in its place, in a temporary file the module removes again.
        metadata = g("_temporary_text_file")(py::str(
            "vardex watches the variables, lists and class attributes of a Python project while it runs.\n\n"
            "Fill in rows (a class with its attributes, lists and instance names; or, without a class,\n"
            "variables and lists), add stop lines, then press Run. The result buttons show the reports\n"
            "in time order or grouped per watched instance.\n\n"
            "The README of the project describes the window and the command line; 'vardex --help'\n"
            "lists every option.\n"));
    }
    // The system's viewer ("open" on macOS, "xdg-open" elsewhere), or the
    // tool's own text window.
    g("open_txt_file")(metadata);
}

}  // namespace

void register_source_lines(py::module_& m) {
    m.def(
        "is_function_value",
        [](py::object text) {
            int r = is_function_value(text.ptr());
            check_rc(r);
            return r != 0;
        },
        py::arg("text"));
    m.def(
        "split_comment",
        [](py::object code_line) {
            Py_ssize_t i = split_comment(code_line.ptr());
            if (i == -2) throw py::error_already_set();
            return i;
        },
        py::arg("code_line"));
    m.def(
        "get_no_comment_line",
        [](py::object code_line) { return check(get_no_comment_line(code_line.ptr())); },
        py::arg("code_line"));
    m.def("read_file_to_list", &read_file_to_list, py::arg("filepath"));
    m.def("open_usage", &open_usage);
}

}  // namespace vdx::project
