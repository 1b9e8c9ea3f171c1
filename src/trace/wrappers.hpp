// Shared by the class capture and the methods it installs on a captured class.
#pragma once
#include "common/pyobj.hpp"

namespace vdx::trace {

// The wrapped __init__, copy/deepcopy and watch check of a captured class.
py::object new_init_wrapper(py::object original, py::object class_var_list, py::object condition_A,
                            py::object list_attrs);
py::object new_copy_wrapper(py::object original, py::object class_var_list, py::object condition_A);
py::object new_check_wrapper(py::object condition_A);
// Stand-ins wrapped when the class has no copy/deepcopy of its own.
py::object copy_stand_in(bool deep);

// Enters an instance with property-only attributes in the polled table. 0 or -1.
int register_for_polling(PyObject* instance);
// Runs check_self_del_from_watch on the instance check_after_creat places back. 0 or -1.
int deferred_deletion_check();
// Binds the class's list descriptors to this instance, creating missing ones. 0 or -1.
int bind_list_attrs(PyObject* self);

// Whether the frame runs an __init__ of this very object (a subclass's
// __init__ calling super().__init__()): 1, 0 or -1.
int initialising(PyFrameObject* frame, PyObject* self);
// The frame that called the outermost of those __init__s, from the caller of
// one of them (new ref; nullptr with an error).
PyFrameObject* outside_own_inits(PyFrameObject* caller, PyObject* self);

// How many frames up from an instance's creation a creation site is looked
// for: a factory or class method called where the instance name is assigned.
constexpr int kFactoryDepth = 8;

void register_wrappers(py::module_& m);
void register_capture(py::module_& m);

}  // namespace vdx::trace
