// Objects further down a watched attribute path: the object gets a generated
// subclass whose hooks report writes of the watched attributes to the users
// of the object that holds it.
#include "instrument/instrument.hpp"

namespace vdx::instrument {

namespace {

// Whether an object can carry users and change its class: an instance of a
// class defined in Python, with an instance dictionary.
bool instrumentable(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (PyType_Check(obj) || PyModule_Check(obj)) return false;
    if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) || !PyType_HasFeature(tp, Py_TPFLAGS_BASETYPE)) return false;
    return tp->tp_dictoffset != 0 || PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT);
}

}  // namespace

py::list fresh_pair(py::handle pair) {
    py::object name = pair[py::int_(0)];
    if (PyUnicode_CheckExact(name.ptr())) {
        PyObject* s = name.release().ptr();
        PyUnicode_InternInPlace(&s);
        name = py::reinterpret_steal<py::object>(s);
    }
    py::list out;
    out.append(name);
    out.append(pair[py::int_(1)]);
    return out;
}

namespace {

py::object new_generated_class(py::handle base) {
    py::object types = py::module_::import("types");
    py::cpp_function body([](py::dict ns) {
        ns["__module__"] = "vardex";
        ns["__qualname__"] = "initialize_new_class_combine_attrs_and_users.<locals>.Derived";
    });
    return types.attr("new_class")("Derived", py::make_tuple(base), py::dict(), body);
}

bool own_hook(py::handle cls) {
    Ref dict = Ref::steal(PyType_GetDict((PyTypeObject*)cls.ptr()));
    if (!dict) throw py::error_already_set();
    PyObject* v = PyDict_GetItemWithError(dict.get(), VDX_STR("__setattr__"));
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v && is_attr_hook(v);
}

py::object initialize(py::object attr_name_list, py::object instance1, py::object original_instances) {
    if (!truthy(instance1) || !instrumentable(instance1.ptr())) return py::none();
    py::object class_map = g("class_map");
    py::object current = py::reinterpret_borrow<py::object>((PyObject*)Py_TYPE(instance1.ptr()));
    py::object derived;
    bool created = false;
    // An object whose class was generated already keeps it: a further
    // subclass would report each write twice.
    int generated = PySequence_Contains(class_map.ptr(), current.ptr());
    check_rc(generated);
    if (generated) {
        derived = current;
    } else {
        derived = g("get_key_for_value")(class_map, current);
        if (derived.is_none()) {
            try {
                derived = new_generated_class(current);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_TypeError)) throw;
                return py::none();  // a class that cannot be extended
            }
            created = true;
        }
    }
    // Users.
    PyObject* existing = nullptr;
    check_rc(lookup_attr(instance1.ptr(), VDX_STR("_report_user_list"), &existing));
    // The given users are read first: they may be this very list (an object
    // assigned to its own watched path, or sharing its owner's list).
    py::list given = check(PySequence_List(original_instances.ptr()));
    if (existing) {
        py::object users = py::reinterpret_steal<py::object>(existing);
        for (auto u : given) users.attr("append")(u);
    } else {
        py::object users = check(new_user_list(nullptr));
        for (auto u : given) users.attr("append")(u);
        check_rc(PyObject_GenericSetAttr(instance1.ptr(), VDX_STR("_report_user_list"), users.ptr()));
    }
    py::object base_class = derived.attr("__bases__")[py::int_(0)];
    py::tuple kinds = g("seperate_attr_type")(base_class, attr_name_list);
    py::object regular = kinds[0], with_setter = kinds[1], only_property = kinds[2];
    if (truthy(regular)) {
        merge_table(derived, "_regular_attrs_trace", regular);
        if (!own_hook(derived)) {
            py::object hook = check(new_attr_hook(kGenerated, nullptr, derived.ptr()));
            py::setattr(derived, "__setattr__", hook);
        }
    }
    if (truthy(only_property)) {
        merge_table(derived, "_only_property_attrs_trace_list", only_property);
        py::object key = check(filing_key(instance1.ptr()));
        g("combine_key_list")(g("items_has_to_watch_yourself"), key, original_instances);
    }
    if (truthy(with_setter)) {
        py::list use = merge_table(derived, "_property_attrs_trace", with_setter);
        for (auto e : use) {
            py::object name = e[py::int_(0)], afterstr = e[py::int_(1)];
            py::object original = py::getattr(base_class, name, py::none());
            py::object setter = original.attr("fset");
            py::object hook = check(new_setter_hook(kGenerated, name.ptr(), setter.ptr(), afterstr.ptr(), derived.ptr()));
            py::setattr(derived, name, original.attr("setter")(hook));
        }
    }
    if (created) class_map[derived] = current;
    if (!derived.is(current)) {
        if (PyObject_SetAttr(instance1.ptr(), VDX_STR("__class__"), derived.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();  // a layout the generated class cannot take over
            return py::none();
        }
    }
    return derived;
}

}  // namespace

// Appends to the class's table (found through the class, so a table of a base
// is shared) a copy of each entry it lacks; creates the table on the class
// when there is none. Returns the entries that were new.
py::list merge_table(py::handle cls, const char* table_name, py::handle entries) {
    py::list added;
    py::object table = py::getattr(cls, table_name, py::none());
    if (table.is_none()) {
        py::list created;
        for (auto e : entries) {
            created.append(fresh_pair(e));
            added.append(fresh_pair(e));
        }
        py::setattr(cls, table_name, created);
        return added;
    }
    for (auto e : entries) {
        int has = PySequence_Contains(table.ptr(), e.ptr());
        check_rc(has);
        if (has) continue;
        table.attr("append")(fresh_pair(e));
        added.append(fresh_pair(e));
    }
    return added;
}

PyObject* instrument_path(PyObject* attr_name_list, PyObject* instance1, PyObject* original_instances) {
    PyObject* result = nullptr;
    int rc = guarded_call([&] {
        result = initialize(py::reinterpret_borrow<py::object>(attr_name_list),
                            py::reinterpret_borrow<py::object>(instance1),
                            py::reinterpret_borrow<py::object>(original_instances))
                     .release()
                     .ptr();
    });
    return rc < 0 ? nullptr : result;
}

void register_derived(py::module_& m) {
    m.def("initialize_new_class_combine_attrs_and_users", &initialize, py::arg("attr_name_list"),
          py::arg("instance1"), py::arg("original_instances"));
}

}  // namespace vdx::instrument
