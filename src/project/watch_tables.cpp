// Preparation of the tracer's line tables and stop lines.
#include "project/project.hpp"

#include <array>
#include <string>
#include <vector>

namespace vdx::project {

namespace {

// n + add_lines_lens + 1: a main-file line number in the numbering of "<string>".
py::object shifted(py::handle n, py::handle add_lines_lens) {
    py::object s = check(PyNumber_Add(n.ptr(), add_lines_lens.ptr()));
    return check(PyNumber_Add(s.ptr(), py::int_(1).ptr()));
}

// a, b, c = result, with the interpreter's unpacking errors.
std::array<py::object, 3> unpack3(py::handle result) {
    PyObject* it = PyObject_GetIter(result.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(result.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    Ref iter = Ref::steal(it);
    std::array<py::object, 3> out;
    for (int i = 0; i < 3; ++i) {
        PyObject* v = PyIter_Next(iter.get());
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            throw py::error_already_set();
        }
        out[i] = py::reinterpret_steal<py::object>(v);
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
}

}  // namespace

void create_trace_stop_line_numbers() {
    py::object stop_list = g("trace_stop_list");
    py::object main_file = g("project_main_file");
    py::object add_lines_lens = g("add_lines_lens");
    py::list numbers;
    for (auto e : stop_list) {
        py::object entry = py::reinterpret_borrow<py::object>(e);
        if (equals(entry[py::int_(0)], main_file)) {
            entry[py::int_(0)] = py::str("<string>");
            entry[py::int_(1)] = shifted(entry[py::int_(1)], add_lines_lens);
        }
    }
    for (auto e : stop_list) numbers.append(py::reinterpret_borrow<py::object>(e)[py::int_(1)]);
    set_g("trace_stop_line_numbers", numbers);
    if (equals(g("os").attr("name"), py::str("nt"))) {
        py::list converted;
        for (auto e : stop_list) {
            py::object entry = py::reinterpret_borrow<py::object>(e);
            py::list copy;
            copy.append(entry[py::int_(0)].attr("replace")("/", "\\"));
            copy.append(entry[py::int_(1)]);
            converted.append(copy);
        }
        set_g("trace_stop_list", converted);
    }
}

// After the scan: one line for each watched name that no line of the project
// changes, and each watched class that no file of it defines. The run goes on.
void say_what_cannot_be_reported(const py::object& aim_info) {
    py::set changed;
    for (auto entry : aim_info)
        for (auto record : py::reinterpret_borrow<py::object>(entry)[py::int_(1)])
            changed.add(py::reinterpret_borrow<py::object>(record)[py::int_(1)]);
    py::set said;
    for (const char* table : {"trace_var_list", "trace_list_list"}) {
        for (auto name : g(table)) {
            if (changed.contains(name) || said.contains(name)) continue;
            said.add(name);
            tool_message("no line of the project changes " + utf8_text(name));
        }
    }
    py::object defined = g("_defined_classes");
    for (auto entry : g("trace_classname_list")) {
        py::object name = py::reinterpret_borrow<py::object>(entry)[py::int_(0)];
        int has = PySequence_Contains(defined.ptr(), name.ptr());
        check_rc(has);
        if (!has) tool_message("no file of the project defines the class " + utf8_text(name));
    }
}

void generate_linenos() {
    g("create_trace_stop_line_numbers")();
    auto [aim_info, aim_files, line_numbers] = unpack3(g("read_in_folder")());
    try {
        say_what_cannot_be_reported(aim_info);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    set_g("trace_aim_info_list", aim_info);
    set_g("trace_aim_files", aim_files);
    set_g("trace_line_numbers_combine", line_numbers);
    py::object add_lines_lens = g("add_lines_lens");
    py::list extra;
    for (auto n : line_numbers) extra.append(shifted(n, add_lines_lens));
    line_numbers.attr("extend")(extra);
    py::object main_file = g("project_main_file");
    if (!truthy(main_file)) {
        set_g("trace_list_list", py::list());
        set_g("trace_lineno_list", py::list());
        set_g("trace_key", py::str(""));
        set_g("trace_var_list", py::list());
        return;
    }
    set_g("stored_main_lines", g("read_file_to_list")(main_file));
}

int run_generate_linenos() { return guarded_call(generate_linenos); }

std::string stop_line_problem(py::handle path, long line) {
    Ref text = Ref::steal(read_source_text(path.ptr()));
    if (!text) {
        PyErr_Clear();
        return "";  // what cannot be read is said when the program reaches it
    }
    py::list lines = check(split_source_lines(text.get()));
    long count = (long)py::len(lines);
    if (line < 1) return "there is no line " + std::to_string(line);
    if (line > count)
        return "line " + std::to_string(line) + " is past the end of the file (" + std::to_string(count) + " lines)";
    py::object code = py::str(lines[line - 1]).attr("strip")();
    if (!truthy(code) || truthy(code.attr("startswith")("#")))
        return "line " + std::to_string(line) + " holds no code";
    // A line no instruction is compiled for (else:, finally:, the inner
    // lines of a docstring or of a header spread over lines) is never reached
    // either. A file that does not compile is left to the run.
    py::object compiled;
    try {
        compiled = py::module_::import("builtins").attr("compile")(py::handle(text.get()), path, "exec",
                                                                    py::arg("dont_inherit") = true);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return "";
    }
    std::vector<py::object> todo{compiled};
    while (!todo.empty()) {
        py::object c = todo.back();
        todo.pop_back();
        for (auto entry : c.attr("co_lines")()) {
            py::object n = py::reinterpret_borrow<py::tuple>(entry)[2];
            if (!n.is_none() && n.cast<long>() == line) return "";
        }
        for (auto k : c.attr("co_consts"))
            if (PyCode_Check(k.ptr())) todo.push_back(py::reinterpret_borrow<py::object>(k));
    }
    return "line " + std::to_string(line) + " holds no code";
}

void register_watch_tables(py::module_& m) {
    m.def("create_trace_stop_line_numbers", &create_trace_stop_line_numbers);
    m.def("generate_linenos", &generate_linenos);
}

}  // namespace vdx::project
