// The methods installed on a captured class: the wrapped __init__ that
// records every later instance, the wrapped copy and deepcopy, and the
// deferred check that takes an instance out of the watch.
//
// The wrapped method always runs and raises as it would untraced; what the
// wrapper adds is the tool's own work, whose failures are one "vardex: " line.
#include "instrument/instrument.hpp"
#include "trace/trace.hpp"
#include "trace/wrappers.hpp"

namespace vdx::trace {

namespace {

enum Kind { kInit, kCopy, kCheckDel };

struct Wrapper {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    int kind;
    PyObject* original_method;
    PyObject* class_var_list;
    PyObject* condition_A;
    PyObject* list_attrs;
    PyObject* condition_code;  // condition_A compiled once
};

PyTypeObject* g_wrapper_type = nullptr;

using instrument::filing_key;

int set_own_attr(PyObject* obj, const char* name, PyObject* value) {
    return PyObject_GenericSetAttr(obj, interned(name), value);
}

PyObject* getattr_opt(PyObject* obj, const char* name) {
    PyObject* v = nullptr;
    if (lookup_attr(obj, interned(name), &v) < 0) return nullptr;
    return v ? v : Py_NewRef(Py_None);
}

// eval(condition_A, module globals, names): 1, 0 or -1.
int condition_holds(Wrapper* w, PyObject* names) {
    if (!w->condition_code) {
        Ref text = Ref::steal(PyObject_Str(w->condition_A));
        if (!text) return -1;
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) return -1;
        PyObject* code = PyObject_CallMethod(builtins.get(), "compile", "Oss", text.get(), "<string>", "eval");
        if (!code) return -1;
        Py_XSETREF(w->condition_code, code);
    }
    Ref code = Ref::borrow(w->condition_code);
    Ref r = Ref::steal(PyEval_EvalCode(code.get(), module_dict(), names));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

int initcheck_on() {
    PyObject* v = get_global("initcheck");
    return v ? PyObject_IsTrue(v) : -1;
}

// The local names a condition sees in a wrapper.
PyObject* wrapper_names(Wrapper* w, PyObject* self, PyObject* args, PyObject* kwargs, bool need_record) {
    Ref names = Ref::steal(PyDict_New());
    if (!names) return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (PyDict_SetItemString(names.get(), "args", args) < 0 ||
        PyDict_SetItemString(names.get(), "kwargs", kwargs) < 0 ||
        PyDict_SetItemString(names.get(), "self", self) < 0)
        return nullptr;
    if (w->kind != kCheckDel &&
        (PyDict_SetItemString(names.get(), "condition_A", w->condition_A) < 0 ||
         PyDict_SetItemString(names.get(), "original_method", w->original_method) < 0))
        return nullptr;
    if (need_record && PyDict_SetItemString(names.get(), "need_record", one.get()) < 0) return nullptr;
    return names.release();
}

// Whether the class's creation-site filter lets this location through.
int passes_filter(PyObject* self, PyObject* file, PyObject* lineno) {
    Ref table = Ref::steal(getattr_opt(self, "_trace_info_list111qadfe"));
    if (!table) return -1;
    int any = PyObject_IsTrue(table.get());
    if (any <= 0) return any < 0 ? -1 : 1;
    Ref it = Ref::steal(PyObject_GetIter(table.get()));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref f = Ref::steal(PySequence_GetItem(item.get(), 0));
        Ref lines = Ref::steal(f ? PySequence_GetItem(item.get(), 1) : nullptr);
        if (!lines) return -1;
        int same = PyObject_RichCompareBool(f.get(), file, Py_EQ);
        if (same < 0) return -1;
        if (!same) continue;
        int in = PySequence_Contains(lines.get(), lineno);
        if (in != 0) return in;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int register_for_polling(PyObject* instance) {
    Ref attrs = Ref::steal(getattr_opt(instance, "_only_property_attrs_trace_list"));
    if (!attrs) return -1;
    int any = PyObject_IsTrue(attrs.get());
    if (any <= 0) return any;
    PyObject* table = get_global("items_has_to_watch_yourself");
    PyObject* combine = get_global("combine_key_list");
    if (!table || !combine) return -1;
    Ref users = Ref::steal(list_of({instance}));
    if (!users) return -1;
    PyObject* args[3] = {table, instance, users.get()};
    Ref r = Ref::steal(PyObject_Vectorcall(combine, args, 3, nullptr));
    return r ? 0 : -1;
}

int deferred_deletion_check() {
    PyObject* distance = get_global("check_after_creat");
    PyObject* instances = get_global("trace_class_instances_list");
    if (!distance || !instances) return -1;
    int on = PyObject_IsTrue(distance);
    if (on <= 0) return on;
    Py_ssize_t n = PyObject_Size(instances);
    long back = PyLong_AsLong(distance);
    if (n < 0 || (back == -1 && PyErr_Occurred())) return -1;
    if (n <= back) return 0;
    Ref index = Ref::steal(PyLong_FromLong(-(back + 1)));
    Ref item = Ref::steal(index ? PyObject_GetItem(instances, index.get()) : nullptr);
    if (!item) return -1;
    Ref r = Ref::steal(PyObject_CallMethod(item.get(), "check_self_del_from_watch", nullptr));
    return r ? 0 : -1;
}

int bind_list_attrs(PyObject* self) {
    PyObject* cls = (PyObject*)Py_TYPE(self);
    Ref list_attrs = Ref::steal(getattr_opt(cls, "list_attrs"));
    if (!list_attrs) return -1;
    int any = PyObject_IsTrue(list_attrs.get());
    if (any <= 0) return any;
    Ref it = Ref::steal(PyObject_GetIter(list_attrs.get()));
    if (!it) return -1;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref name = Ref::steal(PySequence_GetItem(pair.get(), 0));
        if (!name) return -1;
        PyObject* d = nullptr;
        if (lookup_attr(cls, name.get(), &d) < 0) return -1;
        Ref found = Ref::steal(d);
        if (found && instrument::is_list_descriptor(found.get())) {
            Ref r = Ref::steal(PyObject_CallMethod(found.get(), "set_instance", "OO", self, self));
            if (!r) return -1;
        } else {
            Ref empty = Ref::steal(PyList_New(0));
            Ref fresh = Ref::steal(empty ? instrument::new_list_descriptor(self, self, name.get(), empty.get()) : nullptr);
            if (!fresh || PyObject_SetAttr(cls, name.get(), fresh.get()) < 0) return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Whether the frame runs an __init__ of this very object (a subclass's
// __init__ calling super().__init__()): 1, 0 or -1.
int initialising(PyFrameObject* frame, PyObject* self) {
    PyCodeObject* code = PyFrame_GetCode(frame);
    int result = 0;
    if (PyUnicode_CompareWithASCIIString(code->co_name, "__init__") == 0 && code->co_argcount > 0) {
        Ref names = Ref::steal(PyCode_GetVarnames(code));
        PyObject* first = names ? PyTuple_GetItem(names.get(), 0) : nullptr;
        PyObject* value = first ? PyFrame_GetVar(frame, first) : nullptr;
        if (value) {
            result = value == self;
            Py_DECREF(value);
        } else if (PyErr_ExceptionMatches(PyExc_NameError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
            PyErr_Clear();
        } else {
            result = -1;
        }
    }
    Py_DECREF(code);
    return result;
}

PyFrameObject* outside_own_inits(PyFrameObject* caller, PyObject* self) {
    Py_INCREF(caller);
    for (int depth = 0; depth < kFactoryDepth; ++depth) {
        int inside = initialising(caller, self);
        if (inside < 0) {
            Py_DECREF(caller);
            return nullptr;
        }
        if (!inside) break;
        PyFrameObject* back = PyFrame_GetBack(caller);
        if (!back) break;
        Py_SETREF(caller, back);
    }
    return caller;
}

namespace {

// The condition of a checked run, then where the calling code is: 1 to go
// on, 0 to record nothing, -1 on error.
int checked_location(Wrapper* w, PyObject* self, PyObject* args, PyObject* kwargs, bool need_record,
                     PyFrameObject*& frame, Ref& file, Ref& lineno, Ref& code_line) {
    int gate = initcheck_on();
    if (gate < 0) return -1;
    if (gate) {
        Ref names = Ref::steal(wrapper_names(w, self, args, kwargs, need_record));
        if (!names) return -1;
        int holds = condition_holds(w, names.get());
        if (holds <= 0) return holds;
    }
    frame = PyEval_GetFrame();
    if (!frame) return 0;
    return instrument::frame_location((PyObject*)frame, file, lineno, code_line) < 0 ? -1 : 1;
}

// The part of the wrapped __init__ before the wrapped method runs.
int record_creation(Wrapper* w, PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref users = Ref::steal(instrument::new_user_list(self));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!users || !one) return -1;
    if (set_own_attr(self, "_report_user_list", users.get()) < 0 || set_own_attr(self, "watching", one.get()) < 0) {
        // An object without an instance dictionary cannot be watched.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    PyFrameObject* frame = nullptr;
    Ref file, lineno, code_line;
    int go = checked_location(w, self, args, kwargs, true, frame, file, lineno, code_line);
    if (go <= 0) return go;
    // Called by the __init__ of a subclass: the instance is made where that
    // __init__ was called.
    Ref outer = Ref::steal((PyObject*)outside_own_inits(frame, self));
    if (!outer) return -1;
    if (outer.get() != (PyObject*)frame) {
        frame = (PyFrameObject*)outer.get();
        if (instrument::frame_location((PyObject*)frame, file, lineno, code_line) < 0) return -1;
    }
    // The creation site: the code that made the instance, or the line a few
    // frames up that assigns it the result of a factory.
    Ref site = Ref::borrow((PyObject*)frame);
    int passes = passes_filter(self, file.get(), lineno.get());
    for (int depth = 1; passes == 0 && depth < kFactoryDepth; ++depth) {
        site = Ref::steal((PyObject*)PyFrame_GetBack((PyFrameObject*)site.get()));
        if (!site) break;
        Ref f, l, t;
        if (instrument::frame_location(site.get(), f, l, t) < 0) return -1;
        passes = passes_filter(self, f.get(), l.get());
        if (passes > 0) {
            file = f;
            lineno = l;
            code_line = t;
            frame = (PyFrameObject*)site.get();
        }
    }
    if (passes < 0) return -1;
    // Left out by the instance-name selection: constructed and watched, but
    // its creation is not recorded.
    if (!passes) return 0;
    Ref callers = Ref::steal(instrument::caller_details((PyObject*)frame, 0));
    PyObject* instances = get_global("trace_class_instances_list");
    if (!callers || !instances || PyList_Append(instances, self) < 0) return -1;
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    Ref line_text = Ref::steal(value_text(lineno.get()));
    Ref file_text = Ref::steal(value_text(file.get()));
    if (!type_name || !line_text || !file_text) return -1;
    Ref report = Ref::steal(concat({VDX_STR("-\u2193--------Class created8-"), type_name.get(), VDX_STR(" in "),
                                    file_text.get(), VDX_STR(" line "), line_text.get(), VDX_STR(":"),
                                    code_line.get()}));
    if (!report || instrument::file_report(self, callers.get(), report.get(), self) < 0) return -1;
    if (register_for_polling(self) < 0) return -1;
    if (deferred_deletion_check() < 0) return -1;
    return bind_list_attrs(self);
}

// The part of the wrapped copy/deepcopy before the wrapped method runs.
int record_copy(Wrapper* w, PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* existing = nullptr;
    if (lookup_attr(self, VDX_STR("_report_user_list"), &existing) < 0) return -1;
    if (existing) {
        Ref users = Ref::steal(existing);
        int has = instrument::contains_user(users.get(), self);
        if (has < 0) return -1;
        if (!has) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(users.get(), VDX_STR("append"), self));
            if (!r) return -1;
        }
    } else {
        Ref users = Ref::steal(instrument::new_user_list(self));
        if (!users) return -1;
        if (set_own_attr(self, "_report_user_list", users.get()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError))
                return -1;
            PyErr_Clear();
            return 0;
        }
    }
    Ref watching = Ref::steal(getattr_opt(self, "watching"));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!watching || !one) return -1;
    int on = PyObject_RichCompareBool(watching.get(), one.get(), Py_EQ);
    if (on <= 0) return on;
    PyFrameObject* frame = nullptr;
    Ref file, lineno, code_line;
    int go = checked_location(w, self, args, kwargs, false, frame, file, lineno, code_line);
    if (go <= 0) return go;
    Ref values = Ref::steal(get_values(self, w->class_var_list));
    PyObject* instances = get_global("trace_class_instances_list");
    if (!values || !instances || PyList_Append(instances, self) < 0) return -1;
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    Ref file_text = Ref::steal(value_text(file.get()));
    Ref line_text = Ref::steal(value_text(lineno.get()));
    Ref attrs_text = Ref::steal(value_text(w->class_var_list));
    Ref values_text = Ref::steal(report_text(values.get()));
    if (!type_name || !file_text || !line_text || !attrs_text || !values_text) return -1;
    Ref report = Ref::steal(concat({VDX_STR("-\u2193--------VALUE INIT in "), file_text.get(), VDX_STR(" line "),
                                    line_text.get(), VDX_STR(":"), code_line.get(),
                                    VDX_STR("\uff0cCREATING Class-"), type_name.get(), VDX_STR("\uff0c"),
                                    attrs_text.get(), VDX_STR(" : "), values_text.get()}));
    Ref reports = Ref::steal(report ? list_of({report.get()}) : nullptr);
    Ref key = Ref::steal(filing_key(self));
    PyObject* info = get_global("trace_info");
    PyObject* last = get_global("trace_last_values");
    if (!reports || !key || !info || !last) return -1;
    // Kept in memory only: the result file is not written.
    if (PyObject_SetItem(info, key.get(), reports.get()) < 0 || PyObject_SetItem(last, key.get(), values.get()) < 0)
        return -1;
    if (register_for_polling(self) < 0) return -1;
    return deferred_deletion_check();
}

int remove_by_identity(PyObject* list, PyObject* obj) {
    if (!PyList_Check(list)) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (PyList_GET_ITEM(list, i) == obj) return PyList_SetSlice(list, i, i + 1, nullptr);
    return 0;
}

int drop_key(const char* table_name, PyObject* key) {
    PyObject* table = get_global(table_name);
    if (!table) return -1;
    int has = PySequence_Contains(table, key);
    if (has <= 0) return has;
    return PyObject_DelItem(table, key);
}

// Takes an instance out of the watch unless the condition keeps it.
int check_deletion(Wrapper* w, PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref names = Ref::steal(wrapper_names(w, self, args, kwargs, false));
    if (!names) return -1;
    int holds = condition_holds(w, names.get());
    if (holds != 0) return holds < 0 ? -1 : 0;
    PyObject* instances = get_global("trace_class_instances_list");
    if (!instances || remove_by_identity(instances, self) < 0) return -1;
    Ref key = Ref::steal(filing_key(self));
    PyObject* info = get_global("trace_info");
    PyObject* deled = get_global("deledinfo");
    if (!key || !info || !deled) return -1;
    int has = PySequence_Contains(info, key.get());
    if (has < 0) return -1;
    if (has) {
        Ref reports = Ref::steal(PyObject_GetItem(info, key.get()));
        if (!reports || PyObject_SetItem(deled, key.get(), reports.get()) < 0 || PyObject_DelItem(info, key.get()) < 0)
            return -1;
    }
    for (const char* t : {"trace_last_values", "items_has_to_watch_yourself", "last_values_has_to_watch_yourself"})
        if (drop_key(t, key.get()) < 0) return -1;
    PyObject* class_map = get_global("class_map");
    PyObject* lookup = get_global("get_key_for_value");
    if (!class_map || !lookup) return -1;
    PyObject* cargs[2] = {class_map, (PyObject*)Py_TYPE(self)};
    Ref generated = Ref::steal(PyObject_Vectorcall(lookup, cargs, 2, nullptr));
    if (!generated) return -1;
    if (generated.get() != Py_None) return PyObject_SetAttr(self, VDX_STR("__class__"), generated.get());
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return set_own_attr(self, "watching", zero.get());
}

PyObject* wrapper_call(PyObject* obj, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Wrapper* w = (Wrapper*)obj;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "the wrapped method needs the instance as its first argument");
        return nullptr;
    }
    PyObject* self = args[0];
    {
        QuietTrace quiet;
        Ref rest = Ref::steal(PyTuple_New(nargs - 1));
        Ref kwargs = Ref::steal(PyDict_New());
        int rc = rest && kwargs ? 0 : -1;
        for (Py_ssize_t i = 1; rc == 0 && i < nargs; ++i) PyTuple_SET_ITEM(rest.get(), i - 1, Py_NewRef(args[i]));
        for (Py_ssize_t k = 0; rc == 0 && kwnames && k < PyTuple_GET_SIZE(kwnames); ++k)
            rc = PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
        if (rc == 0) {
            rc = w->kind == kInit   ? record_creation(w, self, rest.get(), kwargs.get())
                 : w->kind == kCopy ? record_copy(w, self, rest.get(), kwargs.get())
                                    : check_deletion(w, self, rest.get(), kwargs.get());
        }
        if (rc < 0 && !report_tool_error(w->kind == kInit ? "instance creation" : w->kind == kCopy ? "instance copy"
                                                                                                   : "watch check"))
            return nullptr;
    }
    if (w->kind == kCheckDel) Py_RETURN_NONE;
    return PyObject_Vectorcall(w->original_method, args, nargsf, kwnames);
}

PyObject* wrapper_bind(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Wrapper* w = (Wrapper*)self;
    Py_VISIT(w->original_method);
    Py_VISIT(w->class_var_list);
    Py_VISIT(w->condition_A);
    Py_VISIT(w->list_attrs);
    Py_VISIT(w->condition_code);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int wrapper_clear(PyObject* self) {
    Wrapper* w = (Wrapper*)self;
    Py_CLEAR(w->original_method);
    Py_CLEAR(w->class_var_list);
    Py_CLEAR(w->condition_A);
    Py_CLEAR(w->list_attrs);
    Py_CLEAR(w->condition_code);
    return 0;
}


// Names and documentation are the wrapped method's.
PyObject* wrapper_forward(PyObject* self, void* name) {
    Wrapper* w = (Wrapper*)self;
    if (!w->original_method || w->original_method == Py_None) {
        if (strcmp((const char*)name, "__doc__") == 0) Py_RETURN_NONE;
        return PyUnicode_FromString("check_self_del_from_watch");
    }
    return PyObject_GetAttrString(w->original_method, (const char*)name);
}

PyObject* wrapper_wrapped(PyObject* self, void*) {
    Wrapper* w = (Wrapper*)self;
    return Py_NewRef(w->original_method ? w->original_method : Py_None);
}

PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Wrapper, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef wrapper_getset[] = {
    {"__wrapped__", wrapper_wrapped, nullptr, nullptr, nullptr},
    {"__name__", wrapper_forward, nullptr, nullptr, (void*)"__name__"},
    {"__qualname__", wrapper_forward, nullptr, nullptr, (void*)"__qualname__"},
    {"__doc__", wrapper_forward, nullptr, nullptr, (void*)"__doc__"},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot wrapper_slots[] = {
    {Py_tp_call, (void*)PyVectorcall_Call},   {Py_tp_descr_get, (void*)wrapper_bind},
    {Py_tp_traverse, (void*)wrapper_traverse}, {Py_tp_clear, (void*)wrapper_clear},
    {Py_tp_dealloc, (void*)gc_dealloc<wrapper_clear>},   {Py_tp_members, (void*)wrapper_members},
    {Py_tp_getset, (void*)wrapper_getset},     {0, nullptr}};

PyType_Spec wrapper_spec = {"vardex.wrapper", sizeof(Wrapper), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            wrapper_slots};

py::object make_wrapper(int kind, py::object original, py::object class_var_list, py::object condition_A,
                        py::object list_attrs) {
    Wrapper* w = PyObject_GC_New(Wrapper, g_wrapper_type);
    if (!w) throw py::error_already_set();
    w->vectorcall = wrapper_call;
    w->kind = kind;
    w->original_method = Py_NewRef(original.ptr());
    w->class_var_list = Py_NewRef(class_var_list.ptr());
    w->condition_A = Py_NewRef(condition_A.ptr());
    w->list_attrs = Py_NewRef(list_attrs.ptr());
    w->condition_code = nullptr;
    PyObject_GC_Track(w);
    return py::reinterpret_steal<py::object>((PyObject*)w);
}

PyObject* original_copy(PyObject*, PyObject* self) {
    Ref copy_mod = Ref::steal(PyImport_ImportModule("copy"));
    return copy_mod ? PyObject_CallMethodOneArg(copy_mod.get(), VDX_STR("copy"), self) : nullptr;
}

PyObject* original_deepcopy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self = nargs > 0 ? args[0] : nullptr;
    PyObject* memo = nargs > 1 ? args[1] : Py_None;
    for (Py_ssize_t k = 0; kwnames && k < PyTuple_GET_SIZE(kwnames); ++k)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "memo") == 0) memo = args[nargs + k];
    if (!self || nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "original_deepcopy(self, memo=None)");
        return nullptr;
    }
    Ref copy_mod = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy_mod) return nullptr;
    return PyObject_CallMethod(copy_mod.get(), "deepcopy", "OO", self, memo);
}

PyMethodDef copy_defs[] = {
    {"original_copy", original_copy, METH_O, "original_copy(self): copy.copy(self)"},
    {"original_deepcopy", (PyCFunction)(void (*)(void))original_deepcopy, METH_FASTCALL | METH_KEYWORDS,
     "original_deepcopy(self, memo=None): copy.deepcopy(self, memo)"},
};

}  // namespace

py::object new_init_wrapper(py::object original, py::object class_var_list, py::object condition_A,
                            py::object list_attrs) {
    return make_wrapper(kInit, original, class_var_list, condition_A, list_attrs);
}
py::object new_copy_wrapper(py::object original, py::object class_var_list, py::object condition_A) {
    return make_wrapper(kCopy, original, class_var_list, condition_A, py::none());
}
py::object new_check_wrapper(py::object condition_A) {
    return make_wrapper(kCheckDel, py::none(), py::none(), condition_A, py::none());
}

py::object copy_stand_in(bool deep) {
    Ref modname = Ref::steal(PyUnicode_FromString("vardex"));
    return check(PyCFunction_NewEx(&copy_defs[deep ? 1 : 0], module(), modname.get()));
}

void register_wrappers(py::module_& m) {
    g_wrapper_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.ptr(), &wrapper_spec, nullptr);
    if (!g_wrapper_type) throw py::error_already_set();
    m.def("new_class_init_method", &new_init_wrapper, py::arg("original_method"), py::arg("class_var_list"),
          py::arg("condition_A"), py::arg("list_attrs"));
    m.def("new_class_method", &new_copy_wrapper, py::arg("original_method"), py::arg("class_var_list"),
          py::arg("condition_A"));
    m.def("check_self_method_del_from_watch", &new_check_wrapper, py::arg("condition_A"));
}

}  // namespace vdx::trace
