// Window classes: the placeholder entry and the main window.
#include "gui/gui.hpp"
#include "gui/gui_util.hpp"

namespace vdx::gui {

void method(py::object cls, const char* name, py::cpp_function fn) {
    Ref bound = Ref::steal(PyInstanceMethod_New(fn.ptr()));
    if (!bound) throw py::error_already_set();
    check_rc(PyObject_SetAttrString(cls.ptr(), name, bound.get()));
}

py::object typed(py::object field) {
    py::object v = field.attr("get")();
    if (equals(v, field.attr("placeholder"))) return py::str("");
    return v;
}

py::object load_json(py::handle path) {
    py::object f = py::module_::import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8");
    try {
        py::object value = g("json").attr("load")(f);
        f.attr("close")();
        return value;
    } catch (...) {
        f.attr("close")();
        throw;
    }
}

void dump_json(py::handle path, py::handle value) {
    py::object os = g("os");
    py::object ospath = os.attr("path");
    // A temporary file of its own: windows of several projects share the folder.
    py::object f = g("tempfile").attr("NamedTemporaryFile")(
        py::arg("mode") = "w", py::arg("encoding") = "utf-8", py::arg("delete") = false,
        py::arg("dir") = ospath.attr("dirname")(path), py::arg("prefix") = py::str(ospath.attr("basename")(path)) + py::str("."),
        py::arg("suffix") = ".tmp");
    py::object tmp = f.attr("name");
    try {
        g("json").attr("dump")(value, f, py::arg("indent") = 4);
        f.attr("flush")();
        os.attr("fsync")(f.attr("fileno")());
        f.attr("close")();
    } catch (...) {
        f.attr("close")();
        try {
            os.attr("remove")(tmp);
        } catch (py::error_already_set&) {
        }
        throw;
    }
    os.attr("replace")(tmp, path);
}

py::object keep_aside(py::handle path, const std::string& what, const std::string& problem) {
    py::object os = g("os");
    py::object target = py::str(path) + py::str(".bad");
    for (int n = 2; truthy(os.attr("path").attr("exists")(target)); ++n)
        target = py::str(path) + py::str(".bad") + py::str(py::int_(n));
    os.attr("replace")(path, target);
    tool_write_line("vardex: " + what + " could not be read (" + problem + "); it was kept as " + utf8_text(target) +
                    " and a fresh one is used");
    return target;
}

void register_functions(py::module_& m) {
    register_placeholder(m);
    register_window(m);
}

}  // namespace vdx::gui
