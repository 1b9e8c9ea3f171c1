#include "results/results.hpp"

namespace vdx::results {

void register_functions(py::module_&) {}

}  // namespace vdx::results
