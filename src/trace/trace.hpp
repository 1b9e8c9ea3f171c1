// Trace runtime: what runs inside the traced child.
#pragma once
#include "common/pyobj.hpp"

#include <vector>

namespace vdx::trace {

void register_functions(py::module_& m);

// (stripped source line, line number in source numbering) for a frame
// location; never raises for a source that cannot be read. New ref or nullptr.
PyObject* line_from_file(PyObject* filename, PyObject* lineno);
// The same for a file line in the file's own numbering (`shifted`: the line
// is the main file's in the numbering of "<string>").
PyObject* source_line(PyObject* filename, PyObject* lineno, bool shifted = false);

// Appends each text plus "\n" to the result file, all with one write.
int append_result_lines(PyObject* const* texts, Py_ssize_t n);

// The caller block of a report: user header and one line per caller detail.
int write_caller_details(PyObject* instance, PyObject* caller_details);
// While one is alive, write_caller_details in this thread hands a complete
// block to `sink` instead of writing it, so that the report that follows can
// write both with one append.
class HoldCallerBlock {
public:
    explicit HoldCallerBlock(std::vector<Ref>* sink);
    ~HoldCallerBlock();
    HoldCallerBlock(const HoldCallerBlock&) = delete;
    HoldCallerBlock& operator=(const HoldCallerBlock&) = delete;
private:
    std::vector<Ref>* previous_;
};
// Writes result-file lines and echoes them when print_directly is 1.
int write_block(const std::vector<Ref>& lines);

// True when the module global print_directly equals the given mode (-1 on error).
int print_directly_is(long mode);

// Change report helpers (raw cores of the module functions of the same names).
// The values along a dotted attribute path, one per step, ending early with
// None at the first missing or None link. New list or nullptr.
PyObject* get_attribute_value_and_intermediates(PyObject* instance, PyObject* attr_str);
// The path values of every attribute entry ("$item." removed), in order. New list or nullptr.
PyObject* get_values(PyObject* instance, PyObject* class_var_list);
// Withdraws the users of fixed_list from obj and from the objects along attr_str. 0 or -1.
int del_report_user_of_subitems(PyObject* obj, PyObject* attr_str, PyObject* fixed_list);
// Whether an instance of the class is created at that file and line under one
// of the names, according to trace_files_class_lines_dict. 1, 0 or -1.
int line_in_trace_lines(PyObject* filename, PyObject* lineno, PyObject* class_name,
                        PyObject* instance_names);

}  // namespace vdx::trace

namespace vdx::trace {

// Handler for the "call" event of an `__init__` frame; returns the local trace
// function for the frame (new ref, None to stop tracing it) or nullptr on error.
// Left empty until instance capture installs one.
using InitCaptureHook = PyObject* (*)(PyFrameObject* frame);
void set_init_capture_hook(InitCaptureHook hook);

InitCaptureHook init_capture_hook();
// The property poll of a call event. 0 or -1.
int poll_watched(PyFrameObject* frame);

// The sys.monitoring engine: the trace function's first event hands the run
// over to it unless VARDEX_ENGINE=settrace or no tool id is free (said once).
// Calls come from PY_START, PY_RESUME and PY_THROW, switched off for good in
// code whose calls need no work; line events (LINE, and backward jumps
// within a line) and the frame's return and exception events only in code
// that holds watched statements or stop lines. Returns 0 also when it does
// not start.
int monitoring_try_start();
bool monitoring_active();
// A module global was rebound: a new polled table is watched for entries,
// new watch tables make every code be looked at again; when the globals are
// cleared at shutdown, every event of the tool ends and its ids are freed.
// `tables_changed`: the engine's watch tables were rebound.
void monitoring_note_global(PyDict_WatchEvent event, PyObject* key, PyObject* new_value, bool tables_changed);
// A line event as sys.monitoring delivers it (stop lines stop every event). 0 or -1.
int monitoring_line_event(PyFrameObject* frame);

// For the sys.monitoring engine, from the trace function's own steps.
// Whether frames of the code need line events: 1, 0 or -1 with an error.
int code_needs_line_events(PyCodeObject* code);
enum class LineResult {
    Keep,     // later events at this place may matter
    Done,     // the place needs no more line events
    Stopped,  // a stop line was reached: no more events at all
    Error,
};
LineResult monitored_line_event(PyFrameObject* frame);

// The trace function object (borrowed), as registered in the module.
PyObject* trace_function() noexcept;

// Where code comes from, as reports and the watch tables see it:
// - MainFile: the main file's own code, told by its code objects (the runner
//   registers them), whatever its file name. Run from a string ("<string>")
//   its lines are shifted by the preamble; compiled under the main file's
//   path they are its own. Before the runner registers the main file's code,
//   all code named "<string>" counts as the main file's.
// - Runner: the child runner's own code (never shown);
// - OtherString: other code the program ran from a string;
// - File: the code of a file (a main file imported as a module included).
enum class CodeRole { MainFile, Runner, OtherString, File };
CodeRole code_role(PyCodeObject* code);
// The location of a frame in the numbering of the watch tables: the main
// file's code as "<string>" with its shifted line, anything else as Python
// reports it. `name` becomes a new reference.
void table_location(PyFrameObject* frame, Ref& name, long& line);
// The shift of the main file's lines in the numbering of "<string>"
// (add_lines_lens + 1); -1 with an error.
long main_file_shift();
// Registered by the child's runner: the main file's compiled code (with the
// code nested in it) and the runner's own code.
void register_main_code(PyObject* code);
void register_runner_code(PyObject* code);

}  // namespace vdx::trace
