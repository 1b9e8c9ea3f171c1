// Trace runtime: what runs inside the traced child.
#pragma once
#include "common/pyobj.hpp"

namespace vdx::trace {

void register_functions(py::module_& m);

// (stripped source line, line number in source numbering) for a frame
// location; never raises for a source that cannot be read. New ref or nullptr.
PyObject* line_from_file(PyObject* filename, PyObject* lineno);

// Appends each text plus "\n" to the result file, one complete line per write.
int append_result_lines(PyObject* const* texts, Py_ssize_t n);

// The caller block of a report: user header and one line per caller detail.
int write_caller_details(PyObject* instance, PyObject* caller_details);

// True when the module global print_directly equals the given mode (-1 on error).
int print_directly_is(long mode);

}  // namespace vdx::trace
