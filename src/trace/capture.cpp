// Capture of the first instance of a watched class, at the "call" event of
// its __init__: the class is instrumented (attribute and setter hooks, the
// wrapped methods, list descriptors) and the instance is watched.
//
// The test that an __init__ call concerns a watched class runs for every
// __init__ of the program, so it is raw C and allocates nothing.
#include "instrument/instrument.hpp"
#include "trace/trace.hpp"
#include "trace/wrappers.hpp"

namespace vdx::trace {

namespace {

using instrument::kCaptured;

// The object being initialised: the frame's first positional parameter.
PyObject* init_instance(PyFrameObject* frame) {
    PyCodeObject* code = PyFrame_GetCode(frame);
    PyObject* result = nullptr;
    if (code->co_argcount > 0) {
        PyObject* name = PyTuple_GET_ITEM(code->co_localsplusnames, 0);
        result = PyFrame_GetVar(frame, name);
        if (!result) PyErr_Clear();
    }
    Py_DECREF(code);
    return result;
}

bool type_named(PyObject* obj, PyObject* class_name) {
    const char* name = Py_TYPE(obj)->tp_name;
    if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_HEAPTYPE)) {
        const char* dot = strrchr(name, '.');
        if (dot) name = dot + 1;
    }
    return PyUnicode_Check(class_name) && PyUnicode_CompareWithASCIIString(class_name, name) == 0;
}

// Whether the class still has the __init__ whose frame this is.
int own_init(PyObject* cls, PyFrameObject* frame) {
    PyObject* init = nullptr;
    if (lookup_attr(cls, VDX_STR("__init__"), &init) < 0) return -1;
    if (!init) return 0;
    Ref owned = Ref::steal(init);
    PyObject* code = nullptr;
    if (lookup_attr(init, VDX_STR("__code__"), &code) < 0) return -1;
    if (!code) return 0;
    Ref code_ref = Ref::steal(code);
    PyCodeObject* frame_code = PyFrame_GetCode(frame);
    int same = code == (PyObject*)frame_code ? 1 : PyObject_RichCompareBool(code, (PyObject*)frame_code, Py_EQ);
    Py_DECREF(frame_code);
    return same;
}

// The frame at a creation site of the instance names, from `from` up a few
// frames (a factory or class method called where the name is assigned):
// 1 with `site` set, 0 when there is none, -1 with an error.
int creation_site(PyFrameObject* from, PyObject* class_name, PyObject* instance_names, Ref& site) {
    Ref f = Ref::borrow((PyObject*)from);
    for (int depth = 0; f && depth < kFactoryDepth; ++depth) {
        Ref file, lineno, text;
        if (instrument::frame_location(f.get(), file, lineno, text) < 0) return -1;
        int hit = line_in_trace_lines(file.get(), lineno.get(), class_name, instance_names);
        if (hit < 0) return -1;
        if (hit) {
            site = f;
            return 1;
        }
        f = Ref::steal((PyObject*)PyFrame_GetBack((PyFrameObject*)f.get()));
    }
    return 0;
}

// Whether the creation is one the instance names select: the caller of
// __init__, or a caller of that within a few frames, is at a creation site.
int selected(PyFrameObject* frame, PyObject* class_name, PyObject* instance_names) {
    int any = PyObject_IsTrue(instance_names);
    if (any <= 0) return any < 0 ? -1 : 1;
    Ref caller = Ref::steal((PyObject*)PyFrame_GetBack(frame));
    Ref site;
    return caller ? creation_site((PyFrameObject*)caller.get(), class_name, instance_names, site) : 0;
}

bool has_instance_dict(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    return tp->tp_dictoffset != 0 || PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT);
}

// Instruments the class and watches the instance. Returns false when the
// condition of a checked run leaves the frame untraced.
bool capture(py::object cls, py::object entry, PyFrameObject* frame, py::object class_name) {
    py::object attrs = entry[py::int_(1)];
    py::object instance_names = entry[py::int_(2)];
    py::object copy_mod = py::module_::import("copy");
    py::object attr_name_list = g("get_attr_name_list")(attrs);
    cls.attr("attr_name_list") = copy_mod.attr("deepcopy")(attr_name_list);
    cls.attr("_only_property_attrs_trace_list") = py::list();
    cls.attr("_regular_attrs_trace") = py::list();
    cls.attr("_property_attrs_trace") = py::list();
    py::tuple kinds = g("seperate_attr_type")(cls, attr_name_list);
    py::object regular = kinds[0], with_setter = kinds[1], only_property = kinds[2], list_attrs = kinds[3];
    py::object filters = g("class_filter_lines_dict");
    py::object filter = py::list();
    if (truthy(filters) && filters.contains(class_name)) filter = copy_mod.attr("deepcopy")(filters[class_name]);
    cls.attr("_trace_info_list111qadfe") = filter;
    if (truthy(regular)) {
        instrument::merge_table(cls, "_regular_attrs_trace", regular);
        py::object original = cls.attr("__setattr__");
        cls.attr("__setattr__") = check(instrument::new_attr_hook(kCaptured, original.ptr(), nullptr));
    }
    if (truthy(only_property)) instrument::merge_table(cls, "_only_property_attrs_trace_list", only_property);
    if (truthy(with_setter)) {
        for (auto pair : instrument::merge_table(cls, "_property_attrs_trace", with_setter)) {
            py::object name = pair[py::int_(0)], afterstr = pair[py::int_(1)];
            py::object prop = py::getattr(cls, name, py::none());
            if (!truthy(prop)) continue;
            py::object hook = check(
                instrument::new_setter_hook(kCaptured, name.ptr(), prop.attr("fset").ptr(), afterstr.ptr(), nullptr));
            // The property keeps its getter, deleter and documentation.
            py::setattr(cls, name, prop.attr("setter")(hook));
        }
    }
    py::object condition = g("trace_class_addincheck_condition").attr("replace")("$item", "self");
    cls.attr("__init__") = new_init_wrapper(cls.attr("__init__"), attrs, condition, list_attrs);
    for (bool deep : {false, true}) {
        const char* name = deep ? "deepcopy" : "copy";
        py::object method = py::hasattr(cls, name) ? py::object(cls.attr(name)) : copy_stand_in(deep);
        py::setattr(cls, name, new_copy_wrapper(method, attrs, condition));
    }
    cls.attr("check_self_del_from_watch") = new_check_wrapper(condition);

    py::object instance = py::reinterpret_steal<py::object>(init_instance(frame));
    if (!instance) return true;
    py::object users = check(instrument::new_user_list(instance.ptr()));
    check_rc(PyObject_GenericSetAttr(instance.ptr(), VDX_STR("_report_user_list"), users.ptr()));
    check_rc(PyObject_GenericSetAttr(instance.ptr(), VDX_STR("watching"), py::int_(1).ptr()));
    if (!equals(instance.attr("watching"), py::int_(1))) return true;
    if (truthy(g("initcheck"))) {
        py::dict names;
        names["self"] = instance;
        names["cls"] = cls;
        names["frame"] = py::reinterpret_borrow<py::object>((PyObject*)frame);
        names["event"] = py::str("call");
        names["this_class_name"] = class_name;
        names["instance_names"] = instance_names;
        names["trace_class_var_list"] = attrs;
        // The frame's variables read one by one: frame.f_locals would make a
        // snapshot of them (3.12) that the program could see.
        auto var = [&](py::handle name, py::object otherwise) -> py::object {
            PyObject* v = PyFrame_GetVar(frame, name.ptr());
            if (v) return py::reinterpret_steal<py::object>(v);
            if (!PyErr_ExceptionMatches(PyExc_NameError)) throw py::error_already_set();
            PyErr_Clear();
            return otherwise;
        };
        names["args_values_from_args"] = var(py::str("args"), py::tuple());
        names["kwargs_values"] = var(py::str("kwargs"), py::dict());
        py::object code = py::reinterpret_borrow<py::object>((PyObject*)frame).attr("f_code");
        py::list positional;
        py::tuple varnames = code.attr("co_varnames");
        int argcount = code.attr("co_argcount").cast<int>();
        for (int i = 1; i < argcount && i < (int)varnames.size(); ++i)
            positional.append(var(varnames[i], py::none()));
        names["args_values"] = py::tuple(positional);
        names["condition_A"] = condition;
        py::object builtins = py::module_::import("builtins");
        if (!truthy(builtins.attr("eval")(condition, py::reinterpret_borrow<py::dict>(module_dict()), names)))
            return false;
    }
    PyFrameObject* back = PyFrame_GetBack(frame);
    py::object caller = back ? py::reinterpret_steal<py::object>((PyObject*)back) : py::none();
    if (back) {
        // Made where the outermost __init__ of the instance was called, or,
        // selected by name, at the creation site a factory was called from.
        caller = check((PyObject*)outside_own_inits(back, instance.ptr()));
        Ref site;
        if (truthy(instance_names)) {
            int found = creation_site((PyFrameObject*)caller.ptr(), class_name.ptr(), instance_names.ptr(), site);
            check_rc(found);
            if (found) caller = py::reinterpret_borrow<py::object>(site.get());
        }
        back = (PyFrameObject*)caller.ptr();
    }
    py::object file = py::str(""), lineno = py::int_(0), text = py::str("");
    py::object callers = py::list();
    if (back) {
        Ref f, l, t;
        check_rc(instrument::frame_location(caller.ptr(), f, l, t));
        file = py::reinterpret_borrow<py::object>(f.get());
        lineno = py::reinterpret_borrow<py::object>(l.get());
        text = py::reinterpret_borrow<py::object>(t.get());
        callers = check(instrument::caller_details(caller.ptr(), 0));
    }
    g("trace_class_instances_list").attr("append")(instance);
    py::object type_name = check(PyType_GetName(Py_TYPE(instance.ptr())));
    py::object report = check(concat({VDX_STR("-\u2193--------Class Created9-"), type_name.ptr(), VDX_STR(" in "),
                                      check(value_text(file.ptr())).ptr(), VDX_STR(" line "),
                                      check(value_text(lineno.ptr())).ptr(), VDX_STR(":"), text.ptr()}));
    // Entered among the watching instances like every later one, so that its
    // property setters report.
    check_rc(instrument::file_report(instance.ptr(), callers.ptr(), report.ptr(), instance.ptr()));
    check_rc(register_for_polling(instance.ptr()));
    check_rc(deferred_deletion_check());
    if (truthy(list_attrs)) {
        py::object own_class = py::reinterpret_borrow<py::object>((PyObject*)Py_TYPE(instance.ptr()));
        own_class.attr("list_attrs") = list_attrs;
        for (auto pair : list_attrs) {
            py::object name = pair[py::int_(0)];
            py::object d = check(instrument::new_list_descriptor(instance.ptr(), Py_None, name.ptr(),
                                                                 py::list().ptr()));
            py::setattr(own_class, name, d);
            d.attr("set_instance")(instance, instance);
        }
    }
    return true;
}

int set_examined_class(PyObject* class_name) {
    PyObject* current = PyDict_GetItemWithError(module_dict(), VDX_STR("trace_class_typy_name"));
    if (current == class_name) return 0;
    if (!current && PyErr_Occurred()) return -1;
    return set_global(VDX_STR("trace_class_typy_name"), class_name);
}

PyObject* capture_hook(PyFrameObject* frame) {
    PyObject* fn = trace_function();
    PyObject* classes = get_global("trace_classname_list");
    if (!classes) return nullptr;
    Ref globals = Ref::steal(PyFrame_GetGlobals(frame));
    if (!globals || !PyDict_Check(globals.get()) || !PyList_Check(classes)) return Py_NewRef(fn);
    Ref instance;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(classes); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(classes, i));
        Ref class_name = Ref::steal(PySequence_GetItem(entry.get(), 0));
        if (!class_name) return nullptr;
        if (set_examined_class(class_name.get()) < 0) return nullptr;
        Ref cls = Ref::borrow(PyDict_GetItemWithError(globals.get(), class_name.get()));
        if (!cls) {
            if (PyErr_Occurred()) return nullptr;
            continue;
        }
        if (!instance) {
            instance = Ref::steal(init_instance(frame));
            if (!instance) return Py_NewRef(fn);
        }
        if (!type_named(instance.get(), class_name.get())) continue;
        Ref names = Ref::steal(PySequence_GetItem(entry.get(), 2));
        if (!names) return nullptr;
        int chosen = selected(frame, class_name.get(), names.get());
        if (chosen < 0) return nullptr;
        if (!chosen) continue;
        int own = own_init(cls.get(), frame);
        if (own < 0) return nullptr;
        if (!own) continue;
        if (!has_instance_dict(instance.get())) {
            tool_message(std::string("instances of ") + Py_TYPE(instance.get())->tp_name +
                         " have no __dict__: their attributes cannot be watched");
            continue;
        }
        bool traced = true;
        int rc = guarded_call([&] {
            traced = capture(py::reinterpret_borrow<py::object>(cls.get()),
                             py::reinterpret_borrow<py::object>(entry.get()), frame,
                             py::reinterpret_borrow<py::object>(class_name.get()));
        });
        if (rc < 0) return nullptr;
        if (!traced) return Py_NewRef(Py_None);
    }
    return Py_NewRef(fn);
}

}  // namespace

void register_capture(py::module_&) { set_init_capture_hook(capture_hook); }

}  // namespace vdx::trace
