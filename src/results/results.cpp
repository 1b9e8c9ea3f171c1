// Reading and grouping the result file.
#include "results/results.hpp"

namespace vdx::results {

namespace {

py::dict process_lines(py::object lines) {
    py::dict grouped;
    py::object current_name = py::none();
    py::list current_lines;
    auto flush = [&]() {
        if (!grouped.contains(current_name)) grouped[current_name] = py::list();
        grouped[current_name].attr("extend")(current_lines);
    };
    for (auto raw : lines) {
        py::object stripped = raw.attr("strip")();
        if (truthy(stripped.attr("startswith")("-----------------<"))) {
            if (truthy(current_name)) flush();
            current_name = stripped;
            current_lines = py::list();
            current_lines.append(stripped);
        } else {
            current_lines.append(stripped);
        }
    }
    if (truthy(current_name) && py::len(current_lines) > 0) flush();
    return grouped;
}

void print_grouped_data(py::object grouped_data) {
    long count = 0;
    for (auto item : grouped_data.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        ++count;
        py::print(py::str("\u00a5\u00a5\u00a5\u00a5\u00a5\u00a5Target No.") + py::str(py::int_(count)) +
                  py::str(":"));
        for (auto line : kv[1]) py::print(line);
        py::print();
    }
}

py::dict get_arr_lines_of_trace_result() {
    py::object path = g("os").attr("path").attr("join")(g("data_store_folder"), "trace_result.txt");
    py::object lines = py::list();
    try {
        lines = read_utf8(path, "readlines");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("Err when read trace_result_file:", e.value());
        lines = py::list();
    }
    return process_lines(lines);
}

}  // namespace

void register_functions(py::module_& m) {
    m.def("process_lines", &process_lines, py::arg("lines"));
    m.def("print_grouped_data", &print_grouped_data, py::arg("grouped_data"));
    m.def("get_arr_lines_of_trace_result", &get_arr_lines_of_trace_result);
    m.def("arr_as_instances_and_show_trace_result",
          [] { g("print_grouped_data")(g("get_arr_lines_of_trace_result")()); });
}

}  // namespace vdx::results
