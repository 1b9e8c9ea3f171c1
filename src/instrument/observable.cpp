// The observable list and the descriptor that installs it on watched attributes.
#include "instrument/instrument.hpp"

namespace vdx::instrument {

namespace {

PyType_Slot observable_slots[] = {{0, nullptr}};

PyType_Spec observable_spec = {
    "vardex.ObservableList_for_trace",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    observable_slots,
};

}  // namespace

void register_observable(py::module_& m) {
    Ref bases = Ref::steal(PyTuple_Pack(1, (PyObject*)&PyList_Type));
    PyObject* type = PyType_FromModuleAndSpec(m.ptr(), &observable_spec, bases.get());
    if (!type) throw py::error_already_set();
    m.attr("ObservableList_for_trace") = py::reinterpret_steal<py::object>(type);
    m.attr("ObservableListDescriptor") =
        make_class("ObservableListDescriptor", py::tuple(), py::dict());
}

}  // namespace vdx::instrument
