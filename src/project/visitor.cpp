// The syntax-tree finder of lines that modify watched names.
#include "project/project.hpp"

namespace vdx::project {

void register_visitor(py::module_& m) {
    m.attr("VariableModificationVisitor") = make_class(
        "VariableModificationVisitor", py::make_tuple(g("ast").attr("NodeVisitor")), py::dict());
}

}  // namespace vdx::project
