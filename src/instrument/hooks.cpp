// The hooks installed on watched classes: the replacement __setattr__ and the
// wrapped property setter. Both run for assignments of the user's program, so
// they are raw C: an unwatched name costs one type lookup and a short scan.
//
// Whatever the program itself does (the store, its own setter) raises as it
// would untraced. Everything the hook adds (reading the values around the
// store, the report, instrumenting the new value) is the tool's own work: a
// failure there is one "vardex: " line and the assignment stands.
#include "instrument/instrument.hpp"
#include "trace/trace.hpp"

namespace vdx::instrument {

namespace {

PyObject* g_object_setattr = nullptr;  // object.__setattr__, borrowed from the type

struct AttrHook {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    int mode;            // HookMode
    PyObject* original;  // Captured: the class's __setattr__ before the hook
    PyObject* derived;   // Generated: the generated class
};

struct SetterHook {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    int mode;
    PyObject* attr_name;
    PyObject* original_setter;
    PyObject* afterstr;
    PyObject* derived;
};

PyTypeObject* g_attr_hook_type = nullptr;
PyTypeObject* g_setter_hook_type = nullptr;

// Calls an attribute found in a class namespace as the instance's method.
PyObject* call_as_method(PyObject* attr, PyObject* self, PyObject* const* args, Py_ssize_t n) {
    PyObject* stack[4];
    if (PyFunction_Check(attr) || PyType_HasFeature(Py_TYPE(attr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        stack[0] = self;
        for (Py_ssize_t i = 0; i < n; ++i) stack[i + 1] = args[i];
        return PyObject_Vectorcall(attr, stack, n + 1, nullptr);
    }
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) return PyObject_Vectorcall(attr, args, n, nullptr);
    Ref bound = Ref::steal(get(attr, self, (PyObject*)Py_TYPE(self)));
    if (!bound) return nullptr;
    return PyObject_Vectorcall(bound.get(), args, n, nullptr);
}

// The store a hook stands in front of: the class's own __setattr__ for a
// captured class, the next one after the generated class otherwise.
int plain_store(AttrHook* hook, PyObject* self, PyObject* name, PyObject* value) {
    PyObject* fn = hook->original;
    Ref owned;
    if (hook->mode == kGenerated) {
        PyTypeObject* derived = (PyTypeObject*)hook->derived;
        fn = nullptr;
        if (Py_TYPE(self) == derived) {
            // super(Derived, self).__setattr__ is the base's own.
            fn = derived->tp_base ? _PyType_Lookup(derived->tp_base, VDX_STR("__setattr__")) : nullptr;
            owned = Ref::borrow(fn);
        } else {
            PyObject* mro = Py_TYPE(self)->tp_mro;
            bool after = false;
            for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
                PyObject* base = PyTuple_GET_ITEM(mro, i);
                if (!after) {
                    after = base == hook->derived;
                    continue;
                }
                if (base == (PyObject*)&PyBaseObject_Type) break;
                Ref dict = Ref::steal(PyType_GetDict((PyTypeObject*)base));
                fn = dict ? PyDict_GetItemWithError(dict.get(), VDX_STR("__setattr__")) : nullptr;
                if (fn) {
                    owned = Ref::borrow(fn);
                    break;
                }
                if (PyErr_Occurred()) return -1;
            }
        }
        if (!fn) fn = g_object_setattr;
    }
    if (fn == g_object_setattr) return PyObject_GenericSetAttr(self, name, value);
    PyObject* args[2] = {name, value};
    Ref r = Ref::steal(hook->mode == kGenerated ? call_as_method(fn, self, args, 2)
                                               : [&] {
                                                     PyObject* stack[3] = {self, name, value};
                                                     return PyObject_Vectorcall(fn, stack, 3, nullptr);
                                                 }());
    return r ? 0 : -1;
}

// The watched entry of the class for this name: 1 with its path rest, 0 when
// the name is not watched, -1 on error.
int watched_entry(PyObject* self, PyObject* name, PyObject* table_name, Ref& afterstr) {
    PyObject* table = _PyType_Lookup(Py_TYPE(self), table_name);
    if (!table || !PyList_Check(table)) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(table); ++i) {
        PyObject* pair = PyList_GET_ITEM(table, i);
        if (!PyList_Check(pair) || PyList_GET_SIZE(pair) < 2) continue;
        PyObject* key = PyList_GET_ITEM(pair, 0);
        if (key == name || (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(name))) {
            if (key != name && (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name) ||
                                PyUnicode_Compare(key, name) != 0))
                continue;
            afterstr = Ref::borrow(PyList_GET_ITEM(pair, 1));
            return 1;
        }
        // A comparison that runs Python code may change the table: hold
        // what it reads and look again afterwards.
        Ref held_table = Ref::borrow(table), held_pair = Ref::borrow(pair), held_key = Ref::borrow(key);
        int same = PyObject_RichCompareBool(key, name, Py_EQ);
        if (same < 0) return -1;
        if (same && PyList_GET_SIZE(pair) >= 2) {
            afterstr = Ref::borrow(PyList_GET_ITEM(pair, 1));
            return 1;
        }
        if (PyList_GET_SIZE(table) <= i) break;
    }
    return 0;
}

// Whether an instance's `watching` is on: missing means not watched (objects
// made by __new__ or unpickled never went through __init__).
int is_watching(PyObject* obj, bool zero_only) {
    PyObject* v = nullptr;
    if (lookup_attr(obj, VDX_STR("watching"), &v) < 0) return -1;
    if (!v) return 0;
    Ref owned = Ref::steal(v);
    Ref one = Ref::steal(PyLong_FromLong(zero_only ? 0 : 1));
    if (!one) return -1;
    int eq = PyObject_RichCompareBool(v, one.get(), Py_EQ);
    if (eq < 0) return -1;
    return zero_only ? !eq : eq;
}

PyObject* base_text(PyObject* derived) {
    PyObject* map = get_global("class_map");
    if (!map) return nullptr;
    PyObject* base = PyDict_Check(map) ? PyDict_GetItemWithError(map, derived) : nullptr;
    if (!base && PyErr_Occurred()) return nullptr;
    if (!base) {
        PyObject* bases = ((PyTypeObject*)derived)->tp_bases;
        base = bases && PyTuple_GET_SIZE(bases) ? PyTuple_GET_ITEM(bases, 0) : derived;
    }
    return value_text(base);
}

struct Change {
    PyObject* owner;     // the object whose attribute changed
    PyObject* name;      // the attribute
    PyObject* afterstr;  // the watched path below it
    PyObject* old_value;
    PyObject* new_value;
    PyObject* assigned;  // the value given to the assignment
};

// Files the report of one change for every distinct user, then moves the
// watched path from the old value to the assigned one.
int report_change(int tag, int mode, PyObject* derived, const Change& c) {
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return 0;
    Ref file, lineno, code_line;
    if (frame_location((PyObject*)frame, file, lineno, code_line) < 0) return -1;
    Ref callers = Ref::steal(caller_details((PyObject*)frame, 0));
    if (!callers) return -1;
    Ref file_text = Ref::steal(value_text(file.get()));
    Ref line_text = Ref::steal(value_text(lineno.get()));
    Ref name_text = Ref::steal(value_text(c.name));
    Ref path_text = Ref::steal(value_text(c.afterstr));
    if (!file_text || !line_text || !name_text || !path_text) return -1;
    Ref before, after, middle;
    if (mode == kCaptured) {
        Ref b = Ref::steal(values_along(c.old_value, c.afterstr));
        Ref a = Ref::steal(b ? values_along(c.new_value, c.afterstr) : nullptr);
        if (!a) return -1;
        before = Ref::steal(report_text(b.get()));
        after = Ref::steal(report_text(a.get()));
        Ref owner_text = Ref::steal(report_text(c.owner));
        if (!owner_text) return -1;
        middle = Ref::steal(concat({owner_text.get(), VDX_STR("."), name_text.get(),
                                    tag == 5 ? VDX_STR(" changed/together with ")
                                             : VDX_STR(" changed/together with."),
                                    path_text.get()}));
    } else {
        before = Ref::steal(report_text(c.old_value));
        after = Ref::steal(report_text(c.new_value));
        Ref cls_text = Ref::steal(base_text(derived));
        if (!cls_text) return -1;
        middle = Ref::steal(concat({tag == 0 ? VDX_STR("Derived class -") : VDX_STR("Derived class-"),
                                    cls_text.get(), VDX_STR("."), name_text.get()}));
    }
    if (!before || !after || !middle) return -1;
    PyObject* head = tag == 0 ? VDX_STR("-\u2193--------VALUE CHANGED0 in ")
                   : tag == 1 ? VDX_STR("-\u2193--------VALUE CHANGED1 in ")
                   : tag == 5 ? VDX_STR("-\u2193--------VALUE CHANGED5 in ")
                              : VDX_STR("-\u2193--------VALUE CHANGED6 in ");
    Ref report = Ref::steal(concat({head, file_text.get(), VDX_STR(" line "), line_text.get(), VDX_STR(":"),
                                    code_line.get(), VDX_STR("\uff0c"), middle.get(), VDX_STR(" from "),
                                    before.get(), VDX_STR(" to "), after.get()}));
    if (!report) return -1;
    Ref users = Ref::steal(users_of(c.owner));
    if (!users) return -1;
    Ref distinct = Ref::steal(distinct_users(users.get()));
    if (!distinct) return -1;
    PyObject* watching = tag == 6 ? get_global("watching_instances") : nullptr;
    if (tag == 6 && !watching) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(distinct.get()); ++i) {
        PyObject* user = PyList_GET_ITEM(distinct.get(), i);
        if (watching) {
            int in = contains_user(watching, user);
            if (in < 0) return -1;
            if (!in) continue;
        }
        if (file_report(user, callers.get(), report.get(), nullptr) < 0) return -1;
    }
    return move_watched_path(c.owner, c.afterstr, c.assigned, c.old_value);
}

// Reads an attribute for a report: a missing one reads as None, and any other
// failure is the tool's (said once), also None. nullptr only for
// KeyboardInterrupt/SystemExit.
PyObject* read_for_report(PyObject* obj, PyObject* name) {
    PyObject* v = nullptr;
    if (lookup_attr(obj, name, &v) < 0) {
        if (!report_tool_error("reading a watched attribute")) return nullptr;
        return Py_NewRef(Py_None);
    }
    return v ? v : Py_NewRef(Py_None);
}

// After the program's own store: compare and report; the tool's failures
// are said and dropped. -1 only for KeyboardInterrupt/SystemExit.
int after_store(int tag, int mode, PyObject* derived, Change& c) {
    Ref now = Ref::steal(read_for_report(c.owner, c.name));
    if (!now) return -1;
    c.new_value = now.get();
    int same = c.old_value == c.new_value ? 1 : PyObject_RichCompareBool(c.old_value, c.new_value, Py_EQ);
    if (same < 0) {
        // Values that cannot say whether they are equal count as changed.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        same = 0;
    }
    if (same) return 0;
    if (report_change(tag, mode, derived, c) < 0 && !report_tool_error("attribute report")) return -1;
    return 0;
}

PyObject* attr_hook_call(PyObject* obj, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    AttrHook* hook = (AttrHook*)obj;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 3 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        PyErr_SetString(PyExc_TypeError, "__setattr__ expects (self, name, value)");
        return nullptr;
    }
    PyObject *self = args[0], *name = args[1], *value = args[2];
    Ref afterstr;
    int watched = watched_entry(self, name, VDX_STR("_regular_attrs_trace"), afterstr);
    if (watched > 0 && hook->mode == kCaptured) {
        QuietTrace quiet;
        watched = is_watching(self, false);
    }
    if (watched < 0) {
        if (!report_tool_error("attribute hook")) return nullptr;
        watched = 0;
    }
    if (!watched) {
        if (plain_store(hook, self, name, value) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref old;
    {
        QuietTrace quiet;
        old = Ref::steal(read_for_report(self, name));
        if (!old) return nullptr;
    }
    if (plain_store(hook, self, name, value) < 0) return nullptr;
    Change c{self, name, afterstr.get(), old.get(), nullptr, value};
    QuietTrace quiet;
    if (after_store(hook->mode == kCaptured ? 5 : 0, hook->mode, hook->derived, c) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* setter_hook_call(PyObject* obj, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    SetterHook* hook = (SetterHook*)obj;
    static const char* const names[] = {"instance", "value", "attr_name", "original_setter", "afterstr"};
    PyObject* given[5] = {nullptr, nullptr, hook->attr_name, hook->original_setter, hook->afterstr};
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 5) {
        PyErr_SetString(PyExc_TypeError, "new_setter() takes at most 5 arguments");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    for (Py_ssize_t k = 0; kwnames && k < PyTuple_GET_SIZE(kwnames); ++k) {
        int slot = -1;
        for (int i = 0; i < 5; ++i)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), names[i]) == 0) slot = i;
        if (slot < 0 || slot < nargs) {
            PyErr_Format(PyExc_TypeError, "new_setter() got an unexpected argument '%U'",
                         PyTuple_GET_ITEM(kwnames, k));
            return nullptr;
        }
        given[slot] = args[nargs + k];
    }
    if (!given[0] || !given[1]) {
        PyErr_SetString(PyExc_TypeError, "new_setter() missing 'instance' or 'value'");
        return nullptr;
    }
    PyObject *instance = given[0], *value = given[1], *attr_name = given[2], *setter = given[3];
    int watched = 1;
    if (hook->mode == kCaptured) {
        QuietTrace quiet;
        watched = is_watching(instance, true);
        if (watched < 0) {
            if (!report_tool_error("setter hook")) return nullptr;
            watched = 0;
        }
    }
    auto store = [&]() -> int {
        PyObject* stack[2] = {instance, value};
        Ref r = Ref::steal(PyObject_Vectorcall(setter, stack, 2, nullptr));
        return r ? 0 : -1;
    };
    if (!watched) {
        if (store() < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref old;
    {
        QuietTrace quiet;
        old = Ref::steal(read_for_report(instance, attr_name));
        if (!old) return nullptr;
    }
    if (store() < 0) return nullptr;
    Change c{instance, attr_name, given[4], old.get(), nullptr, value};
    QuietTrace quiet;
    if (after_store(hook->mode == kCaptured ? 6 : 1, hook->mode, hook->derived, c) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* bind(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int attr_traverse(PyObject* self, visitproc visit, void* arg) {
    AttrHook* h = (AttrHook*)self;
    Py_VISIT(h->original);
    Py_VISIT(h->derived);
    Py_VISIT(Py_TYPE(self));
    return 0;
}
int attr_clear(PyObject* self) {
    AttrHook* h = (AttrHook*)self;
    Py_CLEAR(h->original);
    Py_CLEAR(h->derived);
    return 0;
}

int setter_traverse(PyObject* self, visitproc visit, void* arg) {
    SetterHook* h = (SetterHook*)self;
    Py_VISIT(h->attr_name);
    Py_VISIT(h->original_setter);
    Py_VISIT(h->afterstr);
    Py_VISIT(h->derived);
    Py_VISIT(Py_TYPE(self));
    return 0;
}
int setter_clear(PyObject* self) {
    SetterHook* h = (SetterHook*)self;
    Py_CLEAR(h->attr_name);
    Py_CLEAR(h->original_setter);
    Py_CLEAR(h->afterstr);
    Py_CLEAR(h->derived);
    return 0;
}

PyObject* hook_wrapped(PyObject* self, void*) {
    PyObject* w = Py_TYPE(self) == g_attr_hook_type ? ((AttrHook*)self)->original
                                                    : ((SetterHook*)self)->original_setter;
    return Py_NewRef(w ? w : Py_None);
}

PyMemberDef attr_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(AttrHook, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};
PyMemberDef setter_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SetterHook, vectorcall), Py_READONLY, nullptr},
    {"attr_name", Py_T_OBJECT_EX, offsetof(SetterHook, attr_name), Py_READONLY, nullptr},
    {"original_setter", Py_T_OBJECT_EX, offsetof(SetterHook, original_setter), Py_READONLY, nullptr},
    {"afterstr", Py_T_OBJECT_EX, offsetof(SetterHook, afterstr), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};
PyGetSetDef hook_getset[] = {{"__wrapped__", hook_wrapped, nullptr, nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot attr_slots[] = {
    {Py_tp_call, (void*)PyVectorcall_Call}, {Py_tp_descr_get, (void*)bind},
    {Py_tp_traverse, (void*)attr_traverse}, {Py_tp_clear, (void*)attr_clear},
    {Py_tp_dealloc, (void*)gc_dealloc<attr_clear>},   {Py_tp_members, (void*)attr_members},
    {Py_tp_getset, (void*)hook_getset},     {0, nullptr}};
PyType_Slot setter_slots[] = {
    {Py_tp_call, (void*)PyVectorcall_Call},   {Py_tp_traverse, (void*)setter_traverse},
    {Py_tp_clear, (void*)setter_clear},       {Py_tp_dealloc, (void*)gc_dealloc<setter_clear>},
    {Py_tp_members, (void*)setter_members},   {Py_tp_getset, (void*)hook_getset},
    {0, nullptr}};

constexpr unsigned long kHookFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                     Py_TPFLAGS_DISALLOW_INSTANTIATION;
PyType_Spec attr_spec = {"vardex.custom_setattr", sizeof(AttrHook), 0,
                         kHookFlags | Py_TPFLAGS_METHOD_DESCRIPTOR, attr_slots};
PyType_Spec setter_spec = {"vardex.new_setter", sizeof(SetterHook), 0, kHookFlags, setter_slots};

}  // namespace

PyObject* values_along(PyObject* value, PyObject* afterstr) {
    Ref values = Ref::steal(list_of({value}));
    if (!values) return nullptr;
    int has_path = PyObject_IsTrue(afterstr);
    if (has_path < 0) return nullptr;
    if (has_path) {
        Ref chain = Ref::steal(trace::get_attribute_value_and_intermediates(value, afterstr));
        if (!chain) return nullptr;
        Py_ssize_t end = PyList_GET_SIZE(values.get());
        if (PyList_SetSlice(values.get(), end, end, chain.get()) < 0) return nullptr;
    }
    return values.release();
}

PyObject* users_of(PyObject* obj) {
    PyObject* users = nullptr;
    if (lookup_attr(obj, VDX_STR("_report_user_list"), &users) < 0) return nullptr;
    if (users) return users;
    Ref fresh = Ref::steal(new_user_list(obj));
    if (!fresh) return nullptr;
    if (PyObject_SetAttr(obj, VDX_STR("_report_user_list"), fresh.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            return nullptr;
        PyErr_Clear();
    }
    return fresh.release();
}

int move_watched_path(PyObject* owner, PyObject* afterstr, PyObject* assigned, PyObject* old_value) {
    int has_path = PyObject_IsTrue(afterstr);
    if (has_path <= 0) return has_path;
    Ref users = Ref::steal(users_of(owner));
    if (!users) return -1;
    Ref parts = Ref::steal(PyUnicode_Split(afterstr, VDX_STR("."), 1));
    if (!parts) return -1;
    PyObject* first = PyList_GET_ITEM(parts.get(), 0);
    PyObject* rest = PyList_GET_SIZE(parts.get()) > 1 ? PyList_GET_ITEM(parts.get(), 1) : VDX_STR("");
    Ref entry = Ref::steal(list_of({first, rest}));
    Ref entries = Ref::steal(entry ? list_of({entry.get()}) : nullptr);
    if (!entries) return -1;
    Ref derived = Ref::steal(instrument_path(entries.get(), assigned, users.get()));
    if (!derived) return -1;
    int had_old = PyObject_IsTrue(old_value);
    if (had_old <= 0) return had_old;
    Ref fixed = Ref::steal(PySequence_List(users.get()));
    if (!fixed) return -1;
    return trace::del_report_user_of_subitems(old_value, afterstr, fixed.get());
}

bool is_attr_hook(PyObject* obj) { return Py_TYPE(obj) == g_attr_hook_type; }

PyObject* new_attr_hook(int mode, PyObject* original, PyObject* derived) {
    AttrHook* h = PyObject_GC_New(AttrHook, g_attr_hook_type);
    if (!h) return nullptr;
    h->vectorcall = attr_hook_call;
    h->mode = mode;
    h->original = Py_XNewRef(original);
    h->derived = Py_XNewRef(derived);
    PyObject_GC_Track(h);
    return (PyObject*)h;
}

PyObject* new_setter_hook(int mode, PyObject* attr_name, PyObject* original_setter, PyObject* afterstr,
                          PyObject* derived) {
    SetterHook* h = PyObject_GC_New(SetterHook, g_setter_hook_type);
    if (!h) return nullptr;
    h->vectorcall = setter_hook_call;
    h->mode = mode;
    h->attr_name = Py_NewRef(attr_name);
    h->original_setter = Py_NewRef(original_setter);
    h->afterstr = Py_NewRef(afterstr);
    h->derived = Py_XNewRef(derived);
    PyObject_GC_Track(h);
    return (PyObject*)h;
}

void register_hooks(py::module_& m) {
    g_object_setattr = _PyType_Lookup(&PyBaseObject_Type, VDX_STR("__setattr__"));
    g_attr_hook_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.ptr(), &attr_spec, nullptr);
    if (!g_attr_hook_type) throw py::error_already_set();
    g_setter_hook_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.ptr(), &setter_spec, nullptr);
    if (!g_setter_hook_type) throw py::error_already_set();
}

}  // namespace vdx::instrument
