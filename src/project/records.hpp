// Internal to the project area: the modification records the finder makes
// for each binding form, with the source place of each.
#pragma once
#include "common/pyobj.hpp"
#include "common/record_flags.hpp"

namespace vdx::project::records {

// Record flags, as the tracer reads them.
using vdx::kBinding;
using vdx::kConfirmByValue;
using vdx::kPredictUnknown;
// Made by an expression (a call, the walrus): kept while visiting only.
constexpr int kExpression = 8;

// Record makers for one statement or expression node, called before the
// node's children are visited. 0, or -1 with an error set.
int assign_targets(PyObject* self, PyObject* node);  // ast.Assign (records only)
int ann_assign(PyObject* self, PyObject* node);
int aug_assign(PyObject* self, PyObject* node);
int call(PyObject* self, PyObject* node);
int delete_targets(PyObject* self, PyObject* node);
int for_targets(PyObject* self, PyObject* node);     // For, AsyncFor
int with_targets(PyObject* self, PyObject* node);    // With, AsyncWith
int except_name(PyObject* self, PyObject* node);     // ExceptHandler
int named_expr(PyObject* self, PyObject* node);

// Raw places as kept while visiting: (l0, c0, l1, c1, flags, names read, target).
// `finish` turns them into (l0, c0, l1, c1, gl0, gc0, gl1, gc1, flags), where
// g* is the statement (or compound-statement header) around the record, and
// marks predictions that read a name bound earlier on the same line.
struct Root {
    int l0, c0, l1, c1;
};
struct Binding {
    int line, col;
    PyObject* name;  // borrowed from the tree
};

}  // namespace vdx::project::records
