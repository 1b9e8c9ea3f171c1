// The modification records of each binding form, with their places.
//
// Besides the record itself, each gets the place of the code that starts the
// change: the statement for assignments and deletions, the call for method
// calls, the assignment expression for the walrus, and the target name for
// loop and with targets (bound at each pass), the handler's first statement
// for an exception name. The tracer finds that code in the bytecode.
#include "project/project.hpp"
#include "project/records.hpp"

#include <string>
#include <vector>

namespace vdx::project::records {

namespace {

struct AstClasses {
    bool ready = false;
    PyObject *Name, *Tuple, *List, *Starred, *Subscript, *Attribute, *Load, *AST;
} A;

void load() {
    if (A.ready) return;
    py::module_ ast = py::module_::import("ast");
    auto get = [&](const char* n) { return py::object(ast.attr(n)).release().ptr(); };
    A.Name = get("Name");
    A.Tuple = get("Tuple");
    A.List = get("List");
    A.Starred = get("Starred");
    A.Subscript = get("Subscript");
    A.Attribute = get("Attribute");
    A.Load = get("Load");
    A.AST = get("AST");
    A.ready = true;
}

bool is(py::handle node, PyObject* type) { return (PyObject*)Py_TYPE(node.ptr()) == type; }

py::tuple place(py::handle node) {
    py::object l0 = node.attr("lineno"), c0 = node.attr("col_offset");
    py::object l1 = py::getattr(node, "end_lineno", py::none());
    py::object c1 = py::getattr(node, "end_col_offset", py::none());
    if (l1.is_none()) l1 = l0;
    if (c1.is_none()) c1 = c0;
    return py::make_tuple(l0, c0, l1, c1);
}

py::str src(py::handle node) { return py::str(g("unparse")(node)); }

py::object fv_or(py::handle text, py::object otherwise) {
    int r = is_function_value(text.ptr());
    check_rc(r);
    return r ? py::object(py::str("Function Value")) : otherwise;
}

bool watched(py::handle self, py::handle name) {
    int r = PySequence_Contains(self.attr("variable_names").ptr(), name.ptr());
    check_rc(r);
    return r != 0;
}

// The names an expression reads.
void collect_reads(py::handle node, py::set& into, int depth = 0) {
    if (node.is_none() || depth > 500) return;
    if (PyList_Check(node.ptr()) || PyTuple_Check(node.ptr())) {
        for (auto item : node) collect_reads(item, into, depth + 1);
        return;
    }
    if (!PyObject_TypeCheck(node.ptr(), (PyTypeObject*)A.AST)) return;
    if (is(node, A.Name)) {
        if (is(node.attr("ctx"), A.Load)) into.add(node.attr("id"));
        return;
    }
    for (auto field : node.attr("_fields")) {
        py::object v = py::getattr(node, field, py::none());
        collect_reads(v, into, depth + 1);
    }
}

py::frozenset reads_of(std::initializer_list<py::handle> nodes) {
    py::set names;
    for (py::handle n : nodes) collect_reads(n, names);
    return py::frozenset(names);
}

// `key`: the source of the item an item assignment or deletion changes.
void add(py::handle self, py::tuple record, py::tuple entry, int flags, py::object reads, py::handle target,
         py::object key = py::none()) {
    self.attr("changes").attr("append")(record);
    py::object spans = py::getattr(self, "change_spans", py::none());
    if (spans.is_none()) {
        spans = py::list();
        self.attr("change_spans") = spans;
    }
    if (key.is_none())
        spans.attr("append")(py::make_tuple(entry[0], entry[1], entry[2], entry[3], flags, reads, target));
    else
        spans.attr("append")(py::make_tuple(entry[0], entry[1], entry[2], entry[3], flags, reads, target, key));
}

// The watched name at the root of a chain of subscripts and attributes
// (items[0].parts[-1]), or None.
py::object chain_root(py::handle self, py::handle node) {
    py::object n = py::reinterpret_borrow<py::object>(node);
    while (is(n, A.Subscript) || is(n, A.Attribute)) n = n.attr("value");
    if (is(n, A.Name) && watched(self, n.attr("id"))) return n.attr("id");
    return py::none();
}

// The part of a target after its root name: "[0].parts" of "items[0].parts".
py::str path_after(py::handle node, py::handle root) {
    std::string whole = src(node);
    std::string name = py::str(root);
    return py::str(whole.size() >= name.size() ? whole.substr(name.size()) : whole);
}

// A change of an element or attribute of a watched value: its new value
// cannot be told before the statement runs.
void nested_target(py::handle self, py::handle stmt, py::handle target, py::object value, py::handle line) {
    py::object root = chain_root(self, target);
    if (root.is_none()) return;
    py::str op = py::str(path_after(target, root)) + py::str(" =");
    py::object value_src = value.is_none() ? py::object(py::str("")) : py::object(src(value));
    add(self, py::make_tuple(line, root, op, value_src), place(stmt), kPredictUnknown, reads_of({value}), root);
}

// Binds one (possibly nested) target of an assignment. `value` is the node
// that gives this target its value when the right-hand side is a display of
// the same shape, else None; `whole` is the whole right-hand side.
void bind_target(py::handle self, py::handle stmt, py::handle target, py::object value, py::handle whole,
                 py::handle line, py::object starred_src = py::none()) {
    if (is(target, A.Name)) {
        py::object id = target.attr("id");
        if (!watched(self, id)) return;
        bool known = !value.is_none() || !starred_src.is_none();
        py::str text = !starred_src.is_none() ? py::str(starred_src) : src(known ? value : py::object(py::reinterpret_borrow<py::object>(whole)));
        int flags = kBinding | (known ? 0 : kPredictUnknown);
        add(self, py::make_tuple(line, id, fv_or(text, py::str("=")), text), place(stmt), flags,
            reads_of({known ? value : py::reinterpret_borrow<py::object>(whole)}), id);
        return;
    }
    if (is(target, A.Starred)) {
        bind_target(self, stmt, target.attr("value"), py::none(), whole, line, starred_src);
        return;
    }
    if (is(target, A.Tuple) || is(target, A.List)) {
        py::list elts = target.attr("elts");
        size_t n = py::len(elts);
        std::vector<py::object> values(n, py::none());
        std::vector<py::object> star_srcs(n, py::none());
        if (!value.is_none() && (is(value, A.Tuple) || is(value, A.List))) {
            py::list vals = value.attr("elts");
            size_t m = py::len(vals);
            bool value_starred = false;
            for (auto v : vals) value_starred = value_starred || is(v, A.Starred);
            size_t star = n;
            for (size_t i = 0; i < n; ++i)
                if (is(elts[i], A.Starred)) star = i;
            if (!value_starred && star == n && m == n) {
                for (size_t i = 0; i < n; ++i) values[i] = vals[i];
            } else if (!value_starred && star < n && m + 1 >= n) {
                size_t after = n - star - 1;
                for (size_t i = 0; i < star; ++i) values[i] = vals[i];
                for (size_t j = 0; j < after; ++j) values[n - 1 - j] = vals[m - 1 - j];
                std::string text = "[";
                for (size_t i = star; i < m - after; ++i) {
                    if (i > star) text += ", ";
                    text += std::string(src(vals[i]));
                }
                star_srcs[star] = py::str(text + "]");
            }
        }
        for (size_t i = 0; i < n; ++i) bind_target(self, stmt, elts[i], values[i], whole, line, star_srcs[i]);
        return;
    }
    if (is(target, A.Subscript) || is(target, A.Attribute)) nested_target(self, stmt, target, value, line);
}

// Names bound by a loop or with target; each gets the place of its name.
void bound_names(py::handle self, py::handle target, py::handle line, const char* op, py::handle source,
                 int depth = 0) {
    if (depth > 100) return;
    if (is(target, A.Name)) {
        py::object id = target.attr("id");
        if (watched(self, id))
            add(self, py::make_tuple(line, id, op, source), place(target), kBinding | kPredictUnknown,
                py::frozenset(py::set()), id);
    } else if (is(target, A.Starred)) {
        bound_names(self, target.attr("value"), line, op, source, depth + 1);
    } else if (is(target, A.Tuple) || is(target, A.List)) {
        for (auto e : target.attr("elts")) bound_names(self, e, line, op, source, depth + 1);
    }
}

const char* const kMutators[] = {"append", "extend", "insert", "remove", "pop", "clear", "sort", "reverse",
                                 "update", "setdefault", "popitem", "add", "discard", "difference_update",
                                 "intersection_update", "symmetric_difference_update", "__setitem__",
                                 "__delitem__", "__iadd__"};

bool is_mutator(py::handle attr) {
    std::string name = py::str(attr);
    for (const char* m : kMutators)
        if (name == m) return true;
    return false;
}

const char* symbol_of(const std::string& op) {
    static const std::pair<const char*, const char*> table[] = {
        {"Add", "+"},    {"Sub", "-"},     {"Mult", "*"},   {"MatMult", "@"}, {"Div", "/"},
        {"Mod", "%"},    {"Pow", "**"},    {"LShift", "<<"}, {"RShift", ">>"}, {"BitOr", "|"},
        {"BitXor", "^"}, {"BitAnd", "&"}, {"FloorDiv", "//"}};
    for (auto& [name, sym] : table)
        if (op == name) return sym;
    return "?";
}

template <typename F>
int guarded(F&& f) {
    return guarded_call([&] {
        load();
        f();
    });
}

// The target of a plain or annotated assignment that is not a tuple or list:
// a name, an item of a watched name, or an element or attribute further in.
void single_target(py::handle self, py::handle node, py::handle target, py::handle value, py::handle line) {
    if (is(target, A.Name)) {
        py::object id = target.attr("id");
        if (!watched(self, id)) return;
        py::str text = src(value);
        add(self, py::make_tuple(line, id, fv_or(text, py::str("=")), text), place(node), kBinding,
            reads_of({value}), id);
    } else if (is(target, A.Subscript) && is(target.attr("value"), A.Name) &&
               watched(self, target.attr("value").attr("id"))) {
        py::object id = target.attr("value").attr("id");
        py::str text = src(value);
        py::object key = fv_or(text, py::object());
        if (!key) key = src(target.attr("slice"));
        add(self, py::make_tuple(line, id, key, text, "     Subscript Assign"), place(node), 0,
            reads_of({target.attr("slice"), value}), id, src(target.attr("slice")));
    } else if (is(target, A.Subscript) || is(target, A.Attribute)) {
        nested_target(self, node, target, py::reinterpret_borrow<py::object>(value), line);
    }
}

}  // namespace

int assign_targets(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        py::object line = node.attr("lineno");
        py::object value = node.attr("value");
        for (auto target : node.attr("targets")) {
            if (is(target, A.Tuple)) {
                // The flat form of the original table: one record per name,
                // with its element of a tuple display, or the whole value.
                py::list elts = target.attr("elts");
                bool flat = true;
                for (auto e : elts) flat = flat && is(e, A.Name);
                if (flat) {
                    bool display = is(value, A.Tuple) || is(value, A.List);
                    py::list vals;
                    if (display) {
                        vals = value.attr("elts");
                    } else {
                        for (size_t i = 0; i < py::len(elts); ++i) vals.append(value);
                    }
                    bool same_shape = display && py::len(vals) == py::len(elts);
                    for (auto v : vals) same_shape = same_shape && !is(v, A.Starred);
                    size_t n = std::min(py::len(elts), py::len(vals));
                    for (size_t i = 0; i < n; ++i) {
                        py::object id = elts[i].attr("id");
                        if (!watched(self, id)) continue;
                        py::str text = src(vals[i]);
                        add(self, py::make_tuple(line, id, fv_or(text, py::str("=")), text), place(node),
                            kBinding | (same_shape ? 0 : kPredictUnknown), reads_of({vals[i]}), id);
                    }
                    continue;
                }
                bind_target(self, node, target, value, value, line);
            } else if (is(target, A.List) || is(target, A.Starred)) {
                bind_target(self, node, target, value, value, line);
            } else {
                single_target(self, node, target, value, line);
            }
        }
    });
}

int ann_assign(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        py::object value = node.attr("value");
        if (value.is_none()) return;  // a bare annotation binds nothing
        single_target(self, node, node.attr("target"), value, node.attr("lineno"));
    });
}

int aug_assign(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        py::object target = node.attr("target");
        py::object value = node.attr("value");
        py::object line = node.attr("lineno");
        py::str text = src(value);
        std::string op_name = py::str(node.attr("op").attr("__class__").attr("__name__"));
        if (is(target, A.Name)) {
            py::object id = target.attr("id");
            if (!watched(self, id)) return;
            py::object op = fv_or(text, py::str(op_name));
            add(self, py::make_tuple(line, id, op, text, "      AugAssign"), place(node), kBinding,
                reads_of({value}), id);
            return;
        }
        py::object root = chain_root(self, target);
        if (root.is_none()) return;
        py::str op = py::str(path_after(target, root)) + py::str(" ") + py::str(symbol_of(op_name)) + py::str("=");
        py::object key = is(target, A.Subscript) && is(target.attr("value"), A.Name)
                             ? py::object(src(target.attr("slice")))
                             : py::object(py::none());
        add(self, py::make_tuple(line, root, op, text), place(node), kPredictUnknown, reads_of({value}), root, key);
    });
}

int call(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        py::object func = node.attr("func");
        if (!is(func, A.Attribute)) return;
        py::object base = func.attr("value");
        py::object root;
        py::object op;
        int flags = 0;
        if (is(base, A.Name)) {
            if (!watched(self, base.attr("id"))) return;
            root = base.attr("id");
            op = func.attr("attr");
        } else {
            // A mutating method of an element or attribute of a watched value.
            if (!is_mutator(func.attr("attr"))) return;
            root = chain_root(self, base);
            if (root.is_none()) return;
            op = py::str(path_after(base, root)) + py::str(".") + py::str(func.attr("attr"));
            flags = kPredictUnknown;
        }
        py::list items;
        items.append(node.attr("lineno"));
        items.append(root);
        items.append(op);
        for (auto a : node.attr("args")) {
            py::str text = src(a);
            items.append(fv_or(text, text));
        }
        items.append("     Method Call");
        add(self, py::tuple(items), place(node), flags | kExpression,
            reads_of({node.attr("args"), node.attr("keywords")}), root);
    });
}

int delete_targets(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        py::object line = node.attr("lineno");
        for (auto target : node.attr("targets")) {
            if (is(target, A.Subscript) && is(target.attr("value"), A.Name) &&
                watched(self, target.attr("value").attr("id"))) {
                py::object id = target.attr("value").attr("id");
                py::str key = src(target.attr("slice"));
                add(self, py::make_tuple(line, id, fv_or(key, py::str("Delete")), key), place(node), 0,
                    reads_of({target.attr("slice")}), id, key);
            } else if (is(target, A.Subscript) || is(target, A.Attribute)) {
                py::object root = chain_root(self, target);
                if (root.is_none()) continue;
                add(self, py::make_tuple(line, root, "del", src(target)), place(node), kPredictUnknown,
                    reads_of({target}), root);
            }
        }
    });
}

int for_targets(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        bound_names(self, node.attr("target"), node.attr("lineno"), "For", src(node.attr("iter")));
    });
}

int with_targets(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        for (auto item : node.attr("items")) {
            py::object vars = item.attr("optional_vars");
            if (vars.is_none()) continue;
            bound_names(self, vars, node.attr("lineno"), "With", src(item.attr("context_expr")));
        }
    });
}

int except_name(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        py::object name = node.attr("name");
        if (name.is_none() || !watched(self, name)) return;
        py::object type = node.attr("type");
        if (type.is_none()) return;
        // The handler's test starts with its exception type; whether the name
        // is bound is known when the handler's body (or something else) runs.
        add(self, py::make_tuple(node.attr("lineno"), name, "Except", src(type)), place(type),
            kBinding | kPredictUnknown | kConfirmByValue, py::frozenset(py::set()), name);
    });
}

int named_expr(PyObject* self_ptr, PyObject* node_ptr) {
    return guarded([&] {
        py::handle self(self_ptr), node(node_ptr);
        py::object target = node.attr("target");
        if (!is(target, A.Name) || !watched(self, target.attr("id"))) return;
        py::object id = target.attr("id");
        py::object value = node.attr("value");
        py::str text = src(value);
        add(self, py::make_tuple(node.attr("lineno"), id, fv_or(text, py::str("=")), text), place(node),
            kBinding | kExpression, reads_of({value}), id);
    });
}

}  // namespace vdx::project::records
