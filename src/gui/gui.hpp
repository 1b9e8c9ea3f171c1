#pragma once
#include "common/pyobj.hpp"

namespace vdx::gui {

void register_functions(py::module_& m);

}  // namespace vdx::gui
