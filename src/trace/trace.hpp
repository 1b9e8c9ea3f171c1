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

namespace vdx::trace {

// Handler for the "call" event of an `__init__` frame; returns the local trace
// function for the frame (new ref, None to stop tracing it) or nullptr on error.
// Left empty until instance capture installs one.
using InitCaptureHook = PyObject* (*)(PyFrameObject* frame);
void set_init_capture_hook(InitCaptureHook hook);

// The trace function object (borrowed), as registered in the module.
PyObject* trace_function() noexcept;

}  // namespace vdx::trace
