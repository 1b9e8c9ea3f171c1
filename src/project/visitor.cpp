// The syntax-tree finder of lines that modify watched names.
//
// VariableModificationVisitor is a Python class on ast.NodeVisitor whose
// methods are all C++.  The tree walk (the dispatch of ast.NodeVisitor.visit
// and the descent of generic_visit) runs in C++ over an explicit stack, so no
// Python code runs per node and deep trees cannot overflow the C stack.
//
// Overrides are honoured per class: the walk looks up "visit_" + the node
// class name and "generic_visit" on type(self) (cached per walk); when the
// found object is one of this class's own C++ methods the C++ handler runs,
// otherwise the Python method is called, as ast.NodeVisitor.visit would.
#include "project/project.hpp"
#include "project/records.hpp"

#include <algorithm>
#include <functional>
#include <unordered_set>
#include <unordered_map>
#include <vector>

namespace vdx::project {

namespace {

// ---------------------------------------------------------------------------
// Load-time state: the ast classes (fetched once), the per-type field tables,
// this class's own method objects and the shared constructor defaults.

struct AstTypes {
    PyObject* AST = nullptr;
    PyObject* Assign = nullptr;
    PyObject* AugAssign = nullptr;
    PyObject* Call = nullptr;
    PyObject* Delete = nullptr;
    PyObject* Name = nullptr;
    PyObject* Tuple = nullptr;
    PyObject* List = nullptr;
    PyObject* Subscript = nullptr;
    PyObject* Attribute = nullptr;
} T;

inline bool is_type(PyObject* o, PyObject* type) { return (PyObject*)Py_TYPE(o) == type; }

// One node class of the ast module.
struct TypeInfo {
    PyObject* type = nullptr;     // strong (kept for the process)
    PyObject* fields = nullptr;   // tuple of interned field names, strong
    PyObject* visit_name = nullptr;  // "visit_" + class name, strong
    Py_ssize_t dictoffset = 0;    // > 0: fields can be read from the instance dict
    unsigned bits = 0;            // NodeBits
};

// What the record post-pass needs to know of a node class.
enum NodeBits : unsigned {
    NB_STMT = 1,       // a statement
    NB_COMPOUND = 2,   // a statement or clause with a body: its other parts are headers
    NB_WITHITEM = 4,
    NB_NAME = 8,
    NB_ALIAS = 16,
    NB_DEF = 32,       // function and class definitions (bind their name)
    NB_CAPTURE = 64,   // match patterns that bind "name" (or "rest")
    NB_HANDLER = 128,  // except clause (binds "name")
    NB_COMPREHENSION = 256,  // list, set, dict comprehension, generator expression
    NB_LAMBDA = 512,
    NB_ARG = 1024,
};

std::vector<TypeInfo> g_infos;
std::unordered_map<PyTypeObject*, int> g_type_index;

// Handler kinds a node class resolves to for one visitor class.
// K_OWN + i is the i-th handler of the table below.
enum Kind : signed char {
    K_UNRESOLVED = -1,
    K_GENERIC = 0,
    K_PYCALL,  // a visit_* method that is not one of ours: call it through Python
    K_OWN,
};

struct OwnMethods {
    PyObject* visit = nullptr;  // the objects stored in the class dict (borrowed from it, kept alive)
    PyObject* generic_visit = nullptr;
    PyObject* base_visit_Constant = nullptr;  // ast.NodeVisitor.visit_Constant
    PyObject* base_init = nullptr;            // ast.NodeVisitor.__init__ (object's)
    PyObject* default_variable_names = nullptr;
    PyObject* default_class_instances_dict = nullptr;
} M;

// Marker errors that make a file contribute nothing when the constructor meets
// them (parse/unparse limits, a SyntaxError without a usable line number, the
// blanking index leaving the file).
bool is_fault_error() {
    return PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
           PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError) ||
           PyErr_ExceptionMatches(PyExc_OverflowError);
}

Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }

int append(PyObject* list, PyObject* item) {
    if (PyList_CheckExact(list)) return PyList_Append(list, item);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(list, VDX_STR("append"), item));
    return r ? 0 : -1;
}

// `name in container`, -1 on error.
int contains(PyObject* container, PyObject* item) { return PySequence_Contains(container, item); }

// ---------------------------------------------------------------------------
// Helpers of the data table (callable from Python as methods too).

// get_value_list(value): value.elts of a Tuple or List, otherwise [value].
Ref get_value_list_impl(PyObject* value) {
    if (is_type(value, T.Tuple) || is_type(value, T.List)) return getattr(value, VDX_STR("elts"));
    Ref l = Ref::steal(PyList_New(1));
    if (l) PyList_SET_ITEM(l.get(), 0, Py_NewRef(value));
    return l;
}

// combine_code(lines): "" counts as "\n", every other line is kept unchanged.
Ref combine_code_impl(PyObject* lines) {
    Ref seq = Ref::steal(PySequence_Fast(lines, "combine_code() expects a sequence of lines"));
    if (!seq) return seq;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref parts = Ref::steal(PyList_New(n));
    if (!parts) return parts;
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* line = items[i];
        int empty = PyUnicode_CheckExact(line) ? PyUnicode_GET_LENGTH(line) == 0
                                               : PyObject_RichCompareBool(line, VDX_STR(""), Py_EQ);
        if (empty < 0) return Ref();
        PyList_SET_ITEM(parts.get(), i, Py_NewRef(empty ? VDX_STR("\n") : line));
    }
    return Ref::steal(PyUnicode_Join(VDX_STR(""), parts.get()));
}

// Whether line.strip() is empty; -1 on error.
int is_blank(PyObject* line) {
    Ref s = Ref::steal(PyObject_CallMethodNoArgs(line, VDX_STR("strip")));
    if (!s) return -1;
    int t = PyObject_IsTrue(s.get());
    return t < 0 ? -1 : !t;
}

// get_index_of_the_first_up_no_empty_line(lines, start_index); -2 on error.
Py_ssize_t first_up_no_empty_impl(PyObject* lines, Py_ssize_t start_index) {
    for (Py_ssize_t i = start_index; i >= 0; --i) {
        Ref line = Ref::steal(PySequence_GetItem(lines, i));
        if (!line) return -2;
        int b = is_blank(line.get());
        if (b < 0) return -2;
        if (!b) return i;
    }
    return -1;
}

// The indentation of a line, re.match("^([ \t]*)", line).group(1), plus "\n".
Ref indent_of(PyObject* line) {
    PyObject* re = get_global("re");
    if (!re) return Ref();
    Ref m = Ref::steal(PyObject_CallMethod(re, "match", "sO", "^([ \t]*)", line));
    if (!m) return m;
    Ref head = Ref::steal(PyObject_CallMethod(m.get(), "group", "i", 1));
    if (!head) return head;
    return Ref::steal(PyNumber_Add(head.get(), VDX_STR("\n")));
}

Ref parse_source(PyObject* code) {
    PyObject* ast = get_global("ast");
    if (!ast) return Ref();
    Ref parse = getattr(ast, VDX_STR("parse"));
    if (!parse) return parse;
    return Ref::steal(PyObject_CallOneArg(parse.get(), code));
}

Ref slice_to(PyObject* lines, Py_ssize_t stop) {
    Ref stop_obj = Ref::steal(PyLong_FromSsize_t(stop));
    if (!stop_obj) return stop_obj;
    Ref sl = Ref::steal(PySlice_New(nullptr, stop_obj.get(), nullptr));
    if (!sl) return sl;
    return Ref::steal(PyObject_GetItem(lines, sl.get()));
}

enum ExcludeStatus { EX_ERROR = -1, EX_OK = 0, EX_GAVE_UP = 1, EX_FAULT = 2 };

// The sixth error: parse lines[:stop]; any Exception gives up.
int exclude_cut(PyObject* lines, Py_ssize_t stop, Ref* out_lines, Ref* out_tree) {
    Ref cut = slice_to(lines, stop);
    Ref code, tree;
    if (cut) code = combine_code_impl(cut.get());
    if (code) tree = parse_source(code.get());
    if (tree) {
        *out_lines = cut;
        *out_tree = tree;
        return EX_OK;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return EX_ERROR;
    PyErr_Clear();
    return EX_GAVE_UP;
}

// Appends an index to self.error_lines_no.
int note_error_line(PyObject* self, Py_ssize_t index) {
    Ref lst = getattr(self, VDX_STR("error_lines_no"));
    if (!lst) return -1;
    Ref i = Ref::steal(PyLong_FromSsize_t(index));
    if (!i) return -1;
    return append(lst.get(), i.get());
}

// lines[index] = value with Python's index semantics; a fault when outside.
int set_line(PyObject* lines, Py_ssize_t index, PyObject* value) {
    return PySequence_SetItem(lines, index, value);
}

// The line number of a SyntaxError: int(e.args[1][1]).  -1 with an error set.
int syntax_error_line(PyObject* exc, Py_ssize_t* out) {
    Ref args = getattr(exc, VDX_STR("args"));
    if (!args) return -1;
    Ref details = Ref::steal(PySequence_GetItem(args.get(), 1));
    if (!details) return -1;
    Ref lineno = Ref::steal(PySequence_GetItem(details.get(), 1));
    if (!lineno) return -1;
    Ref as_int = Ref::steal(PyNumber_Long(lineno.get()));
    if (!as_int) return -1;
    Py_ssize_t v = PyLong_AsSsize_t(as_int.get());
    if (v == -1 && PyErr_Occurred()) return -1;
    // Keep L - 2 and L - 1 representable.
    if (v < PY_SSIZE_T_MIN / 2 || v > PY_SSIZE_T_MAX / 2) {
        PyErr_SetString(PyExc_OverflowError, "syntax error line number out of range");
        return -1;
    }
    *out = v;
    return 0;
}

// exclude_error_line(code_lines).  EX_FAULT: a Python error is set that the
// Python-level method raises and the constructor takes as "nothing to analyse".
int exclude_error_line_impl(PyObject* self, PyObject* code_lines, Ref* out_lines, Ref* out_tree) {
    Ref lines = Ref::steal(PySequence_List(code_lines));
    if (!lines) return EX_ERROR;
    int error_count = 0;
    // A failure in the bookkeeping below is a fault when it is one of the
    // listed kinds (index leaving the file, no line number), else an error.
    auto failed = []() { return is_fault_error() || PyErr_ExceptionMatches(PyExc_TypeError) ? EX_FAULT : EX_ERROR; };
    for (;;) {
        Ref code = combine_code_impl(lines.get());
        if (!code) return EX_ERROR;
        Ref tree = parse_source(code.get());
        if (tree) {
            *out_lines = lines;
            *out_tree = tree;
            return EX_OK;
        }
        if (!PyErr_ExceptionMatches(PyExc_SyntaxError)) return is_fault_error() ? EX_FAULT : EX_ERROR;
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Py_ssize_t L = 0;
        if (syntax_error_line(exc.get(), &L) < 0) return failed();
        ++error_count;
        Ref msg = getattr(exc.get(), VDX_STR("msg"));
        if (!msg) return failed();
        int indented = contains(msg.get(), VDX_STR("expected an indented block"));
        if (indented < 0) return failed();
        Py_ssize_t target;
        if (indented) {
            Py_ssize_t i = first_up_no_empty_impl(lines.get(), L - 2);
            if (i == -2) return failed();
            if (error_count > 5) return exclude_cut(lines.get(), i, out_lines, out_tree);
            target = i;
        } else {
            if (error_count > 5) return exclude_cut(lines.get(), L - 1, out_lines, out_tree);
            target = L - 1;
        }
        // Line `target` becomes the indentation of the line above (Python index
        // semantics, as lines[target - 1]) plus a line end; the first line "".
        Ref replacement;
        if (indented ? target != 0 : L > 1) {
            Ref above = Ref::steal(PySequence_GetItem(lines.get(), target - 1));
            if (!above) return failed();
            replacement = indent_of(above.get());
            if (!replacement) return EX_ERROR;
        } else {
            replacement = Ref::borrow(VDX_STR(""));
        }
        if (set_line(lines.get(), target, replacement.get()) < 0) return failed();
        if (note_error_line(self, target) < 0) return EX_ERROR;
    }
}

// handle_target(target, value, class_name, line_number)
int handle_target_impl(PyObject* self, PyObject* target, PyObject* value, PyObject* class_name,
                       PyObject* line_number) {
    if (is_type(target, T.Name)) {
        Ref id = getattr(target, VDX_STR("id"));
        if (!id) return -1;
        Ref cid = getattr(self, VDX_STR("class_instances_dict"));
        if (!cid) return -1;
        Ref instances = Ref::steal(PyObject_GetItem(cid.get(), class_name));
        if (!instances) return -1;
        int in = contains(instances.get(), id.get());
        if (in <= 0) return in;
        Ref class_lines = getattr(self, VDX_STR("class_lines"));
        if (!class_lines) return -1;
        int has = contains(class_lines.get(), class_name);
        if (has < 0) return -1;
        if (!has) {
            Ref d = Ref::steal(PyDict_New());
            if (!d || PyObject_SetItem(class_lines.get(), class_name, d.get()) < 0) return -1;
        }
        Ref inner = Ref::steal(PyObject_GetItem(class_lines.get(), class_name));
        if (!inner) return -1;
        has = contains(inner.get(), id.get());
        if (has < 0) return -1;
        if (!has) {
            Ref l = Ref::steal(PyList_New(0));
            if (!l || PyObject_SetItem(inner.get(), id.get(), l.get()) < 0) return -1;
        }
        Ref lst = Ref::steal(PyObject_GetItem(inner.get(), id.get()));
        if (!lst) return -1;
        return append(lst.get(), line_number);
    }
    if (is_type(target, T.Tuple) || is_type(target, T.List)) {
        Ref elts = getattr(target, VDX_STR("elts"));
        if (!elts) return -1;
        Ref it = Ref::steal(PyObject_GetIter(elts.get()));
        if (!it) return -1;
        if (Py_EnterRecursiveCall(" in handle_target")) return -1;
        int rc = 0;
        while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
            if ((rc = handle_target_impl(self, e.get(), value, class_name, line_number)) < 0) break;
        }
        Py_LeaveRecursiveCall();
        if (rc < 0 || PyErr_Occurred()) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The record makers: what visit_Assign, visit_AugAssign, visit_Call and
// visit_Delete do before they call generic_visit.

int do_assign(PyObject* self, PyObject* node) {
    Ref lineno = getattr(node, VDX_STR("lineno"));
    if (!lineno) return -1;
    Ref targets = getattr(node, VDX_STR("targets"));
    if (!targets) return -1;
    Ref value = getattr(node, VDX_STR("value"));
    if (!value) return -1;

    // 1. Instance creation.
    Ref cid = getattr(self, VDX_STR("class_instances_dict"));
    if (!cid) return -1;
    int has_classes = PyObject_IsTrue(cid.get());
    if (has_classes < 0) return -1;
    if (has_classes) {
        Ref values = get_value_list_impl(value.get());
        if (!values) return -1;
        Ref ti = Ref::steal(PyObject_GetIter(targets.get()));
        if (!ti) return -1;
        Ref vi = Ref::steal(PyObject_GetIter(values.get()));
        if (!vi) return -1;
        for (;;) {
            Ref t = Ref::steal(PyIter_Next(ti.get()));
            if (!t) break;
            Ref v = Ref::steal(PyIter_Next(vi.get()));
            if (!v) break;
            if (!is_type(v.get(), T.Call)) continue;
            // Any call may make the instance (a factory, an alias of the
            // class, a class method): a line that gives a listed instance
            // name the result of a call is a creation site of every class
            // that lists the name. The class of the instance is checked when
            // it is made.
            Ref classes = Ref::steal(PySequence_List(cid.get()));
            if (!classes) return -1;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(classes.get()); ++i)
                if (handle_target_impl(self, t.get(), v.get(), PyList_GET_ITEM(classes.get(), i), lineno.get()) < 0)
                    return -1;
        }
        if (PyErr_Occurred()) return -1;
    }

    // 2. Records.
    return records::assign_targets(self, node);
}

// A class definition of a watched class is noted, so that a class no file
// defines can be said.
int class_def(PyObject* self, PyObject* node) {
    Ref name = getattr(node, VDX_STR("name"));
    Ref cid = name ? getattr(self, VDX_STR("class_instances_dict")) : Ref();
    if (!cid) return -1;
    int watched = contains(cid.get(), name.get());
    if (watched <= 0) return watched;
    Ref defined = getattr(self, VDX_STR("defined_classes"));
    if (!defined) return -1;
    return PySet_Check(defined.get()) ? PySet_Add(defined.get(), name.get()) : 0;
}

// This class's own visit_* methods: what each records before the node's
// children are visited, and the method object stored in the class dict.
using Handler = int (*)(PyObject*, PyObject*);
struct OwnHandler {
    const char* name;
    Handler record;
    PyObject* stored = nullptr;
};
OwnHandler g_handlers[] = {
    {"visit_Assign", do_assign},
    {"visit_AugAssign", records::aug_assign},
    {"visit_AnnAssign", records::ann_assign},
    {"visit_Call", records::call},
    {"visit_Delete", records::delete_targets},
    {"visit_For", records::for_targets},
    {"visit_AsyncFor", records::for_targets},
    {"visit_With", records::with_targets},
    {"visit_AsyncWith", records::with_targets},
    {"visit_ExceptHandler", records::except_name},
    {"visit_NamedExpr", records::named_expr},
    {"visit_ClassDef", class_def},
};
constexpr int kHandlerCount = (int)(sizeof(g_handlers) / sizeof(g_handlers[0]));

// ---------------------------------------------------------------------------
// The walk.

class Walker {
public:
    explicit Walker(PyObject* self) : self_(self), type_(Py_TYPE(self)), resolved_(g_infos.size(), K_UNRESOLVED) {
        PyObject* gv = _PyType_Lookup(type_, VDX_STR("generic_visit"));
        generic_overridden_ = gv != M.generic_visit;
    }

    // ast.NodeVisitor.visit(node): the result of the handler.
    PyObject* visit(PyObject* node) {
        int idx;
        int kind = kind_of(node, &idx);
        if (kind < 0) return nullptr;
        if (kind == K_PYCALL) return call_python(node, idx);
        stack_.push_back(Ref::borrow(node));
        if (run() < 0) return nullptr;
        Py_RETURN_NONE;
    }

    // generic_visit(node) as implemented here: walk the children.
    int generic_visit(PyObject* node) {
        if (push_children(node, index_of(node)) < 0) return -1;
        return run();
    }

    // What a C++ visit_* handler does after recording: self.generic_visit(node).
    int after_handler(PyObject* node) {
        if (generic_overridden_) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(self_, VDX_STR("generic_visit"), node));
            return r ? 0 : -1;
        }
        return generic_visit(node);
    }

private:
    PyObject* self_;
    PyTypeObject* type_;
    bool generic_overridden_;
    std::vector<signed char> resolved_;
    std::vector<Ref> stack_;

    static int index_of(PyObject* node) {
        auto it = g_type_index.find(Py_TYPE(node));
        return it == g_type_index.end() ? -1 : it->second;
    }

    int resolve(PyObject* visit_name) {
        PyObject* m = _PyType_Lookup(type_, visit_name);
        if (!m || m == M.generic_visit) return K_GENERIC;
        for (int i = 0; i < kHandlerCount; ++i)
            if (m == g_handlers[i].stored) return (Kind)(K_OWN + i);
        if (m == M.base_visit_Constant) {
            // ast.NodeVisitor.visit_Constant only redirects to the deprecated
            // visit_Num, visit_Str, ... methods; without them it is generic_visit.
            for (const char* old : {"visit_Num", "visit_Str", "visit_Bytes", "visit_NameConstant", "visit_Ellipsis"})
                if (_PyType_Lookup(type_, interned(old))) return K_PYCALL;
            return K_GENERIC;
        }
        return K_PYCALL;
    }

    // The handler kind for a node; idx receives its type-table index (-1: not an ast class).
    int kind_of(PyObject* node, int* idx) {
        *idx = index_of(node);
        if (*idx >= 0) {
            signed char& k = resolved_[*idx];
            if (k == K_UNRESOLVED) k = resolve(g_infos[*idx].visit_name);
            return k;
        }
        Ref name = visit_name_of(node);
        if (!name) return -1;
        return resolve(name.get());
    }

    static Ref visit_name_of(PyObject* node) {
        Ref cls = getattr(node, VDX_STR("__class__"));
        Ref name = cls ? getattr(cls.get(), VDX_STR("__name__")) : Ref();
        if (!name) return name;
        return Ref::steal(PyUnicode_Concat(VDX_STR("visit_"), name.get()));
    }

    PyObject* call_python(PyObject* node, int idx) {
        Ref name = idx >= 0 ? Ref::borrow(g_infos[idx].visit_name) : visit_name_of(node);
        if (!name) return nullptr;
        return PyObject_CallMethodOneArg(self_, name.get(), node);
    }

    // Pushes the AST children of node (fields in order, lists item by item)
    // so that they pop in order.
    int push_children(PyObject* node, int idx) {
        const size_t base = stack_.size();
        Ref fields;
        const TypeInfo* info = idx >= 0 ? &g_infos[idx] : nullptr;
        if (info) {
            fields = Ref::borrow(info->fields);
        } else {
            fields = getattr(node, VDX_STR("_fields"));
            if (!fields) return -1;
        }
        Ref seq = Ref::steal(PySequence_Fast(fields.get(), "_fields must be a sequence"));
        if (!seq) return -1;
        PyObject* dict = nullptr;
        if (info && info->dictoffset > 0) {
            dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + info->dictoffset);
            if (dict && !PyDict_CheckExact(dict)) dict = nullptr;
        }
        const Py_ssize_t nf = PySequence_Fast_GET_SIZE(seq.get());
        for (Py_ssize_t f = 0; f < nf; ++f) {
            PyObject* field = PySequence_Fast_GET_ITEM(seq.get(), f);
            Ref value;
            if (dict && PyUnicode_CheckExact(field)) value = Ref::borrow(PyDict_GetItemWithError(dict, field));
            if (!value) {
                if (PyErr_Occurred()) return -1;
                value = Ref::steal(PyObject_GetAttr(node, field));
                if (!value) {
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
                    PyErr_Clear();
                    continue;
                }
            }
            PyObject* v = value.get();
            if (PyList_Check(v)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                    PyObject* item = PyList_GET_ITEM(v, i);
                    if (PyObject_TypeCheck(item, (PyTypeObject*)T.AST)) stack_.push_back(Ref::borrow(item));
                }
            } else if (PyObject_TypeCheck(v, (PyTypeObject*)T.AST)) {
                stack_.push_back(std::move(value));
            }
        }
        std::reverse(stack_.begin() + (std::ptrdiff_t)base, stack_.end());
        return 0;
    }

    int run() {
        unsigned counter = 0;
        while (!stack_.empty()) {
            Ref node = std::move(stack_.back());
            stack_.pop_back();
            if ((++counter & 0xFFF) == 0 && PyErr_CheckSignals() < 0) return -1;
            PyObject* n = node.get();
            int idx;
            int kind = kind_of(n, &idx);
            int rc = 0;
            switch (kind) {
            case K_PYCALL: {
                Ref r = Ref::steal(call_python(n, idx));
                if (!r) return -1;
                continue;
            }
            case K_GENERIC: break;
            default:
                if (kind < K_OWN || kind >= K_OWN + kHandlerCount) return -1;
                rc = g_handlers[kind - K_OWN].record(self_, n);
            }
            if (rc < 0) return -1;
            if (generic_overridden_) {
                Ref r = Ref::steal(PyObject_CallMethodOneArg(self_, VDX_STR("generic_visit"), n));
                if (!r) return -1;
                continue;
            }
            if (push_children(n, idx) < 0) return -1;
        }
        return 0;
    }
};


// ---------------------------------------------------------------------------
// After the walk: the statement around each record, and whether its
// prediction reads a name bound earlier on its line (the value would be read
// before that binding runs).

struct Place {
    int l0, c0, l1, c1;
};

bool read_place(PyObject* node, Place* p) {
    Ref l0 = getattr(node, VDX_STR("lineno"));
    Ref c0 = l0 ? getattr(node, VDX_STR("col_offset")) : Ref();
    Ref l1 = c0 ? getattr(node, VDX_STR("end_lineno")) : Ref();
    Ref c1 = l1 ? getattr(node, VDX_STR("end_col_offset")) : Ref();
    if (!c1) {
        PyErr_Clear();
        return false;
    }
    p->l0 = (int)PyLong_AsLong(l0.get());
    p->c0 = (int)PyLong_AsLong(c0.get());
    p->l1 = l1.get() == Py_None ? p->l0 : (int)PyLong_AsLong(l1.get());
    p->c1 = c1.get() == Py_None ? p->c0 : (int)PyLong_AsLong(c1.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool lt(int la, int ca, int lb, int cb) { return la < lb || (la == lb && ca < cb); }
bool contains_place(const Place& outer, const Place& inner) {
    return !lt(inner.l0, inner.c0, outer.l0, outer.c0) && !lt(outer.l1, outer.c1, inner.l1, inner.c1);
}

struct Site {
    int line, col;
    Ref name;
};

// The node's class bits (0 for a class the walk does not know).
unsigned bits_of(PyObject* node) {
    auto ti = g_type_index.find(Py_TYPE(node));
    return ti == g_type_index.end() ? 0 : g_infos[ti->second].bits;
}

// Calls f(field value) for each field of an ast node that is present.
template <typename F>
int for_each_field(PyObject* node, F&& f) {
    auto ti = g_type_index.find(Py_TYPE(node));
    Ref fields = ti != g_type_index.end() ? Ref::borrow(g_infos[ti->second].fields) : getattr(node, VDX_STR("_fields"));
    if (!fields) {
        PyErr_Clear();
        return 0;
    }
    Ref seq = Ref::steal(PySequence_Fast(fields.get(), "_fields"));
    if (!seq) return -1;
    for (Py_ssize_t f_i = 0; f_i < PySequence_Fast_GET_SIZE(seq.get()); ++f_i) {
        PyObject* v = nullptr;
        if (lookup_attr(node, PySequence_Fast_GET_ITEM(seq.get(), f_i), &v) < 0) return -1;
        Ref value = Ref::steal(v);
        if (value && f(value.get()) < 0) return -1;
    }
    return 0;
}

bool is_ast(PyObject* o) { return PyObject_TypeCheck(o, (PyTypeObject*)T.AST); }

// A list of statements (or of except clauses or match cases): a body.
bool is_body(PyObject* v) {
    if (!PyList_Check(v) || PyList_GET_SIZE(v) == 0) return false;
    PyObject* first = PyList_GET_ITEM(v, 0);
    return is_ast(first) && (bits_of(first) & (NB_STMT | NB_COMPOUND));
}

int finish_records(PyObject* self, PyObject* tree) {
    Ref spans = Ref::steal(PyObject_GetAttrString(self, "change_spans"));
    if (!spans) {
        PyErr_Clear();
        return 0;
    }
    if (!PyList_Check(spans.get()) || PyList_GET_SIZE(spans.get()) == 0) return 0;

    // 1. Statements only: the roots (simple statements, and the header parts
    // of compound ones), and the statements starting on each line.
    std::vector<Place> roots;
    std::unordered_map<int, std::vector<Ref>> starting;  // line -> statements and clauses
    std::vector<Ref> stack;
    stack.push_back(Ref::borrow(tree));
    unsigned counter = 0;
    while (!stack.empty()) {
        Ref node = std::move(stack.back());
        stack.pop_back();
        if ((++counter & 0xFFF) == 0 && PyErr_CheckSignals() < 0) return -1;
        unsigned bits = bits_of(node.get());
        Place p;
        bool placed = (bits & (NB_STMT | NB_COMPOUND)) && read_place(node.get(), &p);
        if (placed) starting[p.l0].push_back(node);
        if ((bits & NB_STMT) && !(bits & NB_COMPOUND)) {
            if (placed) roots.push_back(p);
            continue;
        }
        std::vector<Ref> bodies;
        int rc = for_each_field(node.get(), [&](PyObject* v) -> int {
            if (is_body(v)) {
                for (Py_ssize_t i = PyList_GET_SIZE(v); i-- > 0;) bodies.push_back(Ref::borrow(PyList_GET_ITEM(v, i)));
                return 0;
            }
            if (!(bits & NB_COMPOUND)) return 0;
            auto header = [&](PyObject* c) {
                if (!is_ast(c)) return;
                Place hp;
                if (bits_of(c) & NB_WITHITEM) {
                    for_each_field(c, [&](PyObject* part) {
                        if (is_ast(part) && read_place(part, &hp)) roots.push_back(hp);
                        return 0;
                    });
                } else if (read_place(c, &hp)) {
                    roots.push_back(hp);
                }
            };
            if (PyList_Check(v)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) header(PyList_GET_ITEM(v, i));
            } else {
                header(v);
            }
            return 0;
        });
        if (rc < 0) return -1;
        for (auto& b : bodies) stack.push_back(std::move(b));
    }
    PyErr_Clear();
    std::sort(roots.begin(), roots.end(), [](const Place& a, const Place& b) { return lt(a.l0, a.c0, b.l0, b.c0); });

    // 2. The innermost root around each record: of the roots starting at or
    // before it, the latest that contains it (roots nest).
    struct Raw {
        Place e, group;
        int flags;
        PyObject* reads;
        PyObject* target;
        PyObject* key;  // the changed item's source, or nullptr
        bool ok;
    };
    std::vector<Raw> raws;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(spans.get()); ++i) {
        PyObject* raw = PyList_GET_ITEM(spans.get(), i);
        Raw r{};
        r.ok = PyTuple_Check(raw) && (PyTuple_GET_SIZE(raw) == 7 || PyTuple_GET_SIZE(raw) == 8);
        if (r.ok) {
            int v[5];
            for (int j = 0; j < 5; ++j) v[j] = (int)PyLong_AsLong(PyTuple_GET_ITEM(raw, j));
            if (PyErr_Occurred()) return -1;
            r.e = {v[0], v[1], v[2], v[3]};
            r.flags = v[4];
            r.reads = PyTuple_GET_ITEM(raw, 5);
            r.target = PyTuple_GET_ITEM(raw, 6);
            r.key = PyTuple_GET_SIZE(raw) == 8 ? PyTuple_GET_ITEM(raw, 7) : nullptr;
            r.group = r.e;
            auto upper = std::upper_bound(roots.begin(), roots.end(), r.e,
                                          [](const Place& a, const Place& b) { return lt(a.l0, a.c0, b.l0, b.c0); });
            for (auto it = upper; it != roots.begin();) {
                --it;
                if (contains_place(*it, r.e)) {
                    r.group = *it;
                    break;
                }
            }
        }
        raws.push_back(r);
    }

    // 3. The names bound on the lines where those statements start, by the
    // statements starting there (their parts other than bodies).
    std::unordered_map<int, std::vector<Site>> sites;
    auto site = [&](PyObject* node, PyObject* name) {
        Place p;
        if (!name || !PyUnicode_Check(name) || !read_place(node, &p)) return;
        sites[p.l0].push_back({p.l0, p.c0, Ref::borrow(name)});
    };
    // Comprehensions and lambdas: their own names, and code that runs apart
    // from the statement around them.
    struct Scope {
        Place place;
        std::vector<Ref> names;
    };
    std::vector<Scope> scopes;
    std::function<int(PyObject*, std::vector<Ref>&, int)> own_names = [&](PyObject* node, std::vector<Ref>& out,
                                                                         int depth) -> int {
        if (depth > 200) return 0;
        unsigned bits = bits_of(node);
        if (bits & NB_NAME) {
            Ref id = getattr(node, VDX_STR("id"));
            if (!id) return -1;
            out.push_back(id);
            return 0;
        }
        if (bits & NB_ARG) {
            Ref a = getattr(node, VDX_STR("arg"));
            if (!a) return -1;
            out.push_back(a);
            return 0;
        }
        return for_each_field(node, [&](PyObject* v) -> int {
            if (PyList_Check(v)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                    PyObject* c = PyList_GET_ITEM(v, i);
                    if (is_ast(c) && own_names(c, out, depth + 1) < 0) return -1;
                }
                return 0;
            }
            return is_ast(v) ? own_names(v, out, depth + 1) : 0;
        });
    };
    std::function<int(PyObject*, int)> bindings = [&](PyObject* node, int depth) -> int {
        if (depth > 200) return 0;
        unsigned bits = bits_of(node);
        if (bits & (NB_COMPREHENSION | NB_LAMBDA)) {
            Scope scope;
            if (read_place(node, &scope.place)) {
                if (bits & NB_LAMBDA) {
                    Ref args = getattr(node, VDX_STR("args"));
                    if (!args || own_names(args.get(), scope.names, 0) < 0) return -1;
                } else {
                    Ref gens = getattr(node, VDX_STR("generators"));
                    if (!gens) return -1;
                    for (Py_ssize_t i = 0; PyList_Check(gens.get()) && i < PyList_GET_SIZE(gens.get()); ++i) {
                        Ref target = getattr(PyList_GET_ITEM(gens.get(), i), VDX_STR("target"));
                        if (!target || own_names(target.get(), scope.names, 0) < 0) return -1;
                    }
                }
                scopes.push_back(std::move(scope));
            }
        }
        if (bits & NB_NAME) {
            Ref ctx = getattr(node, VDX_STR("ctx"));
            Ref ctx_name = ctx ? getattr((PyObject*)Py_TYPE(ctx.get()), VDX_STR("__name__")) : Ref();
            if (!ctx_name) return -1;
            if (PyUnicode_CompareWithASCIIString(ctx_name.get(), "Load") != 0) {
                Ref id = getattr(node, VDX_STR("id"));
                if (!id) return -1;
                site(node, id.get());
            }
            return 0;
        }
        if (bits & (NB_DEF | NB_HANDLER | NB_CAPTURE)) {
            for (const char* field : {"name", "rest"}) {
                PyObject* v = nullptr;
                if (lookup_attr(node, interned(field), &v) < 0) return -1;
                Ref value = Ref::steal(v);
                if (value) site(node, value.get());
            }
        } else if (bits & NB_ALIAS) {
            Ref as = getattr(node, VDX_STR("asname"));
            Ref name = as ? getattr(node, VDX_STR("name")) : Ref();
            if (!name) return -1;
            if (as.get() != Py_None) {
                site(node, as.get());
            } else {
                Ref first = Ref::steal(PyUnicode_Split(name.get(), VDX_STR("."), 1));
                if (first && PyList_GET_SIZE(first.get()) > 0) site(node, PyList_GET_ITEM(first.get(), 0));
                PyErr_Clear();
            }
            return 0;
        }
        return for_each_field(node, [&](PyObject* v) -> int {
            if (is_body(v)) return 0;
            if (PyList_Check(v)) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
                    PyObject* c = PyList_GET_ITEM(v, i);
                    if (is_ast(c) && bindings(c, depth + 1) < 0) return -1;
                }
                return 0;
            }
            return is_ast(v) ? bindings(v, depth + 1) : 0;
        });
    };
    std::unordered_set<int> lines_done;
    for (const Raw& r : raws) {
        if (!r.ok || !lines_done.insert(r.group.l0).second) continue;
        auto st = starting.find(r.group.l0);
        if (st == starting.end()) continue;
        for (const Ref& node : st->second)
            if (bindings(node.get(), 0) < 0) return -1;
    }

    // 4. The finished places. A record on a name that a comprehension (or a
    // lambda) around it binds is about that inner variable: it goes.
    Ref changes = Ref::steal(PyObject_GetAttrString(self, "changes"));
    if (!changes) return -1;
    bool in_step = PyList_Check(changes.get()) && PyList_GET_SIZE(changes.get()) == PyList_GET_SIZE(spans.get());
    Ref kept_changes = Ref::steal(PyList_New(0));
    Ref finished = Ref::steal(PyList_New(0));
    if (!finished || !kept_changes) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(spans.get()); ++i) {
        const Raw& r = raws[i];
        Ref change = in_step ? Ref::borrow(PyList_GET_ITEM(changes.get(), i)) : Ref();
        if (!r.ok) {
            if (PyList_Append(finished.get(), PyList_GET_ITEM(spans.get(), i)) < 0) return -1;
            if (change && PyList_Append(kept_changes.get(), change.get()) < 0) return -1;
            continue;
        }
        int flags = r.flags;
        bool inner_variable = false;
        for (const Scope& sc : scopes) {
            if (!contains_place(sc.place, r.e)) continue;
            flags |= records::kPredictUnknown;  // it runs when the comprehension or lambda does
            for (const Ref& n : sc.names)
                if (PyObject_RichCompareBool(n.get(), r.target, Py_EQ) == 1) inner_variable = true;
        }
        PyErr_Clear();
        if (inner_variable) continue;
        // A call or walrus is reported on the line of its statement.
        if (change && (flags & records::kExpression) && PyTuple_Check(change.get()) &&
            PyTuple_GET_SIZE(change.get()) > 0) {
            Ref line = Ref::steal(PyLong_FromLong(r.group.l0));
            int same = line ? PyObject_RichCompareBool(PyTuple_GET_ITEM(change.get(), 0), line.get(), Py_EQ) : -1;
            if (same < 0) return -1;
            if (!same) {
                Py_ssize_t size = PyTuple_GET_SIZE(change.get());
                Ref fixed = Ref::steal(PyTuple_New(size));
                if (!fixed) return -1;
                PyTuple_SET_ITEM(fixed.get(), 0, line.release());
                for (Py_ssize_t j = 1; j < size; ++j)
                    PyTuple_SET_ITEM(fixed.get(), j, Py_NewRef(PyTuple_GET_ITEM(change.get(), j)));
                change = fixed;
            }
        }
        flags &= ~records::kExpression;
        if (change && PyList_Append(kept_changes.get(), change.get()) < 0) return -1;
        auto line_sites = sites.find(r.group.l0);
        if (line_sites != sites.end() && PyAnySet_Check(r.reads)) {
            for (const Site& st : line_sites->second) {
                if (!lt(st.line, st.col, r.group.l0, r.group.c0)) continue;
                if (PyObject_RichCompareBool(st.name.get(), r.target, Py_EQ) == 1) continue;
                int in = PySet_Contains(r.reads, st.name.get());
                if (in < 0) return -1;
                if (in) flags |= records::kPredictUnknown;
            }
        }
        PyErr_Clear();
        const Place& e = r.e;
        const Place& group = r.group;
        Ref t = Ref::steal(r.key ? Py_BuildValue("(iiiiiiiiiO)", e.l0, e.c0, e.l1, e.c1, group.l0, group.c0,
                                                 group.l1, group.c1, flags, r.key)
                                 : Py_BuildValue("(iiiiiiiii)", e.l0, e.c0, e.l1, e.c1, group.l0, group.c0,
                                                 group.l1, group.c1, flags));
        if (!t || PyList_Append(finished.get(), t.get()) < 0) return -1;
    }
    if (in_step && PySequence_SetSlice(changes.get(), 0, PY_SSIZE_T_MAX, kept_changes.get()) < 0) return -1;
    return PyObject_SetAttrString(self, "change_spans", finished.get());
}

// ---------------------------------------------------------------------------
// Python-level methods.

py::object visit_with(Handler h, py::object self, py::object node) {
    check_rc(h(self.ptr(), node.ptr()));
    Walker w(self.ptr());
    check_rc(w.after_handler(node.ptr()));
    return py::none();
}

// Reads a source file as Python does (coding declaration, BOM, universal
// newlines) into its lines, each with its line end; nullptr with an error.
PyObject* read_lines(PyObject* path) {
    Ref source = Ref::steal(read_source_text(path));
    if (!source) return nullptr;
    return split_source_lines(source.get());
}

int set_attr(PyObject* self, const char* name, PyObject* value) {
    return PyObject_SetAttr(self, interned(name), value);
}

// The constructor; 0 or -1 with an error set.
int init_impl(PyObject* self, PyObject* file_path, PyObject* code_lines, PyObject* variable_names,
              PyObject* func_pattern, PyObject* class_instances_dict) {
    // 1. The base constructor and the plain attributes.
    Ref base_init = Ref::steal(PyObject_CallOneArg(M.base_init, self));
    if (!base_init) return -1;
    Ref changes = Ref::steal(PyList_New(0));
    Ref class_lines = Ref::steal(PyDict_New());
    if (!changes || !class_lines) return -1;
    if (set_attr(self, "variable_names", variable_names) < 0 || set_attr(self, "changes", changes.get()) < 0 ||
        set_attr(self, "func_pattern", func_pattern) < 0 ||
        set_attr(self, "class_instances_dict", class_instances_dict) < 0 ||
        set_attr(self, "class_lines", class_lines.get()) < 0)
        return -1;
    // The watched classes this file defines.
    Ref defined = Ref::steal(PySet_New(nullptr));
    if (!defined || set_attr(self, "defined_classes", defined.get()) < 0) return -1;


    // 2. The source lines.
    Ref lines_in = Ref::borrow(code_lines);
    int has_path = PyObject_IsTrue(file_path);
    if (has_path < 0) return -1;
    if (has_path) {
        lines_in = Ref::steal(read_lines(file_path));
        if (!lines_in) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            PyErr_Clear();
            lines_in = Ref::steal(PyList_New(0));
            if (!lines_in) return -1;
        }
    } else {
        int has_lines = code_lines == Py_None ? 0 : PyObject_IsTrue(code_lines);
        if (has_lines < 0) return -1;
        if (!has_lines) return 0;
    }

    // 3.
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    Ref error_lines = Ref::steal(PyList_New(0));
    Ref info_lists = Ref::steal(PyList_New(0));
    if (!minus_one || !error_lines || !info_lists) return -1;
    if (set_attr(self, "end_lineno_of_parsed_ast", minus_one.get()) < 0 ||
        set_attr(self, "error_lines_no", error_lines.get()) < 0 ||
        set_attr(self, "list_of_info_lists", info_lists.get()) < 0)
        return -1;
    // Beside `changes`, the place of each record in the source.
    Ref spans = Ref::steal(PyList_New(0));
    if (!spans || set_attr(self, "change_spans", spans.get()) < 0) return -1;

    // 4. Parse, blanking offending lines; warnings about the source (invalid
    // escapes in files the program may never import) are not the program's.
    Ref lines, tree;
    int st;
    {
        QuietWarnings quiet;
        if (!quiet.ok()) return -1;
        st = exclude_error_line_impl(self, lines_in.get(), &lines, &tree);
        if (!quiet.close()) return -1;
    }
    if (st == EX_FAULT) {
        PyErr_Clear();  // an obvious fault of the file: it contributes nothing
        return 0;
    }
    if (st == EX_ERROR) return -1;
    if (st == EX_GAVE_UP || !tree || tree.get() == Py_None) return 0;

    // 5.
    Py_ssize_t n_parsed = PyObject_Size(lines.get());
    Py_ssize_t n_lines = n_parsed >= 0 ? PyObject_Size(lines_in.get()) : -1;
    if (n_lines < 0) return -1;
    Ref end = Ref::steal(PyLong_FromSsize_t(n_parsed));
    Ref infos = Ref::steal(PyList_New(n_lines + 1));
    if (!end || !infos) return -1;
    for (Py_ssize_t i = 0; i <= n_lines; ++i) {
        PyObject* l = PyList_New(0);
        if (!l) return -1;
        PyList_SET_ITEM(infos.get(), i, l);
    }
    if (set_attr(self, "end_lineno_of_parsed_ast", end.get()) < 0 ||
        set_attr(self, "list_of_info_lists", infos.get()) < 0)
        return -1;

    // 6. self.visit(tree)
    Ref result;
    if (_PyType_Lookup(Py_TYPE(self), VDX_STR("visit")) == M.visit) {
        Walker w(self);
        result = Ref::steal(w.visit(tree.get()));
    } else {
        result = Ref::steal(PyObject_CallMethodOneArg(self, VDX_STR("visit"), tree.get()));
    }
    if (result) return finish_records(self, tree.get());
    if (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        // Too deep for ast.unparse (or memory): the file contributes nothing.
        PyErr_Clear();
        Ref c = Ref::steal(PyList_New(0));
        Ref d = Ref::steal(PyDict_New());
        if (!c || !d || set_attr(self, "changes", c.get()) < 0 || set_attr(self, "class_lines", d.get()) < 0)
            return -1;
        return 0;
    }
    return -1;
}

PyObject* init_method(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"self", "file_path", "code_lines", "variable_names", "func_pattern",
                                   "class_instances_dict", nullptr};
    PyObject* self = nullptr;
    PyObject* file_path = Py_None;
    PyObject* code_lines = Py_None;
    PyObject* variable_names = M.default_variable_names;
    PyObject* func_pattern = Py_None;
    PyObject* class_instances_dict = M.default_class_instances_dict;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO:__init__", const_cast<char**>(kwlist), &self,
                                     &file_path, &code_lines, &variable_names, &func_pattern,
                                     &class_instances_dict))
        return nullptr;
    if (init_impl(self, file_path, code_lines, variable_names, func_pattern, class_instances_dict) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_method)),
    METH_VARARGS | METH_KEYWORDS,
    "__init__(self, file_path=None, code_lines=None, variable_names=[], func_pattern=None, "
    "class_instances_dict={})\n\nReads and parses one source file (or the given lines) and "
    "records the lines that modify the watched names in `changes` and the creations of "
    "watched class instances in `class_lines`."};

// Registers the ast node classes: their fields, "visit_" names and dict offsets.
void register_ast_types(py::module_& ast) {
    auto fetch = [&](const char* name) { return py::object(ast.attr(name)).release().ptr(); };
    T.AST = fetch("AST");
    T.Assign = fetch("Assign");
    T.AugAssign = fetch("AugAssign");
    T.Call = fetch("Call");
    T.Delete = fetch("Delete");
    T.Name = fetch("Name");
    T.Tuple = fetch("Tuple");
    T.List = fetch("List");
    T.Subscript = fetch("Subscript");
    T.Attribute = fetch("Attribute");
    py::dict ns = ast.attr("__dict__");
    for (auto item : ns) {
        PyObject* obj = item.second.ptr();
        if (!PyType_Check(obj) || Py_TYPE(obj) != &PyType_Type) continue;
        PyTypeObject* tp = (PyTypeObject*)obj;
        if (!PyType_IsSubtype(tp, (PyTypeObject*)T.AST)) continue;
        if (g_type_index.count(tp)) continue;
        py::object mod = py::getattr(obj, "__module__", py::none());
        if (!py::isinstance<py::str>(mod) || mod.cast<std::string>() != "ast") continue;
        py::object fields = py::getattr(obj, "_fields", py::none());
        if (!py::isinstance<py::tuple>(fields)) continue;
        py::list names;
        for (auto f : fields) {
            if (!PyUnicode_CheckExact(f.ptr())) goto skip;
            names.append(py::reinterpret_borrow<py::object>(interned(f.cast<std::string>())));
        }
        {
            TypeInfo info;
            Py_INCREF(obj);
            info.type = obj;
            info.fields = PyList_AsTuple(names.ptr());
            if (!info.fields) throw py::error_already_set();
            std::string vname = "visit_" + py::str(py::getattr(obj, "__name__")).cast<std::string>();
            info.visit_name = Py_NewRef(interned(vname));
            bool plain = tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset > 0 &&
                         !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
            info.dictoffset = plain ? tp->tp_dictoffset : 0;
            std::string cname = py::str(py::getattr(obj, "__name__"));
            if (PyType_IsSubtype(tp, (PyTypeObject*)ast.attr("stmt").ptr())) info.bits |= NB_STMT;
            for (const char* c : {"If", "While", "For", "AsyncFor", "With", "AsyncWith", "Try", "TryStar", "Match",
                                  "FunctionDef", "AsyncFunctionDef", "ClassDef", "ExceptHandler", "match_case"})
                if (cname == c) info.bits |= NB_COMPOUND;
            if (cname == "withitem") info.bits |= NB_WITHITEM;
            if (cname == "Name") info.bits |= NB_NAME;
            if (cname == "alias") info.bits |= NB_ALIAS;
            if (cname == "FunctionDef" || cname == "AsyncFunctionDef" || cname == "ClassDef") info.bits |= NB_DEF;
            if (cname == "MatchAs" || cname == "MatchStar" || cname == "MatchMapping") info.bits |= NB_CAPTURE;
            if (cname == "ExceptHandler") info.bits |= NB_HANDLER;
            if (cname == "ListComp" || cname == "SetComp" || cname == "DictComp" || cname == "GeneratorExp")
                info.bits |= NB_COMPREHENSION;
            if (cname == "Lambda") info.bits |= NB_LAMBDA;
            if (cname == "arg") info.bits |= NB_ARG;
            g_type_index.emplace(tp, (int)g_infos.size());
            g_infos.push_back(info);
        }
    skip:;
    }
}

}  // namespace

// The class is made when first used: a run whose scan comes from the cache
// never imports ast for it.
py::object make_visitor_class() {
    py::module_ ast = py::module_::import("ast");
    register_ast_types(ast);
    py::object node_visitor = ast.attr("NodeVisitor");
    M.base_visit_Constant = py::getattr(node_visitor, "__dict__")["visit_Constant"].ptr();
    Py_INCREF(M.base_visit_Constant);
    M.base_init = py::object(node_visitor.attr("__init__")).release().ptr();

    py::object cls = make_class("VariableModificationVisitor", py::make_tuple(node_visitor), py::dict());
    M.default_variable_names = PyList_New(0);
    M.default_class_instances_dict = PyDict_New();
    if (!M.default_variable_names || !M.default_class_instances_dict) throw py::error_already_set();

    PyObject* dict = ((PyTypeObject*)cls.ptr())->tp_dict;
    auto stored = [&](const char* name) {
        PyObject* o = PyDict_GetItemString(dict, name);
        if (!o) pybind11::pybind11_fail("VariableModificationVisitor: method not stored");
        return Py_NewRef(o);
    };

    // __init__: a plain C function (pybind11 treats functions named __init__ as
    // constructors of its own classes), bound as a method by PyInstanceMethod.
    {
        Ref fn = Ref::steal(PyCFunction_NewEx(&init_def, nullptr, VDX_STR("vardex")));
        Ref meth = fn ? Ref::steal(PyInstanceMethod_New(fn.get())) : Ref();
        if (!meth) throw py::error_already_set();
        check_rc(PyObject_SetAttrString(cls.ptr(), "__init__", meth.get()));
    }

    auto def = [&](const char* name, auto&& fn, auto... extra) {
        cls.attr(name) = py::cpp_function(std::forward<decltype(fn)>(fn), py::name(name), py::is_method(cls),
                                          extra...);
    };

    def("visit", [](py::object self, py::object node) {
        Walker w(self.ptr());
        return check(w.visit(node.ptr()));
    }, py::arg("node"));
    def("generic_visit", [](py::object self, py::object node) {
        Walker w(self.ptr());
        check_rc(w.generic_visit(node.ptr()));
        return py::none();
    }, py::arg("node"));
    for (const OwnHandler& h : g_handlers) {
        Handler record = h.record;
        def(h.name, [record](py::object self, py::object node) { return visit_with(record, self, node); },
            py::arg("node"));
    }
    def("handle_target", [](py::object self, py::object target, py::object value, py::object class_name,
                            py::object line_number) {
        check_rc(handle_target_impl(self.ptr(), target.ptr(), value.ptr(), class_name.ptr(), line_number.ptr()));
        return py::none();
    }, py::arg("target"), py::arg("value"), py::arg("class_name"), py::arg("line_number"));
    def("get_value_list", [](py::object, py::object value) {
        Ref r = get_value_list_impl(value.ptr());
        return check(r.release());
    }, py::arg("value"));
    def("combine_code", [](py::object, py::object lines) {
        Ref r = combine_code_impl(lines.ptr());
        return check(r.release());
    }, py::arg("code_lines_temp"));
    def("get_index_of_the_first_up_no_empty_line", [](py::object, py::object lines, py::object start_index) {
        Ref idx = Ref::steal(PyNumber_Index(start_index.ptr()));
        if (!idx) throw py::error_already_set();
        Py_ssize_t start = PyLong_AsSsize_t(idx.get());
        if (start == -1 && PyErr_Occurred()) throw py::error_already_set();
        Py_ssize_t r = first_up_no_empty_impl(lines.ptr(), start);
        if (r == -2) throw py::error_already_set();
        return py::int_(r);
    }, py::arg("lines"), py::arg("start_index"));
    def("exclude_error_line", [](py::object self, py::object code_lines) {
        Ref lines, tree;
        int st = exclude_error_line_impl(self.ptr(), code_lines.ptr(), &lines, &tree);
        if (st == EX_ERROR || st == EX_FAULT) throw py::error_already_set();
        if (st == EX_GAVE_UP) return py::make_tuple(py::object(py::none()), py::object(py::none()));
        return py::make_tuple(py::reinterpret_borrow<py::object>(lines.get()),
                              py::reinterpret_borrow<py::object>(tree.get()));
    }, py::arg("code_lines"));

    M.visit = stored("visit");
    M.generic_visit = stored("generic_visit");
    for (OwnHandler& h : g_handlers) h.stored = stored(h.name);
    return cls;
}

void register_visitor(py::module_&) {
    add_lazy_global("VariableModificationVisitor", [] {
        PyObject* made = nullptr;
        if (guarded_call([&] { made = make_visitor_class().release().ptr(); }) < 0) return (PyObject*)nullptr;
        return made;
    });
}

}  // namespace vdx::project
