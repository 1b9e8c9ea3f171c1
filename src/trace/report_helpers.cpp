// Helpers of the change reports: attribute paths, values, detaching users.
#include "trace/trace.hpp"

namespace vdx::trace {

void register_report_helpers(py::module_&) {}

}  // namespace vdx::trace
