// Saved rows ("data.txt") and the history of typed values ("history.txt").
//
// Both files are written through a temporary file and a rename; a file that
// cannot be read is kept aside as "<name>.bad" and a fresh one is started.
#include "gui/gui_util.hpp"

namespace vdx::gui {

namespace {


// The module's data folder, where the result and settings files are too (the
// folder beside the module file, or the fallback the load sequence chose).
py::object get_data_store_folder(py::object) {
    py::object os = g("os");
    py::object folder = py::str(g("data_store_folder"));
    if (!truthy(os.attr("path").attr("exists")(folder))) os.attr("makedirs")(folder);
    return folder;
}

// The parsed file, or None with `problem` saying why it cannot be read.
py::object read_json(py::handle path, std::string& problem) {
    try {
        return load_json(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        problem = std::string(py::str(e.type().attr("__name__"))) + ": " + utf8_text(e.value());
        return py::none();
    }
}

py::dict fresh_history() {
    py::dict h;
    for (const char* k : {"Input Class Names", "Input Var Names", "Input List Names", "Input instance Names",
                          "File Path", "Line Number"})
        h[k] = py::list();
    return h;
}


void add_value(py::dict history, const char* key, py::object value) {
    if (!history.contains(key)) history[key] = py::list();
    py::object list = history[key];
    int has = PySequence_Contains(list.ptr(), value.ptr());
    check_rc(has);
    if (!has) list.attr("append")(value);
}

void save_history(py::object self) {
    py::object path = g("SimpleGUIApp").attr("history_file_path");
    py::object ospath = g("os").attr("path");
    py::dict history = fresh_history();
    if (truthy(ospath.attr("exists")(path)) && ospath.attr("getsize")(path).cast<long long>() > 0) {
        std::string problem;
        py::object loaded = read_json(path, problem);
        if (problem.empty()) {
            if (!py::isinstance<py::dict>(loaded)) problem = "not a JSON object";
            else
                for (auto item : py::dict(loaded))
                    if (!py::isinstance<py::list>(item.second)) problem = "a value is not a list";
        }
        if (problem.empty())
            history = loaded;
        else
            keep_aside(path, "the history file", problem);
    }
    bool simple = truthy(self.attr("simple_mode"));
    for (auto row : self.attr("entries")) {
        py::dict map = py::reinterpret_borrow<py::object>(row)[py::int_(0)];
        if (simple) {
            if (!map.contains("Input Var Names")) continue;
            py::object value = typed(map["Input Var Names"]);
            if (truthy(value)) add_value(history, "Input Var Names", value);
            continue;
        }
        for (const char* key : {"Input Class Names", "Input Var Names", "Input List Names", "Input instance Names",
                                "File Path", "Line Number"}) {
            if (!map.contains(key)) continue;
            py::object value = typed(map[key]);
            if (truthy(value)) add_value(history, key, value);
        }
    }
    dump_json(path, history);
}

void save_data(py::object self) {
    py::dict data;
    py::list classes, stops;
    data["classes"] = classes;
    data["stop_lines"] = stops;
    data["top_enable"] = equals(self.attr("top_enable_var").attr("get")(), py::str("1"));
    data["observe"] = equals(self.attr("observe_var").attr("get")(), py::str("1"));
    for (auto row : self.attr("entries")) {
        py::object r = py::reinterpret_borrow<py::object>(row);
        py::dict map = r[py::int_(0)];
        if (map.contains("Input Class Names")) {
            py::dict item;
            for (int i = 0; i < 4; ++i) item[kClassData[i]] = map[kClassKeys[i]].attr("get")();
            item["enabled"] = equals(r[py::int_(1)].attr("get")(), py::str("1"));
            classes.append(item);
        } else if (map.contains("File Path")) {
            py::dict item;
            item["file_path"] = map["File Path"].attr("get")();
            item["line_number"] = map["Line Number"].attr("get")();
            item["enabled"] = equals(map["Enabled"].attr("get")(), py::str("1"));
            stops.append(item);
        }
    }
    dump_json(self.attr("data_file_path"), data);
    self.attr("save_history")();
}

void load_data(py::object self) {
    py::object path = self.attr("data_file_path");
    py::object ospath = g("os").attr("path");
    py::object data = py::none();
    if (truthy(ospath.attr("exists")(path))) {
        std::string problem;
        data = read_json(path, problem);
        if (problem.empty() && !py::isinstance<py::dict>(data)) problem = "not a JSON object";
        for (const char* key : {"classes", "stop_lines"}) {
            if (!problem.empty() || !data.contains(key)) continue;
            if (!py::isinstance<py::list>(data[key])) problem = std::string("\"") + key + "\" is not a list";
            else
                for (auto item : data[key])
                    if (!py::isinstance<py::dict>(item)) problem = std::string("an item of \"") + key + "\" is not an object";
        }
        if (!problem.empty()) {
            keep_aside(path, "the saved rows", problem);
            data = py::none();
        }
    }
    if (data.is_none()) {
        // The rows of a fresh window.
        self.attr("add_class")();
        self.attr("master").attr("update_idletasks")();
        return;
    }
    py::list classes = data.contains("classes") ? py::list(data["classes"]) : py::list();
    py::list stops = data.contains("stop_lines") ? py::list(data["stop_lines"]) : py::list();
    if (py::len(classes) == 0) self.attr("add_class")();
    bool print = data.contains("top_enable") && truthy(data["top_enable"]);
    self.attr("top_enable_var").attr("set")(print ? "1" : "0");
    // Saved before the box existed: unticked.
    bool observe = data.contains("observe") && truthy(data["observe"]);
    self.attr("observe_var").attr("set")(observe ? "1" : "0");
    for (auto c : classes) self.attr("add_class")(c);
    for (auto s : stops) self.attr("add_stop_line_with_data")(s);
    self.attr("master").attr("update_idletasks")();
}

}  // namespace

void register_storage(py::module_&, py::object cls) {
    method(cls, "get_data_store_folder", py::cpp_function(&get_data_store_folder));
    method(cls, "get_data_file_path", py::cpp_function([](py::object self) {
               return g("os").attr("path").attr("join")(self.attr("data_store_folder"), "data.txt");
           }));
    method(cls, "get_history_file_path", py::cpp_function([](py::object self) {
               return g("os").attr("path").attr("join")(self.attr("data_store_folder"), "history.txt");
           }));
    method(cls, "save_data", py::cpp_function(&save_data));
    method(cls, "load_data", py::cpp_function(&load_data));
    method(cls, "save_history", py::cpp_function(&save_history));
    method(cls, "open_history", py::cpp_function([](py::object) { g("show_history")(); }));
}

}  // namespace vdx::gui
