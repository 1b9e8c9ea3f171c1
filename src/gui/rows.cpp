// The watch-target rows of the window: class, simple, stop-line and
// trace-line rows, their deletion and clearing.
#include "gui/gui_util.hpp"

namespace vdx::gui {

namespace {


py::object row_frame(py::object self) {
    py::object frame = g("ttk").attr("Frame")(self.attr("scrollable_frame"), py::arg("padding") = py::make_tuple(5, 0));
    frame.attr("pack")(py::arg("fill") = "x");
    return frame;
}

py::object entry(py::object frame, const char* placeholder, int width) {
    return g("PlaceholderEntry")(frame, py::arg("placeholder") = placeholder, py::arg("width") = width);
}

py::object data_value(py::object data, const char* key) {
    if (!data.is_none() && truthy(data) && data.contains(key)) return data[key];
    return py::str("");
}

py::object delete_button(py::object self, py::object frame) {
    py::object del = self.attr("delete_class");
    return g("ttk").attr("Button")(frame, py::arg("text") = "x", py::arg("width") = 2,
                                   py::arg("command") = py::cpp_function([del, frame]() { del(frame); }));
}

py::object check_box(py::object frame, py::object var) {
    return g("tk").attr("Checkbutton")(frame, py::arg("text") = "\u542f\u7528", py::arg("variable") = var,
                                      py::arg("onvalue") = "1", py::arg("offvalue") = "0");
}

void scroll_to_end(py::object self) {
    self.attr("master").attr("update_idletasks")();
    self.attr("canvas").attr("yview_moveto")(1.0);
}

void add_class(py::object self, py::object class_data) {
    py::object frame = row_frame(self);
    py::dict map;
    bool filled = !class_data.is_none() && truthy(class_data);
    for (int i = 0; i < 4; ++i) {
        py::object field = entry(frame, kClassKeys[i], 25);
        field.attr("pack")(py::arg("side") = "left", py::arg("expand") = true, py::arg("fill") = "x",
                           py::arg("padx") = 2);
        if (filled) field.attr("set")(data_value(class_data, kClassData[i]));
        map[kClassKeys[i]] = field;
    }
    py::object var = g("tk").attr("StringVar")(py::arg("value") = "0");
    check_box(frame, var).attr("pack")(py::arg("side") = "left", py::arg("padx") = 10);
    if (filled && class_data.contains("enabled")) var.attr("set")(truthy(class_data["enabled"]) ? "1" : "0");
    delete_button(self, frame).attr("pack")(py::arg("side") = "left", py::arg("padx") = 10);
    self.attr("entries").attr("append")(py::make_tuple(map, var, frame));
    scroll_to_end(self);
}

// A stop-line or trace-line row; `data` None for an empty one.
void add_line_row(py::object self, const char* path_key, const char* button_text, py::object data) {
    py::object frame = row_frame(self);
    py::dict map;
    py::object path = entry(frame, "File Path", 50);
    path.attr("pack")(py::arg("side") = "left", py::arg("expand") = true, py::arg("fill") = "x", py::arg("padx") = 5);
    if (!data.is_none()) path.attr("set")(data_value(data, "file_path"));
    path.attr("configure")(py::arg("state") = "readonly");
    map[path_key] = path;
    py::object select = self.attr("select_py_file");
    py::object button = g("ttk").attr("Button")(
        frame, py::arg("text") = button_text,
        py::arg("command") = py::cpp_function([select, map, frame]() { select(map, frame); }));
    button.attr("pack")(py::arg("side") = "left", py::arg("padx") = 5);
    py::object line = entry(frame, "Line Number", 10);
    line.attr("pack")(py::arg("side") = "left", py::arg("expand") = true, py::arg("fill") = "x", py::arg("padx") = 5);
    if (!data.is_none()) line.attr("set")(data_value(data, "line_number"));
    map["Line Number"] = line;
    py::object var = g("tk").attr("StringVar")(py::arg("value") = "0");
    check_box(frame, var).attr("pack")(py::arg("side") = "left", py::arg("padx") = 5);
    if (!data.is_none()) {
        bool on = truthy(data) && data.contains("enabled") && truthy(data["enabled"]);
        var.attr("set")(on ? "1" : "0");
    }
    map["Enabled"] = var;
    delete_button(self, frame).attr("pack")(py::arg("side") = "left", py::arg("padx") = 5);
    self.attr("entries").attr("append")(py::make_tuple(map, var, frame));
    if (data.is_none()) scroll_to_end(self);
}

void add_simple(py::object self, py::object placeholder) {
    py::object frame = row_frame(self);
    py::object field = g("PlaceholderEntry")(frame, py::arg("placeholder") = placeholder, py::arg("width") = 25);
    field.attr("pack")(py::arg("side") = "left", py::arg("expand") = true, py::arg("fill") = "x", py::arg("padx") = 2);
    py::dict map;
    map["Input Var Names"] = field;
    self.attr("entries").attr("append")(
        py::make_tuple(map, g("tk").attr("StringVar")(py::arg("value") = "1"), frame));
}

void delete_class(py::object self, py::object frame) {
    frame.attr("destroy")();
    py::list kept;
    for (auto row : self.attr("entries")) {
        py::object r = py::reinterpret_borrow<py::object>(row);
        if (truthy(r[py::int_(2)].attr("winfo_exists")())) kept.append(r);
    }
    self.attr("entries") = kept;
}

void clear_entries(py::object self) {
    for (auto child : self.attr("scrollable_frame").attr("winfo_children")()) child.attr("destroy")();
    self.attr("entries") = py::list();
}

}  // namespace

void register_rows(py::module_&, py::object cls) {
    method(cls, "add_class", py::cpp_function(&add_class, py::arg("self"), py::arg("class_data") = py::none()));
    method(cls, "add_stop_line", py::cpp_function([](py::object self) {
               add_line_row(self, "File Path", "Select py file", py::none());
           }));
    method(cls, "add_stop_line_with_data", py::cpp_function([](py::object self, py::object stop_line_data) {
               add_line_row(self, "File Path", "Select py file", stop_line_data);
           }, py::arg("self"), py::arg("stop_line_data")));
    method(cls, "add_trace_line", py::cpp_function([](py::object self) {
               add_line_row(self, "Trace Target Path", "Select trace target file", py::none());
           }));
    method(cls, "add_simple_class", py::cpp_function([](py::object self) {
               add_simple(self, tr(self, "Input variable names of all types",
                                   "\u8f93\u5165\u4efb\u610f\u7c7b\u578b\u7684n\u4e2a\u53d8\u91cf\u540d"));
           }));
    method(cls, "add_simple_class2",
           py::cpp_function([](py::object self) { add_simple(self, py::str("Input Var Names")); }));
    method(cls, "delete_class", py::cpp_function(&delete_class, py::arg("self"), py::arg("frame")));
    method(cls, "clear_entries", py::cpp_function(&clear_entries));
}

}  // namespace vdx::gui
