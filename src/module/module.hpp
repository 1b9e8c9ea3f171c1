// Module frame: load sequence, globals, data folder, settings files, command line.
#pragma once
#include "common/pyobj.hpp"

namespace vdx::frame {

// Steps 1 to 6 of loading: imports, globals, data folder and its files.
void load_state(py::module_& m);
// The settings functions, main and open_gui.
void register_functions(py::module_& m);

// Command-line parser: the main file and the headless watch options.
py::object make_parser();
// Whether the parsed options ask for a run (or a view) without the window.
bool wants_headless(const py::object& args);
// The headless run; returns the exit status. `program_args` follow "--".
int run_headless(const py::object& args, const py::list& program_args);
// The folder scanned for a main file (absolute): the working directory when
// it holds the file, else the file's own folder.
py::object project_folder_for(const py::object& main_file);

}  // namespace vdx::frame
