#include "project/project.hpp"

namespace vdx::project {

void register_source_lines(py::module_& m);
void register_visitor(py::module_& m);
void register_scan(py::module_& m);
void register_watch_tables(py::module_& m);
void register_runner(py::module_& m);
void register_child_run(py::module_& m);

void register_functions(py::module_& m) {
    register_source_lines(m);
    register_visitor(m);
    register_scan(m);
    register_watch_tables(m);
    register_runner(m);
    register_child_run(m);
}

}  // namespace vdx::project
