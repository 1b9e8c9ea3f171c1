// The observable list, the descriptor that installs it on watched attributes,
// and the list type of an object's report users.
//
// The list's mutators are raw C: each calls list's own method, then reports
// the content if it changed. A copy or a pickle of either list type never
// copies the objects it reports to.
#include "instrument/instrument.hpp"
#include "trace/trace.hpp"

#include <vector>

namespace vdx::instrument {

namespace {

struct ObsList {
    PyListObject list;
    PyObject* callbacks;
    PyObject* attr_name;
    PyObject* instanceA;
    PyObject* prev_state;
    // The length of the content when prev_state was made equal to it (-1:
    // not known to be). A mutator that finds the list at that length applies
    // its own step to prev_state instead of comparing and copying the whole
    // list, so a report costs the same at any size.
    Py_ssize_t synced_len;
    // Made as a list is made (type(watched_list)(items)): no watched
    // attribute's list, so it reports nothing.
    bool unowned;
};

struct Descriptor {
    PyObject_HEAD
    PyObject* dict;
    PyObject* instance;
    PyObject* strA;
    PyObject* attr_name;
    PyObject* hidden;      // "_observable_" + attr_name
    PyObject* hidden_for;  // the attr_name it was made from
};

PyTypeObject* g_list_type = nullptr;
PyTypeObject* g_users_type = nullptr;
PyTypeObject* g_descr_type = nullptr;

enum Base { kAppend, kExtend, kInsert, kRemove, kClear, kPop, kSort, kReverse, kBaseCount };
const char* const kBaseNames[kBaseCount] = {"append", "extend", "insert", "remove",
                                           "clear",  "pop",    "sort",   "reverse"};
PyObject* g_base[kBaseCount];  // list's own method descriptors

inline ObsList* as_obs(PyObject* o) { return reinterpret_cast<ObsList*>(o); }

// ------------------------------------------------------------ reporting

// Whether an owner was taken out of the watch (its `watching` is 0); owners
// that never had one report.
int left_out(PyObject* owner) {
    if (owner == Py_None) return 0;
    PyObject* v = nullptr;
    if (lookup_attr(owner, VDX_STR("watching"), &v) < 0) return -1;
    if (!v) return 0;
    Ref owned = Ref::steal(v);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return zero ? PyObject_RichCompareBool(v, zero.get(), Py_EQ) : -1;
}

// One mutation as its mutator made it: the base method, the length before
// and its arguments.
struct Step {
    Base which;
    Py_ssize_t before_len;
    PyObject* const* args;
    Py_ssize_t nargs;
};

bool exact_int_args(const Step& step, Py_ssize_t upto) {
    for (Py_ssize_t i = 0; i < step.nargs && i < upto; ++i)
        if (!PyLong_CheckExact(step.args[i])) return false;
    return true;
}

// Applies the step to prev_state when it equals the content before it.
// 1: applied (*changed tells whether the content changed); 0: not possible
// here (compare and copy instead); -1: error.
int apply_step(ObsList* o, PyObject* self, const Step& step, bool* changed) {
    PyObject* prev = o->prev_state;
    if (!prev || !PyList_CheckExact(prev) || o->synced_len < 0 || o->synced_len != PyList_GET_SIZE(prev) ||
        o->synced_len != step.before_len)
        return 0;
    Py_ssize_t now = PyList_GET_SIZE(self);
    switch (step.which) {
        case kAppend:
            if (step.nargs != 1 || now != step.before_len + 1) return 0;
            if (PyList_Append(prev, step.args[0]) < 0) return -1;
            *changed = true;
            break;
        case kExtend: {
            if (now < step.before_len) return 0;
            Ref added = Ref::steal(PyList_GetSlice(self, step.before_len, now));
            if (!added || PyList_SetSlice(prev, step.before_len, step.before_len, added.get()) < 0) return -1;
            *changed = now != step.before_len;
            break;
        }
        case kClear:
            if (now != 0) return 0;
            if (PyList_SetSlice(prev, 0, step.before_len, nullptr) < 0) return -1;
            *changed = step.before_len != 0;
            break;
        case kInsert:
        case kPop: {
            // Only plain int indexes: an index of the program's own type
            // would run its code a second time.
            bool ok = step.which == kInsert ? step.nargs == 2 && exact_int_args(step, 1) && now == step.before_len + 1
                                            : exact_int_args(step, 1) && now == step.before_len - 1;
            if (!ok) return 0;
            PyObject* stack[3] = {prev, step.nargs > 0 ? step.args[0] : nullptr, step.nargs > 1 ? step.args[1] : nullptr};
            Ref r = Ref::steal(PyObject_Vectorcall(g_base[step.which], stack, 1 + step.nargs, nullptr));
            if (!r) return -1;
            *changed = true;
            break;
        }
        default:
            return 0;
    }
    o->synced_len = now;
    return 1;
}

// Reports the content when it differs from the last reported one.
int notify(PyObject* self, const Step* step = nullptr) {
    ObsList* o = as_obs(self);
    if (o->unowned) return 0;
    int out = left_out(Ref::borrow(o->instanceA ? o->instanceA : Py_None).get());
    if (out != 0) return out < 0 ? -1 : 0;
    bool applied = false;
    if (step) {
        bool changed = false;
        int r = apply_step(o, self, *step, &changed);
        if (r < 0) return -1;
        if (r > 0 && !changed) return 0;
        applied = r > 0;
    }
    if (!applied && o->prev_state && o->prev_state != Py_None) {
        Ref prev = Ref::borrow(o->prev_state);  // an element's __eq__ may report again
        int same = PyObject_RichCompareBool(prev.get(), self, Py_EQ);
        if (same < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            PyErr_Clear();
            same = 0;
        }
        if (same) return 0;
    }
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return 0;
    Ref file, lineno, code_line;
    if (frame_location((PyObject*)frame, file, lineno, code_line) < 0) return -1;
    Ref callers = Ref::steal(caller_details((PyObject*)frame, 0));
    if (!callers) return -1;
    // Held for the report: what the report runs may let another thread rebind them.
    Ref owner_ref = Ref::borrow(o->instanceA ? o->instanceA : Py_None);
    Ref attr_ref = Ref::borrow(o->attr_name ? o->attr_name : Py_None);
    Ref file_text = Ref::steal(value_text(file.get()));
    Ref line_text = Ref::steal(value_text(lineno.get()));
    Ref owner_text = Ref::steal(report_text(owner_ref.get()));
    Ref name_text = Ref::steal(value_text(attr_ref.get()));
    Ref content = Ref::steal(report_text(self));
    if (!file_text || !line_text || !owner_text || !name_text || !content) return -1;
    Ref report = Ref::steal(concat({VDX_STR("-\u2193--------VALUE CHANGED9 in "), file_text.get(),
                                    VDX_STR(" line "), line_text.get(), VDX_STR(":"), code_line.get(),
                                    VDX_STR("\uff0c"), owner_text.get(), VDX_STR("."), name_text.get(),
                                    VDX_STR(" to "), content.get()}));
    if (!report) return -1;
    if (applied) return file_report(owner_ref.get(), callers.get(), report.get(), nullptr);
    if (file_report(owner_ref.get(), callers.get(), report.get(), nullptr) < 0) return -1;
    PyObject* snapshot = PyList_GetSlice(self, 0, PY_SSIZE_T_MAX);
    if (!snapshot) return -1;
    Py_XSETREF(o->prev_state, snapshot);
    o->synced_len = PyList_GET_SIZE(snapshot);
    return 0;
}

// After a mutation of the program: a failure of the report is the tool's.
PyObject* after_mutation(PyObject* self, PyObject* result, const Step* step = nullptr) {
    if (!result) return nullptr;
    QuietTrace quiet;
    if (notify(self, step) < 0) {
        // prev_state may have taken the step without its report: compare next time.
        as_obs(self)->synced_len = -1;
        if (!report_tool_error("list report")) {
            Py_DECREF(result);
            return nullptr;
        }
    }
    return result;
}

PyObject* call_base(Base which, PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf) + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* small[8];
    std::vector<PyObject*> big;
    PyObject** stack = small;
    if (n + 1 > 8) {
        big.resize(n + 1);
        stack = big.data();
    }
    stack[0] = self;
    for (Py_ssize_t i = 0; i < n; ++i) stack[i + 1] = args[i];
    return PyObject_Vectorcall(g_base[which], stack, PyVectorcall_NARGS(nargsf) + 1, kwnames);
}

#define MUTATOR(fn, which)                                                                      \
    PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        Step step{which, PyList_GET_SIZE(self), args, kwnames ? -1 : nargs};                    \
        PyObject* result = call_base(which, self, args, (size_t)nargs, kwnames);                \
        return after_mutation(self, result, step.nargs < 0 ? nullptr : &step);                  \
    }
MUTATOR(obs_append, kAppend)
MUTATOR(obs_extend, kExtend)
MUTATOR(obs_insert, kInsert)
MUTATOR(obs_remove, kRemove)
MUTATOR(obs_clear, kClear)
MUTATOR(obs_pop, kPop)
MUTATOR(obs_sort, kSort)
MUTATOR(obs_reverse, kReverse)
#undef MUTATOR

int obs_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (PyList_Type.tp_as_mapping->mp_ass_subscript(self, key, value) < 0) return -1;
    Ref r = Ref::steal(after_mutation(self, Py_NewRef(Py_None)));
    return r ? 0 : -1;
}

int obs_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    if (PyList_Type.tp_as_sequence->sq_ass_item(self, i, value) < 0) return -1;
    Ref r = Ref::steal(after_mutation(self, Py_NewRef(Py_None)));
    return r ? 0 : -1;
}

PyObject* obs_inplace_concat(PyObject* self, PyObject* other) {
    return after_mutation(self, PyList_Type.tp_as_sequence->sq_inplace_concat(self, other));
}

PyObject* obs_inplace_repeat(PyObject* self, Py_ssize_t n) {
    return after_mutation(self, PyList_Type.tp_as_sequence->sq_inplace_repeat(self, n));
}

PyObject* obs_add_callback(PyObject* self, PyObject* callback) {
    ObsList* o = as_obs(self);
    if (!o->callbacks) {
        o->callbacks = PyList_New(0);
        if (!o->callbacks) return nullptr;
    }
    if (PyList_Append(o->callbacks, callback) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* obs_notify(PyObject* self, PyObject*) {
    if (notify(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------ lifecycle

int set_fields(PyObject* self, PyObject* instanceA, PyObject* attr_name) {
    ObsList* o = as_obs(self);
    o->unowned = false;
    Py_XSETREF(o->instanceA, Py_NewRef(instanceA));
    Py_XSETREF(o->attr_name, Py_NewRef(attr_name));
    PyObject* cb = PyList_New(0);
    if (!cb) return -1;
    Py_XSETREF(o->callbacks, cb);
    Py_XSETREF(o->prev_state, Py_NewRef(Py_None));
    o->synced_len = -1;
    return 0;
}

int obs_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* fields[2] = {nullptr, nullptr};
    static const char* const names[2] = {"instanceA", "attr_name"};
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < 2 && i < nargs; ++i) fields[i] = PyTuple_GET_ITEM(args, i);
    Ref rest_kwargs, keep[2];
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        rest_kwargs = Ref::steal(PyDict_Copy(kwargs));
        if (!rest_kwargs) return -1;
        for (int i = 0; i < 2; ++i) {
            PyObject* v = PyDict_GetItemString(rest_kwargs.get(), names[i]);
            if (!v) continue;
            if (fields[i]) {
                PyErr_Format(PyExc_TypeError, "__init__() got multiple values for argument '%s'", names[i]);
                return -1;
            }
            keep[i] = Ref::borrow(v);
            fields[i] = v;
            if (PyDict_DelItemString(rest_kwargs.get(), names[i]) < 0) return -1;
        }
    }
    // Called as list is, with at most the items (type(watched_list)(items),
    // as dataclasses.asdict and other copying code do): a list of no owner.
    bool as_list = !fields[1] && !keep[0] && nargs <= 1 && !as_obs(self)->callbacks;
    if (as_list) {
        if (set_fields(self, Py_None, Py_None) < 0) return -1;
        as_obs(self)->unowned = true;
        return PyList_Type.tp_init(self, args, rest_kwargs.get());
    }
    if (!fields[0] || !fields[1]) {
        PyErr_Format(PyExc_TypeError, "__init__() missing required argument '%s'",
                     fields[0] ? "attr_name" : "instanceA");
        return -1;
    }
    if (set_fields(self, fields[0], fields[1]) < 0) return -1;
    Ref rest = Ref::steal(PyTuple_GetSlice(args, nargs < 2 ? nargs : 2, nargs));
    if (!rest) return -1;
    return PyList_Type.tp_init(self, rest.get(), rest_kwargs.get());
}

int obs_traverse(PyObject* self, visitproc visit, void* arg) {
    ObsList* o = as_obs(self);
    Py_VISIT(o->callbacks);
    Py_VISIT(o->attr_name);
    Py_VISIT(o->instanceA);
    Py_VISIT(o->prev_state);
    Py_VISIT(Py_TYPE(self));
    return PyList_Type.tp_traverse(self, visit, arg);
}

int obs_clear_refs(PyObject* self) {
    ObsList* o = as_obs(self);
    Py_CLEAR(o->callbacks);
    Py_CLEAR(o->attr_name);
    Py_CLEAR(o->instanceA);
    Py_CLEAR(o->prev_state);
    return PyList_Type.tp_clear(self);
}

// list's own dealloc is not used: it does not release a heap type.
void list_subtype_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (tp == g_list_type || PyType_IsSubtype(tp, g_list_type)) {
        ObsList* o = as_obs(self);
        Py_CLEAR(o->callbacks);
        Py_CLEAR(o->attr_name);
        Py_CLEAR(o->instanceA);
        Py_CLEAR(o->prev_state);
    }
    PyList_Type.tp_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int users_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return PyList_Type.tp_traverse(self, visit, arg);
}

// A new, empty list of the same kind (fields copied for an observable list).
PyObject* empty_like(PyObject* self, PyObject* owner) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* y = tp->tp_alloc(tp, 0);
    if (!y) return nullptr;
    if (PyObject_TypeCheck(self, g_list_type)) {
        if (set_fields(y, owner, as_obs(self)->attr_name ? as_obs(self)->attr_name : Py_None) < 0) {
            Py_DECREF(y);
            return nullptr;
        }
        as_obs(y)->unowned = as_obs(self)->unowned;  // a copy of a plain-made list stays silent
    }
    return y;
}

PyObject* memo_lookup(PyObject* memo, PyObject* obj) {
    if (!memo || memo == Py_None || !PyDict_Check(memo)) return obj;
    Ref id = Ref::steal(PyLong_FromVoidPtr(obj));
    PyObject* found = id ? PyDict_GetItemWithError(memo, id.get()) : nullptr;
    if (found) return found;
    PyErr_Clear();
    return obj;
}

PyObject* owner_of(PyObject* self) {
    if (!PyObject_TypeCheck(self, g_list_type)) return Py_None;
    return as_obs(self)->instanceA ? as_obs(self)->instanceA : Py_None;
}

PyObject* lists_copy(PyObject* self, PyObject*) {
    Ref y = Ref::steal(empty_like(self, owner_of(self)));
    if (!y) return nullptr;
    Ref items = Ref::steal(PyList_GetSlice(self, 0, PY_SSIZE_T_MAX));
    if (!items || PyList_SetSlice(y.get(), 0, 0, items.get()) < 0) return nullptr;
    return y.release();
}

// A deep copy of the content; the owner (and, for a users list, each user) is
// the memo's copy when the owner is being copied too, else the same object.
PyObject* lists_deepcopy(PyObject* self, PyObject* memo) {
    bool users = Py_TYPE(self) == g_users_type;
    Ref y = Ref::steal(empty_like(self, memo_lookup(memo, owner_of(self))));
    if (!y) return nullptr;
    if (memo && PyDict_Check(memo)) {
        Ref id = Ref::steal(PyLong_FromVoidPtr(self));
        if (!id || PyDict_SetItem(memo, id.get(), y.get()) < 0) return nullptr;
    }
    static PyObject* deepcopy = nullptr;
    if (!users && !deepcopy) {
        Ref copy_mod = Ref::steal(PyImport_ImportModule("copy"));
        if (!copy_mod) return nullptr;
        deepcopy = PyObject_GetAttrString(copy_mod.get(), "deepcopy");
        if (!deepcopy) return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(self, i));
        Ref copied;
        if (users) {
            copied = Ref::borrow(memo_lookup(memo, item.get()));
        } else {
            PyObject* args[2] = {item.get(), memo ? memo : Py_None};
            copied = Ref::steal(PyObject_Vectorcall(deepcopy, args, 2, nullptr));
        }
        if (!copied || PyList_Append(y.get(), copied.get()) < 0) return nullptr;
    }
    return y.release();
}

// Pickled as the plain list of its content.
PyObject* lists_reduce(PyObject* self, PyObject*) {
    Ref items = Ref::steal(PyList_GetSlice(self, 0, PY_SSIZE_T_MAX));
    if (!items) return nullptr;
    return Py_BuildValue("(O(O))", (PyObject*)&PyList_Type, items.get());
}

PyObject* get_field(PyObject* self, void* which) {
    ObsList* o = as_obs(self);
    PyObject* v = which == (void*)0 ? o->callbacks : which == (void*)1 ? o->attr_name
                : which == (void*)2 ? o->instanceA : o->prev_state;
    return Py_NewRef(v ? v : Py_None);
}

int set_field(PyObject* self, PyObject* value, void* which) {
    ObsList* o = as_obs(self);
    PyObject** slot = which == (void*)0 ? &o->callbacks : which == (void*)1 ? &o->attr_name
                    : which == (void*)2 ? &o->instanceA : &o->prev_state;
    Py_XSETREF(*slot, Py_XNewRef(value));
    if (slot == &o->prev_state) o->synced_len = -1;
    return 0;
}

PyGetSetDef obs_getset[] = {
    {"callbacks", get_field, set_field, nullptr, (void*)0},
    {"attr_name", get_field, set_field, nullptr, (void*)1},
    {"instanceA", get_field, set_field, nullptr, (void*)2},
    {"_prev_state", get_field, set_field, nullptr, (void*)3},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#define FAST(name, fn) {name, (PyCFunction)(void (*)(void))fn, METH_FASTCALL | METH_KEYWORDS, nullptr}
PyMethodDef obs_methods[] = {
    FAST("append", obs_append),
    FAST("extend", obs_extend),
    FAST("insert", obs_insert),
    FAST("remove", obs_remove),
    FAST("clear", obs_clear),
    FAST("pop", obs_pop),
    FAST("sort", obs_sort),
    FAST("reverse", obs_reverse),
    {"add_callback", obs_add_callback, METH_O, nullptr},
    {"_notify", obs_notify, METH_NOARGS, nullptr},
    {"__copy__", lists_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", lists_deepcopy, METH_O, nullptr},
    {"__reduce_ex__", lists_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};
#undef FAST

PyMethodDef users_methods[] = {
    {"__copy__", lists_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", lists_deepcopy, METH_O, nullptr},
    {"__reduce_ex__", lists_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot obs_slots[] = {
    {Py_tp_init, (void*)obs_init},
    {Py_tp_traverse, (void*)obs_traverse},
    {Py_tp_clear, (void*)obs_clear_refs},
    {Py_tp_dealloc, (void*)list_subtype_dealloc},
    {Py_tp_methods, (void*)obs_methods},
    {Py_tp_getset, (void*)obs_getset},
    {Py_mp_ass_subscript, (void*)obs_ass_subscript},
    {Py_sq_ass_item, (void*)obs_ass_item},
    {Py_sq_inplace_concat, (void*)obs_inplace_concat},
    {Py_sq_inplace_repeat, (void*)obs_inplace_repeat},
    {0, nullptr}};

PyType_Spec obs_spec = {"vardex.ObservableList_for_trace", sizeof(ObsList), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, obs_slots};

int users_clear(PyObject* self) { return PyList_Type.tp_clear(self); }

PyType_Slot users_slots[] = {
    {Py_tp_traverse, (void*)users_traverse},
    {Py_tp_clear, (void*)users_clear},
    {Py_tp_dealloc, (void*)list_subtype_dealloc},
    {Py_tp_methods, (void*)users_methods},
    {0, nullptr}};

PyType_Spec users_spec = {"vardex._ReportUsers", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, users_slots};

// ------------------------------------------------------------ descriptor

inline Descriptor* as_descr(PyObject* o) { return reinterpret_cast<Descriptor*>(o); }

PyObject* hidden_name(Descriptor* d) {
    if (d->hidden && d->hidden_for == d->attr_name) return Py_NewRef(d->hidden);
    Ref name = Ref::steal(value_text(d->attr_name ? d->attr_name : Py_None));
    PyObject* hidden = name ? concat({VDX_STR("_observable_"), name.get()}) : nullptr;
    if (!hidden) return nullptr;
    PyUnicode_InternInPlace(&hidden);
    Py_XSETREF(d->hidden, Py_NewRef(hidden));
    Py_XSETREF(d->hidden_for, Py_XNewRef(d->attr_name));
    return hidden;
}

// The instance's list (created empty when it has none yet), new ref.
PyObject* descr_list(Descriptor* d, PyObject* instance) {
    Ref name = Ref::steal(hidden_name(d));
    if (!name) return nullptr;
    PyObject* v = nullptr;
    if (lookup_attr(instance, name.get(), &v) < 0) return nullptr;
    if (v) return v;
    Ref fresh = Ref::steal(new_observable_list(instance, d->attr_name ? d->attr_name : Py_None, nullptr));
    if (!fresh) return nullptr;
    if (PyObject_GenericSetAttr(instance, name.get(), fresh.get()) < 0) return nullptr;
    return fresh.release();
}

PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    // Read on the class: the descriptor itself.
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return descr_list(as_descr(self), instance);
}

int descr_notify(Descriptor* d, PyObject* instance) {
    int out = left_out(instance);
    if (out != 0) return out < 0 ? -1 : 0;
    Ref name = Ref::steal(hidden_name(d));
    if (!name) return -1;
    PyObject* v = nullptr;
    if (lookup_attr(instance, name.get(), &v) < 0) return -1;
    Ref current = v ? Ref::steal(v) : Ref::borrow(Py_None);
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return 0;
    int has_name = PyObject_IsTrue(Ref::borrow(d->attr_name ? d->attr_name : Py_None).get());
    if (has_name <= 0) return has_name;
    Ref file, lineno, code_line;
    if (frame_location((PyObject*)frame, file, lineno, code_line) < 0) return -1;
    Ref callers = Ref::steal(caller_details((PyObject*)frame, 0));
    if (!callers) return -1;
    Ref strA = Ref::borrow(d->strA ? d->strA : Py_None);
    Ref attr = Ref::borrow(d->attr_name ? d->attr_name : Py_None);
    Ref file_text = Ref::steal(value_text(file.get()));
    Ref line_text = Ref::steal(value_text(lineno.get()));
    Ref cls_name = Ref::steal(PyType_GetName(Py_TYPE(strA.get())));
    Ref name_text = Ref::steal(value_text(attr.get()));
    Ref value_str = Ref::steal(report_text(current.get()));
    Ref instance_str = Ref::steal(report_text(instance));
    if (!file_text || !line_text || !cls_name || !name_text || !value_str || !instance_str) return -1;
    Ref report = Ref::steal(concat({VDX_STR("-\u2193--------VALUE CHANGED10 in "), file_text.get(),
                                    VDX_STR(" line "), line_text.get(), VDX_STR(":"), code_line.get(),
                                    VDX_STR("\uff0c"), cls_name.get(), VDX_STR("."), name_text.get(),
                                    VDX_STR(" to new value: "), value_str.get(), instance_str.get()}));
    if (!report) return -1;
    return file_report(instance, callers.get(), report.get(), nullptr);
}

int descr_set(PyObject* self, PyObject* instance, PyObject* value) {
    Descriptor* d = as_descr(self);
    Ref name = Ref::steal(hidden_name(d));
    if (!name) return -1;
    if (!value) {
        if (PyObject_GenericSetAttr(instance, name.get(), nullptr) == 0) return 0;
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Ref attr = Ref::borrow(d->attr_name ? d->attr_name : Py_None);
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%S'", Py_TYPE(instance)->tp_name,
                         attr.get());
        }
        return -1;
    }
    // A list is kept as an observable copy; anything else (None, a tuple) as it is.
    Ref stored = Ref::borrow(value);
    bool unowned = PyObject_TypeCheck(value, g_list_type) && as_obs(value)->unowned;
    if (PyList_CheckExact(value) || unowned) {
        stored = Ref::steal(new_observable_list(instance, d->attr_name ? d->attr_name : Py_None, value));
        if (!stored) return -1;
    }
    if (PyObject_GenericSetAttr(instance, name.get(), stored.get()) < 0) return -1;
    QuietTrace quiet;
    if (descr_notify(d, instance) < 0 && !report_tool_error("list attribute report")) return -1;
    return 0;
}

int descr_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"instance", "strA", "attr_name", "current_value", nullptr};
    PyObject *instance, *strA, *attr_name, *current;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:ObservableListDescriptor", (char**)kw, &instance,
                                     &strA, &attr_name, &current))
        return -1;
    Descriptor* d = as_descr(self);
    Py_XSETREF(d->instance, Py_NewRef(instance));
    Py_XSETREF(d->strA, Py_NewRef(strA));
    Py_XSETREF(d->attr_name, Py_NewRef(attr_name));
    return descr_set(self, instance, current);
}

PyObject* bound_list(Descriptor* d) {
    if (!d->instance || d->instance == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "the descriptor is bound to no instance");
        return nullptr;
    }
    Ref instance = Ref::borrow(d->instance);
    return descr_list(d, instance.get());
}

PyObject* descr_set_instance(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"instance", "strA"};
    PyObject* given[2] = {nullptr, nullptr};
    for (Py_ssize_t i = 0; i < nargs && i < 2; ++i) given[i] = args[i];
    for (Py_ssize_t k = 0; kwnames && k < PyTuple_GET_SIZE(kwnames); ++k)
        for (int i = 0; i < 2; ++i)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), names[i]) == 0)
                given[i] = args[nargs + k];
    if (nargs > 2 || !given[0] || !given[1]) {
        PyErr_SetString(PyExc_TypeError, "set_instance(instance, strA)");
        return nullptr;
    }
    Descriptor* d = as_descr(self);
    Py_XSETREF(d->instance, Py_NewRef(given[0]));
    Py_XSETREF(d->strA, Py_NewRef(given[1]));
    Py_RETURN_NONE;
}

PyObject* descr_notify_method(PyObject* self, PyObject* instance) {
    if (descr_notify(as_descr(self), instance) < 0) return nullptr;
    Py_RETURN_NONE;
}

Py_ssize_t descr_len(PyObject* self) {
    Ref lst = Ref::steal(bound_list(as_descr(self)));
    return lst ? PyObject_Size(lst.get()) : -1;
}

PyObject* descr_getitem(PyObject* self, PyObject* index) {
    Ref lst = Ref::steal(bound_list(as_descr(self)));
    return lst ? PyObject_GetItem(lst.get(), index) : nullptr;
}

int descr_setitem(PyObject* self, PyObject* index, PyObject* value) {
    Descriptor* d = as_descr(self);
    Ref instance = Ref::borrow(d->instance ? d->instance : Py_None);
    Ref lst = Ref::steal(bound_list(d));
    if (!lst) return -1;
    if ((value ? PyObject_SetItem(lst.get(), index, value) : PyObject_DelItem(lst.get(), index)) < 0) return -1;
    QuietTrace quiet;
    if (descr_notify(d, instance.get()) < 0 && !report_tool_error("list attribute report")) return -1;
    return 0;
}

PyObject* descr_iter(PyObject* self) {
    Ref lst = Ref::steal(bound_list(as_descr(self)));
    return lst ? PyObject_GetIter(lst.get()) : nullptr;
}

// Names not found on the descriptor: its own namespace, then the bound list
// (protocol names excepted, so copying or pickling the descriptor does not
// reach into the list).
PyObject* descr_fallback(PyObject* self, PyObject* name) {
    Descriptor* d = as_descr(self);
    if (d->dict) {
        PyObject* v = PyDict_GetItemWithError(d->dict, name);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    bool dunder = PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 4 &&
                  PyUnicode_ReadChar(name, 0) == '_' && PyUnicode_ReadChar(name, 1) == '_';
    if (!dunder && d->instance && d->instance != Py_None) {
        Ref instance = Ref::borrow(d->instance);
        Ref lst = Ref::steal(descr_list(d, instance.get()));
        if (!lst) return nullptr;
        PyObject* v = nullptr;
        if (lookup_attr(lst.get(), name, &v) < 0) return nullptr;
        if (v) return v;
    }
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%S'", "ObservableListDescriptor", name);
    return nullptr;
}

PyObject* descr_getattro(PyObject* self, PyObject* name) {
    PyObject* v = PyObject_GenericGetAttr(self, name);
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    return descr_fallback(self, name);
}

PyObject* descr_getattr_method(PyObject* self, PyObject* name) { return descr_fallback(self, name); }

int descr_traverse(PyObject* self, visitproc visit, void* arg) {
    Descriptor* d = as_descr(self);
    Py_VISIT(d->dict);
    Py_VISIT(d->instance);
    Py_VISIT(d->strA);
    Py_VISIT(d->attr_name);
    Py_VISIT(d->hidden_for);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int descr_clear(PyObject* self) {
    Descriptor* d = as_descr(self);
    Py_CLEAR(d->dict);
    Py_CLEAR(d->instance);
    Py_CLEAR(d->strA);
    Py_CLEAR(d->attr_name);
    Py_CLEAR(d->hidden);
    Py_CLEAR(d->hidden_for);
    return 0;
}


PyMemberDef descr_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Descriptor, dict), Py_READONLY, nullptr},
    {"instance", _Py_T_OBJECT, offsetof(Descriptor, instance), 0, nullptr},
    {"strA", _Py_T_OBJECT, offsetof(Descriptor, strA), 0, nullptr},
    {"attr_name", _Py_T_OBJECT, offsetof(Descriptor, attr_name), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef descr_methods[] = {
    {"set_instance", (PyCFunction)(void (*)(void))descr_set_instance, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_notify", descr_notify_method, METH_O, nullptr},
    {"__getattr__", descr_getattr_method, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot descr_slots[] = {
    {Py_tp_init, (void*)descr_init},          {Py_tp_descr_get, (void*)descr_get},
    {Py_tp_descr_set, (void*)descr_set},      {Py_tp_getattro, (void*)descr_getattro},
    {Py_tp_iter, (void*)descr_iter},          {Py_sq_length, (void*)descr_len},
    {Py_mp_length, (void*)descr_len},         {Py_mp_subscript, (void*)descr_getitem},
    {Py_mp_ass_subscript, (void*)descr_setitem}, {Py_tp_traverse, (void*)descr_traverse},
    {Py_tp_clear, (void*)descr_clear},        {Py_tp_dealloc, (void*)gc_dealloc<descr_clear>},
    {Py_tp_members, (void*)descr_members},    {Py_tp_methods, (void*)descr_methods},
    {Py_tp_new, (void*)PyType_GenericNew},    {0, nullptr}};

PyType_Spec descr_spec = {"vardex.ObservableListDescriptor", sizeof(Descriptor), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, descr_slots};

}  // namespace

PyObject* new_observable_list(PyObject* owner, PyObject* attr_name, PyObject* items) {
    PyObject* y = g_list_type->tp_alloc(g_list_type, 0);
    if (!y) return nullptr;
    Ref owned = Ref::steal(y);
    if (set_fields(y, owner, attr_name) < 0) return nullptr;
    if (items && PyList_SetSlice(y, 0, 0, items) < 0) return nullptr;
    return owned.release();
}

bool is_observable_list(PyObject* obj) { return PyObject_TypeCheck(obj, g_list_type); }
bool is_list_descriptor(PyObject* obj) { return PyObject_TypeCheck(obj, g_descr_type); }

PyObject* new_user_list(PyObject* first) {
    PyObject* y = g_users_type->tp_alloc(g_users_type, 0);
    if (!y) return nullptr;
    if (first && PyList_Append(y, first) < 0) {
        Py_DECREF(y);
        return nullptr;
    }
    return y;
}

PyObject* new_list_descriptor(PyObject* instance, PyObject* strA, PyObject* attr_name, PyObject* current) {
    PyObject* args[4] = {instance, strA, attr_name, current};
    return PyObject_Vectorcall((PyObject*)g_descr_type, args, 4, nullptr);
}

void register_observable(py::module_& m) {
    Ref list_dict = Ref::steal(PyType_GetDict(&PyList_Type));
    if (!list_dict) throw py::error_already_set();
    for (int i = 0; i < kBaseCount; ++i) {
        g_base[i] = PyDict_GetItemString(list_dict.get(), kBaseNames[i]);
        if (!g_base[i]) throw std::runtime_error("list lacks a method");
        Py_INCREF(g_base[i]);
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, (PyObject*)&PyList_Type));
    g_list_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.ptr(), &obs_spec, bases.get());
    if (!g_list_type) throw py::error_already_set();
    g_users_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.ptr(), &users_spec, bases.get());
    if (!g_users_type) throw py::error_already_set();
    g_descr_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.ptr(), &descr_spec, nullptr);
    if (!g_descr_type) throw py::error_already_set();
    m.attr("ObservableList_for_trace") = py::reinterpret_borrow<py::object>((PyObject*)g_list_type);
    m.attr("ObservableListDescriptor") = py::reinterpret_borrow<py::object>((PyObject*)g_descr_type);
}

}  // namespace vdx::instrument
