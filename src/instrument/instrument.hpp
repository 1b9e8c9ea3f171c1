// Class and container instrumentation: report filing, watch-string helpers,
// the observable list.
#pragma once
#include "common/pyobj.hpp"

namespace vdx::instrument {

void register_functions(py::module_& m);

// The callers of a frame, outermost first, at most ten levels (new ref).
PyObject* caller_details(PyObject* start_frame, long long ign);
// The same with `ign` as any Python number (compared with != 0, decremented).
PyObject* caller_details_py(PyObject* start_frame, PyObject* ign);

// Files one report: echo, result-file line and the user's entry in `dict`.
int combine_trace_info(PyObject* dict, PyObject* instance, PyObject* trace_str_list,
                       PyObject* create_instance);

// A report line shortened for the terminal (new ref).
PyObject* shorten_report(PyObject* input_string);

}  // namespace vdx::instrument
