// What every hook of an instrumented object shares: where the assigning code
// is, the distinct users of an object, filing a report for a user, and the
// keys under which objects that cannot be hashed are filed.
#include "instrument/instrument.hpp"
#include "trace/trace.hpp"

#include <unordered_map>
#include <vector>

namespace vdx::instrument {

namespace {

// A dictionary key standing for one object by identity, for objects whose
// class makes them unhashable (a dataclass with eq, __eq__ without __hash__).
struct IdentityKey {
    PyObject_HEAD
    PyObject* obj;
};

PyTypeObject* g_key_type = nullptr;
// object -> its key; both live as long as the process (the watched objects
// are kept alive by the instance list anyway).
auto& g_keys = *new std::unordered_map<PyObject*, PyObject*>();

Py_hash_t key_hash(PyObject* self) { return _Py_HashPointer(((IdentityKey*)self)->obj); }

PyObject* key_compare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != Py_TYPE(a)) Py_RETURN_NOTIMPLEMENTED;
    bool same = ((IdentityKey*)a)->obj == ((IdentityKey*)b)->obj;
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

PyObject* key_str(PyObject* self) { return value_text(((IdentityKey*)self)->obj); }
PyObject* key_repr(PyObject* self) { return PyObject_Repr(((IdentityKey*)self)->obj); }

void key_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    Py_CLEAR(((IdentityKey*)self)->obj);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* key_get_obj(PyObject* self, void*) { return Py_NewRef(((IdentityKey*)self)->obj); }

PyGetSetDef key_getset[] = {
    {"obj", key_get_obj, nullptr, "the object this key stands for", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot key_slots[] = {
    {Py_tp_hash, (void*)key_hash},     {Py_tp_richcompare, (void*)key_compare},
    {Py_tp_str, (void*)key_str},       {Py_tp_repr, (void*)key_repr},
    {Py_tp_getset, (void*)key_getset}, {Py_tp_dealloc, (void*)key_dealloc},
    {0, nullptr}};

PyType_Spec key_spec = {"vardex._IdentityKey", sizeof(IdentityKey), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, key_slots};

}  // namespace

PyObject* filing_key(PyObject* obj) {
    if (Py_TYPE(obj) == g_key_type) return Py_NewRef(obj);
    // An object once filed by identity stays so, even when it can be hashed
    // later (a hash over fields that its __init__ had not set yet).
    auto it = g_keys.find(obj);
    if (it != g_keys.end()) return Py_NewRef(it->second);
    if (PyObject_Hash(obj) != -1) return Py_NewRef(obj);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    IdentityKey* key = PyObject_New(IdentityKey, g_key_type);
    if (!key) return nullptr;
    key->obj = Py_NewRef(obj);
    g_keys.emplace(obj, (PyObject*)key);
    return Py_NewRef((PyObject*)key);
}

PyObject* filed_object(PyObject* key) {
    return Py_TYPE(key) == g_key_type ? ((IdentityKey*)key)->obj : key;
}

int frame_location(PyObject* frame, Ref& file, Ref& lineno, Ref& text) {
    PyCodeObject* code = PyFrame_GetCode((PyFrameObject*)frame);
    Ref filename = Ref::borrow(code->co_filename);
    trace::CodeRole role = trace::code_role(code);
    Py_DECREF(code);
    Ref raw = Ref::steal(PyLong_FromLong(PyFrame_GetLineNumber((PyFrameObject*)frame)));
    if (!raw) return -1;
    if (role == trace::CodeRole::OtherString || role == trace::CodeRole::Runner) {
        // Code the program compiled from a string has no file of its own.
        file = filename;
        lineno = raw;
        text = Ref::steal(PyUnicode_FromString(""));
        return text ? 0 : -1;
    }
    // The main file by its own path, with its own line numbers (shifted back
    // when it ran from a string); any other file as it is, the main file
    // imported as a module included.
    bool main = role == trace::CodeRole::MainFile;
    bool shifted = main && PyUnicode_Check(filename.get()) &&
                   PyUnicode_CompareWithASCIIString(filename.get(), "<string>") == 0;
    if (main) {
        PyObject* main_file = get_global("project_main_file");
        if (!main_file) return -1;
        file = Ref::borrow(main_file);
    } else {
        file = filename;
    }
    Ref line = Ref::steal(trace::source_line(file.get(), raw.get(), shifted));
    if (!line) return -1;
    text = Ref::borrow(PyTuple_GET_ITEM(line.get(), 0));
    lineno = Ref::borrow(PyTuple_GET_ITEM(line.get(), 1));
    return 0;
}

PyObject* distinct_users(PyObject* users) {
    Ref out = Ref::steal(PyList_New(0));
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!out || !seen) return nullptr;
    std::vector<PyObject*> unhashable;  // held by `out`
    Ref it = Ref::steal(PyObject_GetIter(users));
    if (!it) return nullptr;
    while (Ref user = Ref::steal(PyIter_Next(it.get()))) {
        int known = 0;
        if (PyObject_Hash(user.get()) == -1) {
            // Compared by identity, without a lasting key.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            for (PyObject* u : unhashable) known |= u == user.get();
            if (known) continue;
            unhashable.push_back(user.get());
            if (PyList_Append(out.get(), user.get()) < 0) return nullptr;
            continue;
        }
        known = PySet_Contains(seen.get(), user.get());
        if (known < 0) return nullptr;
        if (known) continue;
        if (PySet_Add(seen.get(), user.get()) < 0 || PyList_Append(out.get(), user.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

int file_report(PyObject* user, PyObject* callers, PyObject* report, PyObject* create_instance) {
    std::vector<Ref> block;
    {
        trace::HoldCallerBlock hold(&block);
        if (trace::write_caller_details(user, callers) < 0) return -1;
    }
    Ref reports = Ref::steal(list_of({report}));
    PyObject* info = get_global("trace_info");
    if (!reports || !info) return trace::write_block(block), -1;
    return combine_trace_info(info, user, reports.get(), create_instance, &block);
}

int contains_user(PyObject* seq, PyObject* user) {
    if (PyList_Check(seq)) {
        // Identity first: an object that compares unequal to itself is still there.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i)
            if (PyList_GET_ITEM(seq, i) == user) return 1;
    }
    return PySequence_Contains(seq, user);
}

void register_report(py::module_& m) {
    g_key_type = (PyTypeObject*)PyType_FromModuleAndSpec(m.ptr(), &key_spec, nullptr);
    if (!g_key_type) throw py::error_already_set();
}

}  // namespace vdx::instrument
