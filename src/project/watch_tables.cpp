// Preparation of the tracer's line tables and stop lines.
#include "project/project.hpp"

namespace vdx::project {

void register_watch_tables(py::module_&) {}

}  // namespace vdx::project
