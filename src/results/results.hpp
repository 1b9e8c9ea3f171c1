#pragma once
#include "common/pyobj.hpp"

#include <functional>

namespace vdx::results {

void register_functions(py::module_& m);

// A new temporary text file (UTF-8, kept after closing) filled by `write`; its name.
py::object temp_text_file(const std::function<void(py::object)>& write);

}  // namespace vdx::results
