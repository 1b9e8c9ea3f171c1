// The scan of the project's source files.
#include "project/project.hpp"

#include <chrono>

namespace vdx::project {

namespace {

// s.startswith(prefix) / s.endswith(suffix) with str semantics; other types go
// through their own methods.
bool str_tailmatch(PyObject* s, PyObject* part, int direction) {
    if (PyUnicode_Check(s)) {
        Py_ssize_t r = PyUnicode_Tailmatch(s, part, 0, PY_SSIZE_T_MAX, direction);
        check_rc((int)r);
        return r != 0;
    }
    py::handle h(s);
    return truthy(h.attr(direction > 0 ? "endswith" : "startswith")(py::handle(part)));
}

}  // namespace

// Folders that hold no source of the project itself: virtual environments,
// installed packages, byte-code caches and hidden folders.
bool skipped_folder(py::handle root, py::handle name) {
    // Compared as Python text: a name with an undecodable byte has no UTF-8 form.
    py::str n = py::str(name);
    if (py::len(n) == 0 || truthy(n.attr("startswith")("."))) return true;
    py::object lowered = n.attr("lower")();
    if (equals(lowered, py::str("site-packages")) || equals(lowered, py::str("__pycache__"))) return true;
    py::object ospath = g("os").attr("path");
    return truthy(ospath.attr("isfile")(ospath.attr("join")(root, name, "pyvenv.cfg")));
}

py::list get_py_files(py::object directory_path) {
    py::list result;
    py::object Path = g("Path");
    py::object walk = g("os").attr("walk")(directory_path);
    for (auto step : walk) {
        py::tuple entry = py::reinterpret_borrow<py::tuple>(step);
        py::object root = entry[0];
        py::object dirs = entry[1];
        py::object files = entry[2];
        // Prune in place so the walk does not descend into skipped folders.
        py::list kept;
        for (auto d : dirs)
            if (!skipped_folder(root, d)) kept.append(d);
        check_rc(PySequence_SetSlice(dirs.ptr(), 0, PY_SSIZE_T_MAX, kept.ptr()));
        for (auto f : files) {
            if (!str_tailmatch(f.ptr(), VDX_STR(".py"), +1)) continue;
            if (str_tailmatch(f.ptr(), VDX_STR("._"), -1)) continue;
            result.append(Path(root, f));
        }
    }
    return result;
}

py::dict create_class_instances_dict(py::object classname_list) {
    py::dict result;
    for (auto e : classname_list) {
        py::object entry = py::reinterpret_borrow<py::object>(e);
        py::object name = entry[py::int_(0)];
        py::object instances = entry[py::int_(2)];
        if (!result.contains(name)) {
            result[name] = instances;  // the entry's own list, not a copy
            continue;
        }
        // Merge into the first entry's list, adding only names it lacks, so
        // that scanning file after file does not grow it again and again.
        py::object merged = result[name];
        for (auto n : instances) {
            int has = PySequence_Contains(merged.ptr(), n.ptr());
            check_rc(has);
            if (!has) merged.attr("append")(n);
        }
    }
    return result;
}

namespace {

struct FileScan {
    py::object changes;
    py::object class_lines;
    py::object spans;
    py::object defined_classes;
};

FileScan run_visitor(py::object visitor_class, py::object file_path, py::object code_lines,
                     py::object variable_names, py::object class_instances) {
    py::object visitor =
        visitor_class(file_path, code_lines, variable_names, g("func_pattern"), class_instances);
    return {visitor.attr("changes"), visitor.attr("class_lines"), py::getattr(visitor, "change_spans", py::none()),
            py::getattr(visitor, "defined_classes", py::set())};
}

}  // namespace

py::tuple get_aim_vars_info(py::object file_path, py::object code_lines, py::object variable_names,
                            py::object trace_classname_list) {
    py::dict class_instances = create_class_instances_dict(trace_classname_list);
    FileScan r = run_visitor(g("VariableModificationVisitor"), file_path, code_lines,
                             variable_names, class_instances);
    return py::make_tuple(r.changes, r.class_lines);
}

void create_class_filter_lines_dict(py::object trace_class_lines_dict) {
    py::dict result;
    py::object items = trace_class_lines_dict.attr("items")();
    for (auto fe : items) {
        py::tuple file_entry = py::reinterpret_borrow<py::tuple>(fe);
        py::object file_name = file_entry[0];
        for (auto ce : file_entry[1].attr("items")()) {
            py::tuple class_entry = py::reinterpret_borrow<py::tuple>(ce);
            py::object class_name = class_entry[0];
            if (!result.contains(class_name)) result[class_name] = py::list();
            Ref lines = Ref::steal(PySet_New(nullptr));
            if (!lines) throw py::error_already_set();
            for (auto ie : class_entry[1].attr("items")()) {
                py::object instance_lines = py::reinterpret_borrow<py::tuple>(ie)[1];
                check_rc(_PySet_Update(lines.get(), instance_lines.ptr()));
            }
            py::list sorted = check(PySequence_List(lines.get()));
            check_rc(PyList_Sort(sorted.ptr()));
            py::list pair;
            pair.append(file_name);
            pair.append(sorted);
            result[class_name].attr("append")(pair);
        }
    }
    set_g("class_filter_lines_dict", result);
}

py::tuple read_in_folder() {
    py::object names = check(PyNumber_Add(g("trace_var_list").ptr(), g("trace_list_list").ptr()));
    py::object classname_list = g("trace_classname_list");
    py::list aim_info, aim_files, line_numbers, spans;
    py::dict class_lines_table;
    set_g("trace_files_class_lines_dict", class_lines_table);
    // The watched classes some file defines.
    py::set defined;
    set_g("_defined_classes", defined);
    auto started = std::chrono::steady_clock::now();
    size_t scanned = 0;
    for (auto p : get_py_files(g("folder_path"))) {
        ++scanned;
        py::object path = py::reinterpret_borrow<py::object>(p);
        py::dict class_instances = create_class_instances_dict(classname_list);
        py::object visitor_class = g("VariableModificationVisitor");
        FileScan r;
        try {
            r = run_visitor(visitor_class, path, py::none(), names, class_instances);
        } catch (py::error_already_set& e) {
            // One file the finder cannot analyse (null bytes, nesting too deep
            // for the parser) must not cost the whole scan: it contributes
            // nothing, like an unreadable file.
            if (!e.matches(PyExc_Exception)) throw;
            // Said on the tool's stderr: the program's own output stays as it is.
            tool_write_line(py::str("err when scan file: {}: {}: {}")
                                .format(path, e.type().attr("__name__"), e.value())
                                .ptr());
            continue;
        }
        py::str file_name(path);
        if (truthy(r.changes)) {
            py::list pair;
            pair.append(file_name);
            pair.append(r.changes);
            aim_info.append(pair);
            for (auto rec : r.changes) line_numbers.append(rec[py::int_(0)]);
            aim_files.append(file_name);
            spans.append(r.spans);
        }
        if (truthy(r.class_lines)) class_lines_table[file_name] = r.class_lines;
        for (auto c : r.defined_classes) defined.add(c);
    }
    create_class_filter_lines_dict(g("trace_files_class_lines_dict"));
    // Where each record's code starts, parallel to the aim info list.
    set_g("trace_aim_spans", spans);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (seconds > 1.0)
        tool_write_line(py::str("vardex: scanned {} files in {:.1f} s").format(scanned, seconds).ptr());
    py::list distinct = check(PySequence_List(check(PySet_New(line_numbers.ptr())).ptr()));
    aim_files.append("<string>");
    return py::make_tuple(aim_info, aim_files, distinct);
}

void register_scan(py::module_& m) {
    m.def("read_in_folder", &read_in_folder);
    m.def("get_py_files", &get_py_files, py::arg("directory_path"));
    m.def("create_class_instances_dict", &create_class_instances_dict, py::arg("classname_list"));
    // The two list defaults are single objects shared by every call that omits them.
    m.def("get_aim_vars_info", &get_aim_vars_info, py::arg("file_path") = py::none(),
          py::arg("code_lines") = py::none(), py::arg("variable_names") = py::list(),
          py::arg("trace_classname_list") = py::list());
    m.def("create_class_filter_lines_dict", &create_class_filter_lines_dict,
          py::arg("trace_class_lines_dict"));
}

}  // namespace vdx::project
