#pragma once
#include "common/pyobj.hpp"

namespace vdx::results {

void register_functions(py::module_& m);

}  // namespace vdx::results
