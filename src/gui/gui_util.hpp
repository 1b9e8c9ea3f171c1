// Helpers shared by the window's parts: methods on Python-level classes,
// two-language texts and the JSON files of the data folder.
#pragma once
#include "common/pyobj.hpp"

#include <string>

namespace vdx::gui {

// The class row's field keys and the names of its saved values, in order.
inline const char* const kClassKeys[] = {"Input Class Names", "Input Var Names", "Input List Names",
                                         "Input instance Names"};
inline const char* const kClassData[] = {"class_name", "var_names", "list_names", "instance_names"};

// A field's text, or "" while it shows its placeholder.
py::object typed(py::object field);

// Sets `name` on the class as a method: `fn` takes self first.
void method(py::object cls, const char* name, py::cpp_function fn);

// The text of a [English, Chinese] pair for the window's language.
inline py::object tr(py::handle self, const char* en, const char* zh) {
    return py::str(py::int_(self.attr("language")).cast<int>() == 1 ? zh : en);
}

// json.load of a UTF-8 file (throws the JSON or OS error).
py::object load_json(py::handle path);
// json.dump(value, indent=4) into the file, written to a temporary file in the
// same folder and renamed over it, so a failure never leaves it truncated.
void dump_json(py::handle path, py::handle value);
// Moves an unreadable file aside as "<name>.bad" (or "<name>.bad2", ... when
// taken) and says so in one line; returns the new path.
py::object keep_aside(py::handle path, const std::string& what, const std::string& problem);

void register_placeholder(py::module_& m);
void register_window(py::module_& m);
void register_rows(py::module_& m, py::object cls);
void register_storage(py::module_& m, py::object cls);
void register_run(py::module_& m, py::object cls);

}  // namespace vdx::gui
