// Project analysis and launch: source-line utilities, project scan,
// modification finder, runner, watch-table preparation.
#pragma once
#include "common/pyobj.hpp"

namespace vdx::project {

void register_functions(py::module_& m);

// Whether a source fragment holds a call other than a call of range (-1 on error).
int is_function_value(PyObject* text);
// Index of the comment sign of one source line, or -1.
Py_ssize_t split_comment(PyObject* code_line);
// The line without its trailing comment (new ref).
PyObject* get_no_comment_line(PyObject* code_line);

}  // namespace vdx::project
