// Project analysis and launch: source-line utilities, project scan,
// modification finder, runner, watch-table preparation.
#pragma once
#include "common/pyobj.hpp"

#include <string>

namespace vdx::project {

void register_functions(py::module_& m);

// Whether a source fragment holds a call other than a call of range (-1 on error).
int is_function_value(PyObject* text);
// Index of the comment sign of one source line, or -1.
Py_ssize_t split_comment(PyObject* code_line);
// The line without its trailing comment (new ref).
PyObject* get_no_comment_line(PyObject* code_line);

// Project scan.
py::list get_py_files(py::object directory_path);
py::dict create_class_instances_dict(py::object classname_list);
py::tuple get_aim_vars_info(py::object file_path, py::object code_lines, py::object variable_names,
                            py::object trace_classname_list);
void create_class_filter_lines_dict(py::object trace_class_lines_dict);
py::tuple read_in_folder();

// Calls the module's run_python_project and returns the child it started
// (None when it started none). A preexec_fn that is not None replaces the
// runner's own in the child. `as_python`: the child's streams buffer as
// under "python main.py" (no "-u"), with this interpreter's own flags.
py::object run_capturing_child(py::object preexec_fn, bool as_python = false);

// The result file's path as text: trace_result_file_path when it was read or
// set, else the data folder's trace_result.txt (without making the Path).
py::object result_file_text();

// Whether another traced run holds the result file (it is being written).
bool result_file_busy(py::handle path);

// Watch-table preparation (throw error_already_set).
void create_trace_stop_line_numbers();
void generate_linenos();
// generate_linenos for raw C API callers: 0, or -1 with the exception set.
int run_generate_linenos();
// Why a stop line can never be reached: "line N is past the end of the file
// (M lines)" or "line N holds no code" (blank, or only a comment); "" when it
// can, or when the file cannot be read.
std::string stop_line_problem(py::handle path, long line);

}  // namespace vdx::project
