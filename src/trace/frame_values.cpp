// Reading the program's values without running its code: names of a frame,
// values whose operations stay inside the interpreter, and the evaluation of
// a record's expression when nothing in it can call back into the program.
#include "trace/engine.hpp"

#include <deque>
#include <string>
#include <vector>

namespace vdx::trace {

namespace {

// The start of the interpreter's frame record behind a frame object; checked
// against the frame's own accessors at load before it is relied on.
struct InterpreterFrame {
    PyObject* f_code;  // f_executable on 3.13: the code object of a Python frame
    void* previous;
    PyObject* f_funcobj;
    PyObject* f_globals;
    PyObject* f_builtins;
    PyObject* f_locals;
};
struct FrameObjectHead {
    PyObject_HEAD
    PyFrameObject* f_back;
    InterpreterFrame* f_frame;
};

bool g_iframe_ok = false;

InterpreterFrame* iframe(PyFrameObject* f) { return reinterpret_cast<FrameObjectHead*>(f)->f_frame; }

// The locals mapping of a frame whose code keeps its names in a mapping
// (module, class body, exec), borrowed; nullptr when it cannot be read.
PyObject* namespace_of(PyFrameObject* frame) {
    if (!g_iframe_ok) return nullptr;
    return iframe(frame)->f_locals;
}

int dict_lookup(PyObject* dict, PyObject* name, PyObject** out) {
    if (!dict || !PyDict_Check(dict)) return 0;
    PyObject* v = PyDict_GetItemWithError(dict, name);  // borrowed; a dict subclass is read as stored
    if (v) {
        *out = Py_NewRef(v);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int is_fast_name(PyCodeObject* code, PyObject* name) {
    for (const char* attr : {"co_varnames", "co_cellvars", "co_freevars"}) {
        Ref names = Ref::steal(PyObject_GetAttrString((PyObject*)code, attr));
        if (!names) return -1;
        int in = PySequence_Contains(names.get(), name);
        if (in != 0) return in;
    }
    return 0;
}

// ------------------------------------------------------------ safe evaluation

struct AstTypes {
    bool ready = false;
    PyObject *Expression, *Constant, *Name, *Tuple, *List, *Set, *Dict, *Starred, *BinOp, *UnaryOp,
        *BoolOp, *Compare, *IfExp, *Subscript, *Slice;
} A;

int load_ast_types() {
    if (A.ready) return 0;
    Ref ast = Ref::steal(PyImport_ImportModule("ast"));
    if (!ast) return -1;
    PyObject** slots[] = {&A.Expression, &A.Constant, &A.Name,    &A.Tuple,  &A.List,
                          &A.Set,        &A.Dict,     &A.Starred, &A.BinOp,  &A.UnaryOp,
                          &A.BoolOp,     &A.Compare,  &A.IfExp,   &A.Subscript, &A.Slice};
    const char* names[] = {"Expression", "Constant", "Name",  "Tuple",   "List",    "Set",      "Dict", "Starred",
                           "BinOp",      "UnaryOp",  "BoolOp", "Compare", "IfExp", "Subscript", "Slice"};
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
        *slots[i] = PyObject_GetAttrString(ast.get(), names[i]);
        if (!*slots[i]) return -1;
    }
    A.ready = true;
    return 0;
}

bool is_node(PyObject* node, PyObject* type) { return (PyObject*)Py_TYPE(node) == type; }

// A name the expression reads, and whether an operation is applied to its value.
struct NameUse {
    Ref name;
    bool operated;
};

struct Compiled {
    Ref code;  // None: the expression may run program code
    std::vector<NameUse> names;
};

void note_name(std::vector<NameUse>& names, PyObject* id, bool operated) {
    for (auto& n : names) {
        if (PyUnicode_Compare(n.name.get(), id) == 0) {
            n.operated = n.operated || operated;
            return;
        }
    }
    names.push_back({Ref::borrow(id), operated});
}

// Walks the expression; 1 when only inert-safe forms occur, 0 otherwise, -1 on error.
int check_node(PyObject* node, bool operated, std::vector<NameUse>& names, int depth) {
    if (depth > 200) return 0;
    auto child = [&](const char* field, bool op) -> int {
        Ref v = Ref::steal(PyObject_GetAttrString(node, field));
        if (!v) return -1;
        if (v.get() == Py_None) return 1;
        return check_node(v.get(), op, names, depth + 1);
    };
    auto children = [&](const char* field, bool op) -> int {
        Ref v = Ref::steal(PyObject_GetAttrString(node, field));
        if (!v) return -1;
        Ref seq = Ref::steal(PySequence_Fast(v.get(), "fields"));
        if (!seq) return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* c = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (c == Py_None) continue;
            bool starred = is_node(c, A.Starred);
            int r = check_node(c, op || starred, names, depth + 1);
            if (r <= 0) return r;
        }
        return 1;
    };
    if (is_node(node, A.Constant)) return 1;
    if (is_node(node, A.Name)) {
        Ref id = Ref::steal(PyObject_GetAttrString(node, "id"));
        if (!id) return -1;
        note_name(names, id.get(), operated);
        return 1;
    }
    if (is_node(node, A.Tuple) || is_node(node, A.List)) return children("elts", false);
    if (is_node(node, A.Starred)) return child("value", true);
    if (is_node(node, A.Set)) return children("elts", true);
    if (is_node(node, A.Dict)) {
        Ref keys = Ref::steal(PyObject_GetAttrString(node, "keys"));
        Ref values = Ref::steal(PyObject_GetAttrString(node, "values"));
        if (!keys || !values) return -1;
        Py_ssize_t n = PySequence_Size(keys.get());
        if (n < 0 || PySequence_Size(values.get()) != n) return n < 0 ? -1 : 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref k = Ref::steal(PySequence_GetItem(keys.get(), i));
            Ref v = Ref::steal(PySequence_GetItem(values.get(), i));
            if (!k || !v) return -1;
            // {**mapping} reads the mapping through its methods.
            bool unpacked = k.get() == Py_None;
            int r = unpacked ? 1 : check_node(k.get(), true, names, depth + 1);
            if (r > 0) r = check_node(v.get(), unpacked, names, depth + 1);
            if (r <= 0) return r;
        }
        return 1;
    }
    if (is_node(node, A.BinOp)) {
        int r = child("left", true);
        return r <= 0 ? r : child("right", true);
    }
    if (is_node(node, A.UnaryOp)) return child("operand", true);
    if (is_node(node, A.BoolOp)) return children("values", true);
    if (is_node(node, A.Compare)) {
        int r = child("left", true);
        return r <= 0 ? r : children("comparators", true);
    }
    if (is_node(node, A.IfExp)) {
        int r = child("test", true);
        if (r > 0) r = child("body", operated);
        return r <= 0 ? r : child("orelse", operated);
    }
    if (is_node(node, A.Subscript)) {
        int r = child("value", true);
        return r <= 0 ? r : child("slice", true);
    }
    if (is_node(node, A.Slice)) {
        int r = child("lower", true);
        if (r > 0) r = child("upper", true);
        return r <= 0 ? r : child("step", true);
    }
    return 0;  // attribute access, calls, walrus, comprehensions, lambdas, await, yield, f-strings
}

// src -> Compiled, for the life of the process.
auto& g_compiled = *new std::deque<std::pair<Ref, Compiled>>();  // never destroyed
PyObject* g_compiled_index = nullptr;  // dict src -> index

const Compiled* compiled_for(PyObject* src) {
    if (!g_compiled_index && !(g_compiled_index = PyDict_New())) return nullptr;
    PyObject* known = PyDict_GetItemWithError(g_compiled_index, src);
    if (known) return &g_compiled[PyLong_AsSsize_t(known)].second;
    if (PyErr_Occurred()) return nullptr;
    if (load_ast_types() < 0) return nullptr;
    Compiled c;
    c.code = Ref::borrow(Py_None);
    Ref ast = Ref::steal(PyImport_ImportModule("ast"));
    Ref tree = ast ? Ref::steal(PyObject_CallMethod(ast.get(), "parse", "Oss", src, "<vardex>", "eval")) : Ref();
    if (!tree) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();  // not an expression: nothing to evaluate
    } else {
        Ref body = Ref::steal(PyObject_GetAttrString(tree.get(), "body"));
        if (!body) return nullptr;
        int ok = check_node(body.get(), false, c.names, 0);
        if (ok < 0) return nullptr;
        if (ok) {
            Ref code = Ref::steal(Py_CompileString(PyUnicode_AsUTF8(src), "<vardex>", Py_eval_input));
            if (code) c.code = code;
            else if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
            else return nullptr;
        }
    }
    Ref idx = Ref::steal(PyLong_FromSize_t(g_compiled.size()));
    if (!idx || PyDict_SetItem(g_compiled_index, src, idx.get()) < 0) return nullptr;
    g_compiled.emplace_back(Ref::borrow(src), std::move(c));
    return &g_compiled.back().second;
}

}  // namespace

void check_interpreter_frame_layout() {
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    if (!frame) return;
    InterpreterFrame* f = iframe(frame);
    if (!f) return;
    Ref code = Ref::steal((PyObject*)PyFrame_GetCode(frame));
    Ref globals = Ref::steal(PyFrame_GetGlobals(frame));
    Ref builtins = Ref::steal(PyFrame_GetBuiltins(frame));
    PyErr_Clear();
    g_iframe_ok = code && globals && builtins && f->f_code == code.get() && f->f_globals == globals.get() &&
                  f->f_builtins == builtins.get();
    if (!g_iframe_ok)
        tool_message("the interpreter frame layout of this interpreter is not the one vardex knows; names of "
                     "module and class bodies are read through the frame's globals only");
}

int lookup_name(PyFrameObject* frame, PyObject* name, PyObject** out) {
    *out = nullptr;
    if (!PyUnicode_Check(name)) return 0;
    Ref code = Ref::steal((PyObject*)PyFrame_GetCode(frame));
    if (((PyCodeObject*)code.get())->co_flags & CO_OPTIMIZED) {
        PyObject* v = PyFrame_GetVar(frame, name);
        if (v) {
            *out = v;
            return 1;
        }
        if (!PyErr_ExceptionMatches(PyExc_NameError)) return -1;
        PyErr_Clear();
        int fast = is_fast_name((PyCodeObject*)code.get(), name);
        if (fast != 0) return fast < 0 ? -1 : 0;  // a local not bound yet
    } else {
        int r = dict_lookup(namespace_of(frame), name, out);
        if (r != 0) return r;
    }
    Ref globals = Ref::steal(PyFrame_GetGlobals(frame));
    int r = dict_lookup(globals.get(), name, out);
    if (r != 0) return r;
    Ref builtins = Ref::steal(PyFrame_GetBuiltins(frame));
    return dict_lookup(builtins.get(), name, out);
}

namespace {

// A number, str, bytes, None or Ellipsis: values of no parts.
bool is_scalar(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return o == Py_None || o == Py_Ellipsis || t == &PyLong_Type || t == &PyBool_Type || t == &PyFloat_Type ||
           t == &PyComplex_Type || t == &PyUnicode_Type || t == &PyBytes_Type;
}

// Pushes the items of a set or frozenset.
void push_set_items(PyObject* o, std::vector<PyObject*>& stack) {
    Py_ssize_t pos = 0;
    PyObject* key;
    Ref it;
    while (set_next(o, &pos, &key, it)) stack.push_back(key);
    PyErr_Clear();
}

}  // namespace

int lookup_binding(PyFrameObject* frame, PyObject* name, PyObject** out) {
    *out = nullptr;
    if (!PyUnicode_Check(name)) return 0;
    Ref code = Ref::steal((PyObject*)PyFrame_GetCode(frame));
    if (((PyCodeObject*)code.get())->co_flags & CO_OPTIMIZED) {
        int fast = is_fast_name((PyCodeObject*)code.get(), name);
        if (fast < 0) return -1;
        if (fast) {
            PyObject* v = PyFrame_GetVar(frame, name);
            if (v) {
                *out = v;
                return 1;
            }
            if (!PyErr_ExceptionMatches(PyExc_NameError)) return -1;
            PyErr_Clear();
            return 0;
        }
        // Declared global.
        Ref globals = Ref::steal(PyFrame_GetGlobals(frame));
        return dict_lookup(globals.get(), name, out);
    }
    PyObject* ns = namespace_of(frame);
    if (!ns) return lookup_name(frame, name, out);
    return dict_lookup(ns, name, out);
}

bool is_inert(PyObject* v) {
    std::vector<PyObject*> stack{v};
    size_t budget = 200000;
    while (!stack.empty()) {
        if (budget-- == 0) return false;
        PyObject* o = stack.back();
        stack.pop_back();
        PyTypeObject* t = Py_TYPE(o);
        if (is_scalar(o)) continue;
        if (t == &PyTuple_Type) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) stack.push_back(PyTuple_GET_ITEM(o, i));
        } else if (t == &PyList_Type) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) stack.push_back(PyList_GET_ITEM(o, i));
        } else if (t == &PyDict_Type) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(o, &pos, &key, &value)) {
                stack.push_back(key);
                stack.push_back(value);
            }
        } else if (t == &PySet_Type || t == &PyFrozenSet_Type) {
            push_set_items(o, stack);
        } else {
            return false;
        }
    }
    return true;
}

PyObject* safe_eval(PyFrameObject* frame, PyObject* src, bool* unsafe, PyObject* name, PyObject* value_of_name) {
    *unsafe = false;
    if (!PyUnicode_Check(src)) {
        *unsafe = true;
        return nullptr;
    }
    const Compiled* c = compiled_for(src);
    if (!c) return nullptr;
    if (c->code.get() == Py_None) {
        *unsafe = true;
        return nullptr;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return nullptr;
    for (const NameUse& use : c->names) {
        PyObject* v = nullptr;
        int found;
        if (name && value_of_name && PyUnicode_Compare(use.name.get(), name) == 0) {
            v = Py_NewRef(value_of_name);
            found = 1;
        } else {
            if (name && PyErr_Occurred()) return nullptr;
            found = lookup_name(frame, use.name.get(), &v);
        }
        if (found < 0) return nullptr;
        Ref value = Ref::steal(v);
        if (!found) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", use.name.get());
            return nullptr;
        }
        if (use.operated && !is_inert(value.get())) {
            *unsafe = true;
            return nullptr;
        }
        if (PyDict_SetItem(locals.get(), use.name.get(), value.get()) < 0) return nullptr;
    }
    Ref globals = Ref::steal(Py_BuildValue("{s{}}", "__builtins__"));
    if (!globals) return nullptr;
    return PyEval_EvalCode(c->code.get(), globals.get(), locals.get());
}

bool is_immutable(PyObject* v) {
    std::vector<PyObject*> stack{v};
    size_t budget = 10000;
    while (!stack.empty()) {
        if (budget-- == 0) return false;
        PyObject* o = stack.back();
        stack.pop_back();
        PyTypeObject* t = Py_TYPE(o);
        if (is_scalar(o)) continue;
        if (t == &PyTuple_Type) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) stack.push_back(PyTuple_GET_ITEM(o, i));
        } else if (t == &PyFrozenSet_Type) {
            push_set_items(o, stack);
        } else {
            return false;
        }
    }
    return true;
}

PyObject* inert_copy(PyObject* v, int depth) {
    if (depth > 500) {
        PyErr_SetString(PyExc_RecursionError, "value nested too deeply to copy");
        return nullptr;
    }
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyList_Type) {
        Py_ssize_t n = PyList_GET_SIZE(v);
        Ref out = Ref::steal(PyList_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = inert_copy(PyList_GET_ITEM(v, i), depth + 1);
            if (!item) return nullptr;
            PyList_SET_ITEM(out.get(), i, item);
        }
        return out.release();
    }
    if (t == &PyDict_Type) {
        Ref out = Ref::steal(PyDict_New());
        if (!out) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(v, &pos, &key, &value)) {
            Ref copied = Ref::steal(inert_copy(value, depth + 1));
            if (!copied || PyDict_SetItem(out.get(), key, copied.get()) < 0) return nullptr;
        }
        return out.release();
    }
    if (t == &PySet_Type) return PySet_New(v);  // its items are hashable, so immutable here
    if (t == &PyTuple_Type && !is_immutable(v)) {
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        Ref out = Ref::steal(PyTuple_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = inert_copy(PyTuple_GET_ITEM(v, i), depth + 1);
            if (!item) return nullptr;
            PyTuple_SET_ITEM(out.get(), i, item);
        }
        return out.release();
    }
    return Py_NewRef(v);
}

bool expression_is_plain(PyObject* src) {
    if (!PyUnicode_Check(src)) return false;
    const Compiled* c = compiled_for(src);
    if (!c) {
        PyErr_Clear();
        return false;
    }
    return c->code.get() != Py_None;
}

PyObject* deep_copy(PyObject* v) {
    PyObject* copy = get_global("copy");
    if (!copy) return nullptr;
    return PyObject_CallMethodOneArg(copy, VDX_STR("deepcopy"), v);
}

}  // namespace vdx::trace
