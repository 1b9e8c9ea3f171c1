#pragma once
#include "common/pyobj.hpp"

#include <functional>

namespace vdx::results {

void register_functions(py::module_& m);

// A new temporary text file (UTF-8, kept after closing) filled by `write`; its
// name. It is recorded as one of the module's own temporary files.
py::object temp_text_file(const std::function<void(py::object)>& write);

// The temporary files the module made (for a viewer to read) are removed when
// the window closes, when the interpreter exits, or, for one shown in the
// module's own text window, when that window closes; files the module did not
// make are never removed.
void remember_temporary_file(py::handle path);
// Removes the file if this process made it as a temporary file; true if it did.
bool remove_temporary_file(py::handle path);
void remove_temporary_files();

}  // namespace vdx::results
