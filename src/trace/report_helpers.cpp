// Helpers of the change reports: attribute paths, values, detaching users.
#include "trace/trace.hpp"

namespace vdx::trace {

namespace {

// getattr(obj, name, None): new reference; only AttributeError is swallowed.
PyObject* getattr_or_none(PyObject* obj, PyObject* name) {
    PyObject* v = nullptr;
    int rc = lookup_attr(obj, name, &v);
    if (rc < 0) return nullptr;
    if (rc == 0) return Py_NewRef(Py_None);
    return v;
}

bool is_attribute_or_type_error() {
    return PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_TypeError);
}

}  // namespace

PyObject* get_attribute_value_and_intermediates(PyObject* instance, PyObject* attr_str) {
    Ref parts = Ref::steal(PyUnicode_Split(attr_str, VDX_STR("."), -1));
    if (!parts) return nullptr;
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(parts.get());
    Ref current = Ref::borrow(instance);
    // One value per step; the walk ends with None at the first missing or None link.
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref v = Ref::steal(getattr_or_none(current.get(), PyList_GET_ITEM(parts.get(), i)));
        if (!v) return nullptr;
        if (PyList_Append(values.get(), v.get()) < 0) return nullptr;
        if (v.get() == Py_None) break;
        current = std::move(v);
    }
    return values.release();
}

PyObject* get_values(PyObject* instance, PyObject* class_var_list) {
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(class_var_list));
    if (!it) return nullptr;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        Ref path = Ref::steal(
            PyObject_CallMethodObjArgs(entry.get(), VDX_STR("replace"), VDX_STR("$item."), VDX_STR(""), nullptr));
        if (!path) return nullptr;
        Ref part = Ref::steal(get_attribute_value_and_intermediates(instance, path.get()));
        if (!part) return nullptr;
        Py_ssize_t end = PyList_GET_SIZE(values.get());
        if (PyList_SetSlice(values.get(), end, end, part.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return values.release();
}

int del_report_user_of_subitems(PyObject* obj, PyObject* attr_str, PyObject* fixed_list) {
    Ref current = Ref::borrow(obj);
    Ref path = Ref::borrow(attr_str);
    Ref fixed = Ref::steal(PySequence_List(fixed_list));
    if (!fixed) return -1;
    PyObject* name = VDX_STR("_report_user_list");
    for (;;) {
        Ref users;
        {
            PyObject* u = nullptr;
            if (lookup_attr(current.get(), name, &u) < 0) return -1;
            users = u ? Ref::steal(u) : Ref::steal(PyList_New(0));
            if (!users) return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fixed.get()); ++i) {
            PyObject* u = PyList_GET_ITEM(fixed.get(), i);
            int found = PySequence_Contains(users.get(), u);
            if (found < 0) return -1;
            if (found) {
                Ref r = Ref::steal(PyObject_CallMethodOneArg(users.get(), VDX_STR("remove"), u));
                if (!r) return -1;
            }
        }
        if (PyObject_SetAttr(current.get(), name, users.get()) < 0) {
            // A value that cannot carry attributes (an int, a str, a slotted
            // object) holds no users; its sub-objects may still do.
            if (!is_attribute_or_type_error()) return -1;
            PyErr_Clear();
        }
        Ref parts = Ref::steal(PyUnicode_Split(path.get(), VDX_STR("."), 1));
        if (!parts) return -1;
        if (PyList_GET_SIZE(parts.get()) < 2) return 0;
        Ref sub = Ref::steal(getattr_or_none(current.get(), PyList_GET_ITEM(parts.get(), 0)));
        if (!sub) return -1;
        int t = PyObject_IsTrue(sub.get());
        if (t < 0) return -1;
        if (!t) return 0;
        current = std::move(sub);
        path = Ref::borrow(PyList_GET_ITEM(parts.get(), 1));
    }
}

int line_in_trace_lines(PyObject* filename, PyObject* lineno, PyObject* class_name,
                        PyObject* instance_names) {
    PyObject* table = get_global("trace_files_class_lines_dict");
    if (!table) return -1;
    int has = PySequence_Contains(table, filename);
    if (has <= 0) return has;
    Ref classes = Ref::steal(PyObject_GetItem(table, filename));
    if (!classes) return -1;
    has = PySequence_Contains(classes.get(), class_name);
    if (has <= 0) return has;
    Ref instances = Ref::steal(PyObject_GetItem(classes.get(), class_name));
    if (!instances) return -1;
    Ref it = Ref::steal(PyObject_GetIter(instance_names));
    if (!it) return -1;
    while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
        has = PySequence_Contains(instances.get(), name.get());
        if (has < 0) return -1;
        if (!has) continue;
        Ref lines = Ref::steal(PyObject_GetItem(instances.get(), name.get()));
        if (!lines) return -1;
        int in = PySequence_Contains(lines.get(), lineno);
        if (in != 0) return in;
    }
    return PyErr_Occurred() ? -1 : 0;
}

void register_report_helpers(py::module_& m) {
    m.def(
        "get_attribute_value_and_intermediates",
        [](py::object instance, py::object attr_str) {
            return check(get_attribute_value_and_intermediates(instance.ptr(), attr_str.ptr()));
        },
        py::arg("instance"), py::arg("attr_str"));
    m.def(
        "get_values",
        [](py::object instance, py::object class_var_list) {
            return check(get_values(instance.ptr(), class_var_list.ptr()));
        },
        py::arg("instance"), py::arg("class_var_list"));
    m.def(
        "del_report_user_of_subitems",
        [](py::object obj, py::object attr_str, py::object fixed_list) {
            check_rc(del_report_user_of_subitems(obj.ptr(), attr_str.ptr(), fixed_list.ptr()));
        },
        py::arg("obj"), py::arg("attr_str"), py::arg("fixed_list"));
    m.def(
        "line_in_trace_lines",
        [](py::object filename, py::object linenoA, py::object this_class_name,
           py::object instance_names) {
            int r = line_in_trace_lines(filename.ptr(), linenoA.ptr(), this_class_name.ptr(),
                                        instance_names.ptr());
            check_rc(r);
            return r != 0;
        },
        py::arg("filename"), py::arg("linenoA"), py::arg("this_class_name"),
        py::arg("instance_names"));
}

}  // namespace vdx::trace
