#include "instrument/instrument.hpp"

namespace vdx::instrument {

void register_trace_info(py::module_& m);
void register_observable(py::module_& m);
void register_report(py::module_& m);
void register_hooks(py::module_& m);
void register_derived(py::module_& m);

void register_functions(py::module_& m) {
    register_report(m);
    register_trace_info(m);
    register_hooks(m);
    register_derived(m);
    register_observable(m);
}

}  // namespace vdx::instrument
