// Reading and grouping the result file.
#include "results/results.hpp"

#include <functional>
#include <memory>

namespace vdx::results {

namespace {

py::dict process_lines(py::object lines) {
    py::dict grouped;
    py::object current_name = py::none();
    py::list current_lines;
    auto flush = [&]() {
        if (!grouped.contains(current_name)) grouped[current_name] = py::list();
        grouped[current_name].attr("extend")(current_lines);
    };
    for (auto raw : lines) {
        py::object stripped = raw.attr("strip")();
        if (truthy(stripped.attr("startswith")("-----------------<"))) {
            if (truthy(current_name)) flush();
            current_name = stripped;
            current_lines = py::list();
            current_lines.append(stripped);
        } else {
            current_lines.append(stripped);
        }
    }
    if (truthy(current_name) && py::len(current_lines) > 0) flush();
    return grouped;
}

void print_grouped_data(py::object grouped_data) {
    long count = 0;
    for (auto item : grouped_data.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        ++count;
        py::print(py::str("\u00a5\u00a5\u00a5\u00a5\u00a5\u00a5Target No.") + py::str(py::int_(count)) +
                  py::str(":"));
        for (auto line : kv[1]) py::print(line);
        py::print();
    }
}

py::dict get_arr_lines_of_trace_result() {
    py::object path = g("os").attr("path").attr("join")(g("data_store_folder"), "trace_result.txt");
    py::object lines = py::list();
    try {
        lines = read_utf8(path, "readlines");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("Err when read trace_result_file:", e.value());
        lines = py::list();
    }
    return process_lines(lines);
}

py::object result_file() { return g("os").attr("path").attr("join")(g("data_store_folder"), "trace_result.txt"); }

// A plain read-only text window of the tool's own, for a system without a
// viewer; only where the window's Tk runs.
py::object show_in_own_window(py::object file_path) {
    py::object tk = g("tk");
    py::object root = py::getattr(tk, "_default_root", py::none());
    if (root.is_none()) {
        tool_write_line(std::string("vardex: no viewer to show ") + utf8_text(file_path));
        return py::none();
    }
    py::object f = py::module_::import("builtins").attr("open")(file_path, "r", py::arg("encoding") = "utf-8",
                                                                py::arg("errors") = "replace");
    py::object text = f.attr("read")();
    f.attr("close")();
    py::object top = tk.attr("Toplevel")(root);
    top.attr("title")(file_path);
    py::object frame = g("ttk").attr("Frame")(top);
    frame.attr("pack")(py::arg("fill") = "both", py::arg("expand") = true);
    // Lines are not wrapped: long report lines scroll sideways.
    py::object bar = g("ttk").attr("Scrollbar")(frame, py::arg("orient") = "vertical");
    py::object side_bar = g("ttk").attr("Scrollbar")(frame, py::arg("orient") = "horizontal");
    py::object view = tk.attr("Text")(frame, py::arg("wrap") = "none", py::arg("width") = 100,
                                      py::arg("height") = 30, py::arg("yscrollcommand") = bar.attr("set"),
                                      py::arg("xscrollcommand") = side_bar.attr("set"));
    bar.attr("configure")(py::arg("command") = view.attr("yview"));
    side_bar.attr("configure")(py::arg("command") = view.attr("xview"));
    view.attr("grid")(py::arg("row") = 0, py::arg("column") = 0, py::arg("sticky") = "nsew");
    bar.attr("grid")(py::arg("row") = 0, py::arg("column") = 1, py::arg("sticky") = "ns");
    side_bar.attr("grid")(py::arg("row") = 1, py::arg("column") = 0, py::arg("sticky") = "ew");
    frame.attr("rowconfigure")(0, py::arg("weight") = 1);
    frame.attr("columnconfigure")(0, py::arg("weight") = 1);
    view.attr("insert")("1.0", text);
    view.attr("configure")(py::arg("state") = "disabled");
    // A temporary file made for this window is not needed once it closes
    // (the destruction of its children reaches this binding too).
    py::object top_name = py::str(top);
    top.attr("bind")("<Destroy>", py::cpp_function([top_name, file_path](py::object event) {
                         if (equals(py::str(event.attr("widget")), top_name)) remove_temporary_file(file_path);
                     }),
                     "+");
    return top;
}

py::object open_txt_file(py::object file_path) {
    py::object os = g("os");
    if (!truthy(os.attr("path").attr("isfile")(file_path))) {
        py::print(py::str("File ") + py::str(file_path) + py::str(" does not exist."));
        return py::none();
    }
    py::object name = os.attr("name");
    py::object popen = g("subprocess").attr("Popen");
    if (equals(name, py::str("nt"))) {
        // The shell's "start" takes a quoted path for a window title.
        os.attr("startfile")(file_path);
        return py::none();
    }
    if (!equals(name, py::str("posix"))) return py::none();
    bool mac = truthy(py::str(os.attr("uname")().attr("sysname")).attr("lower")().attr("__contains__")("darwin"));
    const char* viewer = mac ? "open" : "xdg-open";
    if (!py::module_::import("shutil").attr("which")(viewer).is_none()) {
        py::list cmd;
        cmd.append(viewer);
        cmd.append(file_path);
        try {
            py::object viewer_process = popen(cmd);
            // A viewer that starts but cannot show the file ends with an
            // error status: the tool's own window then shows it.
            py::object root = py::getattr(g("tk"), "_default_root", py::none());
            if (!root.is_none() && py::hasattr(viewer_process, "poll")) {
                // Each scheduled call holds the check; it holds itself only weakly.
                auto checks = std::make_shared<int>(0);
                auto watch = std::make_shared<std::function<void()>>();
                std::weak_ptr<std::function<void()>> self_ref = watch;
                *watch = [root, viewer_process, file_path, checks, self_ref]() {
                    py::object code = viewer_process.attr("poll")();
                    if (code.is_none()) {
                        auto again = self_ref.lock();
                        if (again && ++*checks < 25)
                            root.attr("after")(200, py::cpp_function([again]() { (*again)(); }));
                        return;
                    }
                    if (!equals(code, py::int_(0))) show_in_own_window(file_path);
                };
                root.attr("after")(200, py::cpp_function([watch]() { (*watch)(); }));
            }
            return viewer_process;
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
    return show_in_own_window(file_path);
}

py::object show_record_as_instances() {
    py::object grouped = g("get_arr_lines_of_trace_result")();
    py::object name = temp_text_file([&](py::object f) {
        long count = 0;
        for (auto item : grouped.attr("items")()) {
            py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
            ++count;
            f.attr("write")(py::str("\u00a5\u00a5\u00a5\u00a5\u00a5\u00a5Target No.") + py::str(py::int_(count)) + py::str(":\n"));
            for (auto line : kv[1]) f.attr("write")(py::str(line) + py::str("\n"));
            f.attr("write")("\n");
        }
    });
    return g("open_txt_file")(name);
}

// The result file without its caller and report lines, written to a
// temporary file beside it and renamed over it.
void clear_info() {
    py::object path = result_file();
    // Line ends kept as they are.
    py::object src = py::module_::import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8",
                                                                  py::arg("newline") = "");
    py::list lines;
    try {
        lines = src.attr("readlines")();
        src.attr("close")();
    } catch (...) {
        src.attr("close")();
        throw;
    }
    py::list kept;
    for (auto line : lines)
        if (!truthy(line.attr("startswith")("\u2193-")) && !truthy(line.attr("startswith")("-\u2193"))) kept.append(line);
    py::object tmp = py::str(path) + py::str(".tmp");
    py::object f = py::module_::import("builtins").attr("open")(tmp, "w", py::arg("encoding") = "utf-8",
                                                                py::arg("newline") = "");
    try {
        f.attr("writelines")(kept);
        f.attr("close")();
    } catch (...) {
        f.attr("close")();
        g("os").attr("remove")(tmp);
        throw;
    }
    g("os").attr("replace")(tmp, path);
}

}  // namespace

py::object temp_text_file(const std::function<void(py::object)>& write) {
    py::object f = g("tempfile").attr("NamedTemporaryFile")(py::arg("delete") = false, py::arg("mode") = "w",
                                                            py::arg("encoding") = "utf-8", py::arg("suffix") = ".txt");
    py::object name = f.attr("name");
    try {
        write(f);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    remember_temporary_file(name);
    return name;
}

namespace {

// The record of the module's temporary files: (path, id of the process that
// made it) pairs. A process forked from the window's leaves the window's
// files alone.
constexpr const char* kTemporaryFiles = "_temporary_files";
bool exit_hook_registered = false;

py::object this_process() { return g("os").attr("getpid")(); }

void remove_quietly(py::handle path) {
    try {
        g("os").attr("remove")(path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;  // already gone, or not ours to remove any more
    }
}

}  // namespace

void remember_temporary_file(py::handle path) {
    g(kTemporaryFiles).attr("append")(py::make_tuple(path, this_process()));
    // Registered with the first file only: a process that never makes one
    // (a traced program's) gets no exit handler from the module.
    if (!exit_hook_registered) {
        py::module_::import("atexit").attr("register")(g("_remove_temporary_files"));
        exit_hook_registered = true;
    }
}

bool remove_temporary_file(py::handle path) {
    py::list files = g(kTemporaryFiles);
    py::object pid = this_process();
    for (size_t i = 0; i < files.size(); ++i) {
        py::tuple entry = files[i];
        if (equals(entry[1], pid) && equals(entry[0], path)) {
            files.attr("pop")(i);
            remove_quietly(path);
            return true;
        }
    }
    return false;
}

void remove_temporary_files() {
    py::list files = g(kTemporaryFiles);
    py::object pid = this_process();
    py::list kept;
    for (auto item : files) {
        py::tuple entry = py::reinterpret_borrow<py::tuple>(item);
        if (equals(entry[1], pid))
            remove_quietly(entry[0]);
        else
            kept.append(entry);
    }
    set_g(kTemporaryFiles, kept);
}

void register_functions(py::module_& m) {
    m.attr(kTemporaryFiles) = py::list();
    m.def("_remove_temporary_files", &remove_temporary_files);
    // A temporary text file holding `text`, recorded like the module's others; its name.
    m.def(
        "_temporary_text_file",
        [](py::object text) { return temp_text_file([&](py::object f) { f.attr("write")(text); }); },
        py::arg("text"));
    m.def("open_txt_file", &open_txt_file, py::arg("file_path"));
    m.def("show_trace_result", [] { return g("open_txt_file")(result_file()); });
    m.def("show_history", [] {
        return g("open_txt_file")(g("os").attr("path").attr("join")(g("data_store_folder"), "history.txt"));
    });
    m.def("show_record_as_instances", &show_record_as_instances);
    m.def("clear_info", &clear_info);
    m.def("process_lines", &process_lines, py::arg("lines"));
    m.def("print_grouped_data", &print_grouped_data, py::arg("grouped_data"));
    m.def("get_arr_lines_of_trace_result", &get_arr_lines_of_trace_result);
    m.def("arr_as_instances_and_show_trace_result",
          [] { g("print_grouped_data")(g("get_arr_lines_of_trace_result")()); });
}

}  // namespace vdx::results
