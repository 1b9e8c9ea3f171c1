// Module frame: load sequence, globals, data folder, settings files, command line.
#pragma once
#include "common/pyobj.hpp"

namespace vdx::frame {

// Steps 1 to 6 of loading: imports, globals, data folder and its files.
void load_state(py::module_& m);
// The settings functions, main and open_gui.
void register_functions(py::module_& m);

}  // namespace vdx::frame
