// The text field of the window's rows: a combobox with a grey hint while it
// is empty, whose drop-down offers the values of the history file.
#include "gui/gui_util.hpp"

namespace vdx::gui {

namespace {

void init(py::object self, py::args args, py::kwargs kwargs) {
    py::list rest;
    py::object master = py::none(), placeholder = py::str("PLACEHOLDER"), color = py::str("grey");
    size_t n = py::len(args);
    if (n > 0) master = args[0];
    if (n > 1) placeholder = args[1];
    if (n > 2) color = args[2];
    for (size_t i = 3; i < n; ++i) rest.append(args[i]);
    for (const char* name : {"master", "placeholder", "color"}) {
        if (!kwargs.contains(name)) continue;
        py::object v = kwargs[name];
        PyDict_DelItemString(kwargs.ptr(), name);
        if (std::string(name) == "master") master = v;
        else if (std::string(name) == "placeholder") placeholder = v;
        else color = v;
    }
    py::list call_args;
    call_args.append(self);
    call_args.append(master);
    for (auto a : rest) call_args.append(a);
    g("ttk").attr("Combobox").attr("__init__")(*py::tuple(call_args), **kwargs);
    self.attr("placeholder") = placeholder;
    self.attr("placeholder_color") = color;
    self.attr("default_fg_color") = self.attr("cget")("foreground");
    self.attr("set_placeholder")();
    self.attr("bind")("<FocusIn>", self.attr("foc_in"));
    self.attr("bind")("<FocusOut>", self.attr("foc_out"));
    self.attr("bind")("<Button-1>", self.attr("load_history"));
}

void set_placeholder(py::object self) {
    self.attr("set")(self.attr("placeholder"));
    self.attr("configure")(py::arg("foreground") = self.attr("placeholder_color"));
}

void foc_in(py::object self, py::args) {
    if (equals(self.attr("get")(), self.attr("placeholder"))) {
        self.attr("set")("");
        self.attr("configure")(py::arg("foreground") = self.attr("default_fg_color"));
    }
}

void foc_out(py::object self, py::args) {
    if (!truthy(self.attr("get")())) self.attr("set_placeholder")();
}

void load_history(py::object self, py::args) {
    py::object path = g("SimpleGUIApp").attr("history_file_path");
    if (!truthy(g("os").attr("path").attr("exists")(path))) return;
    py::object history;
    try {
        history = load_json(path);
    } catch (py::error_already_set& e) {
        // A history that cannot be read leaves the drop-down as it was; the
        // next save keeps the file aside and starts a fresh one.
        if (!e.matches(PyExc_Exception)) throw;
        return;
    }
    py::object key = self.attr("placeholder");
    if (equals(key, py::str("Input variable names of all types")) ||
        equals(key, py::str("\u8f93\u5165\u4efb\u610f\u7c7b\u578b\u7684n\u4e2a\u53d8\u91cf\u540d")))
        key = py::str("Input Var Names");
    if (!py::isinstance<py::dict>(history) || !history.contains(key)) return;
    self.attr("configure")(py::arg("values") = history[key]);
}

}  // namespace

// Made when first used (its base is a tkinter widget: the command line
// never imports tkinter).
void register_placeholder(py::module_&) {
    add_lazy_global("PlaceholderEntry", [] {
        PyObject* made = nullptr;
        int rc = guarded_call([&] {
            py::object cls = make_class("PlaceholderEntry", py::make_tuple(g("ttk").attr("Combobox")), py::dict());
            method(cls, "__init__", py::cpp_function(&init));
            method(cls, "set_placeholder", py::cpp_function(&set_placeholder));
            method(cls, "foc_in", py::cpp_function(&foc_in));
            method(cls, "foc_out", py::cpp_function(&foc_out));
            method(cls, "load_history", py::cpp_function(&load_history));
            made = cls.release().ptr();
        });
        return rc < 0 ? (PyObject*)nullptr : made;
    });
}

}  // namespace vdx::gui
