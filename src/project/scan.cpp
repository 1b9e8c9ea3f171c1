// The scan of the project's source files.
#include "project/project.hpp"

namespace vdx::project {

void register_scan(py::module_&) {}

}  // namespace vdx::project
