// Run: the rows become the trace configuration and the project starts in a
// child; the status line follows the child with after() polling. Also the
// thin handlers of the result buttons, the file button of line rows and the
// close request.
#include "gui/gui_util.hpp"
#include "project/project.hpp"
#include "results/results.hpp"

namespace vdx::gui {

namespace {

constexpr int kPollMs = 200;


// The "Actual values" box: reports observed after each statement.
void set_observe(py::object self) {
    set_g("observe_values", py::int_(equals(self.attr("observe_var").attr("get")(), py::str("1")) ? 1 : 0));
}

void simple_collect(py::object self) {
    for (const char* name : {"trace_classname_list", "trace_var_list", "trace_list_list", "trace_stop_list"})
        set_g(name, py::list());
    set_g("print_directly", py::int_(3));
    set_observe(self);
    py::list entries = self.attr("entries");
    if (py::len(entries) == 0) return;
    py::dict map = entries[0].cast<py::tuple>()[0];
    g("trace_var_list").attr("extend")(split_names(typed(map["Input Var Names"])));
}

void collect(py::object self) {
    py::list classes, vars, lists, stops, targets;
    set_g("trace_classname_list", classes);
    set_g("trace_var_list", vars);
    set_g("trace_list_list", lists);
    set_g("trace_stop_list", stops);
    set_g("trace_target_line_list", targets);
    set_g("print_directly", py::bool_(equals(self.attr("top_enable_var").attr("get")(), py::str("1"))));
    set_observe(self);
    for (auto row : self.attr("entries")) {
        py::tuple r = py::reinterpret_borrow<py::object>(row).cast<py::tuple>();
        py::dict map = r[0];
        bool enabled = equals(r[1].attr("get")(), py::str("1"));
        if (map.contains("Input Class Names")) {
            py::object cls = typed(map["Input Class Names"]), var = typed(map["Input Var Names"]),
                       lst = typed(map["Input List Names"]), inst = typed(map["Input instance Names"]);
            if (!truthy(cls) && !truthy(var) && !truthy(lst) && !truthy(inst)) continue;
            if (!enabled) continue;
            if (truthy(cls)) {
                py::list attrs;
                for (auto n : split_names(var)) attrs.append(py::str("$item.") + py::str(n));
                for (auto n : split_names(lst)) attrs.append(py::str("$item.") + py::str(n) + py::str("$List"));
                py::list entry;
                entry.append(cls);
                entry.append(attrs);
                entry.append(split_names(inst));
                classes.append(entry);
            } else {
                if (truthy(var)) vars.attr("extend")(split_names(var));
                if (truthy(lst)) lists.attr("extend")(split_names(lst));
            }
        } else if (map.contains("File Path") || map.contains("Trace Target Path")) {
            bool stop = map.contains("File Path");
            py::object path = typed(map[stop ? "File Path" : "Trace Target Path"]);
            py::object line = typed(map["Line Number"]);
            if (!truthy(path) || !truthy(line)) continue;
            enabled = equals(map["Enabled"].attr("get")(), py::str("1"));
            if (!enabled) continue;
            for (auto n : split_line_numbers(line)) {
                py::list pair;
                pair.append(path);
                pair.append(n);
                (stop ? stops : targets).append(pair);
            }
        }
    }
}

void set_status(py::object self, py::object text) { self.attr("status_label").attr("configure")(py::arg("text") = text); }

long count_reports() {
    py::object path = g("trace_result_file_path");
    long n = 0;
    try {
        py::object f = py::module_::import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8",
                                                                    py::arg("errors") = "replace");
        for (auto line : f) n += truthy(line.attr("startswith")("-\u2193"));
        f.attr("close")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
    return n;
}

// Said after the run's status texts: the stop lines of the run that can
// never be reached, "" when there are none.
py::object unreachable_stop_lines(py::object self) {
    py::list said;
    for (auto item : g("trace_stop_list")) {
        py::object pair = py::reinterpret_borrow<py::object>(item);
        py::object path = pair[py::int_(0)];
        int overflow = 0;
        long line = PyLong_AsLongAndOverflow(py::object(pair[py::int_(1)]).ptr(), &overflow);
        if (line == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow) continue;  // beyond any file, but not a number to show
        std::string reason;
        if (line < 1) {
            reason = "there is no line " + std::to_string(line);
        } else {
            try {
                reason = project::stop_line_problem(path, line);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                continue;  // not known to be wrong: the run tells
            }
        }
        if (reason.empty()) continue;
        py::object text = py::str("{}{}:{}{}{}").format(tr(self, "stop line ", "\u505c\u6b62\u884c "),
                                                      py::str(utf8_text(path)), line,
                                                      tr(self, " can never be reached: ",
                                                         " \u6c38\u8fdc\u65e0\u6cd5\u5230\u8fbe\uff1a"),
                                                      py::str(reason));
        int has = PySequence_Contains(said.ptr(), text.ptr());
        check_rc(has);
        if (!has) said.append(text);  // one row given twice is said once
    }
    if (py::len(said) == 0) return py::str("");
    bool zh = py::int_(self.attr("language")).cast<int>() == 1;
    return py::str(zh ? "\uff08" : " (") + py::str(zh ? "\uff1b" : "; ").attr("join")(said) + py::str(zh ? "\uff09" : ")");
}

void poll(py::object self, py::object process, py::object note) {
    py::object code = process.attr("poll")();
    if (code.is_none()) {
        self.attr("master").attr("after")(kPollMs,
                                          py::cpp_function([self, process, note]() { poll(self, process, note); }));
        return;
    }
    py::list running;
    for (auto p : self.attr("processes"))
        if (!p.is(process) && p.attr("poll")().is_none()) running.append(p);
    self.attr("processes") = running;
    if (py::len(running)) return;  // a later run is still going: its end will be shown
    set_status(self, py::str("{} {}; {} {}{}").format(tr(self, "run ended with exit status", "\u8fd0\u884c\u7ed3\u675f\uff0c\u9000\u51fa\u72b6\u6001"), code,
                                                   count_reports(), tr(self, "reports in trace_result.txt", "\u6761\u62a5\u544a\u5728 trace_result.txt"),
                                                   note));
}

void ok(py::object self) {
    if (truthy(self.attr("simple_mode"))) {
        self.attr("save_history")();
        self.attr("simple_collect_info_to_run")();
    } else {
        self.attr("save_data")();
        self.attr("collect_info_to_run")();
    }
    // The rows stay as they are and the run goes on; the status line says it.
    py::object note = unreachable_stop_lines(self);
    py::object process;
    if (!truthy(g("trace_classname_list")) && !truthy(g("trace_var_list")) && !truthy(g("trace_list_list"))) {
        // Nothing to watch: the program runs untraced, in a child, so that
        // the window stays.
        tool_write_line(std::string("No trace info selected, run without trace now."));
        py::list cmd;
        cmd.append(g("sys").attr("executable"));
        py::object given = g("main_file_as_given");
        cmd.append(truthy(given) ? given : g("project_main_file"));
        for (auto a : g("program_args")) cmd.append(a);
        process = g("subprocess").attr("Popen")(cmd);
    } else {
        process = project::run_capturing_child(py::none());
    }
    if (process.is_none()) {
        set_status(self, tr(self, "not started: the previous run is still writing the result file",
                                     "\u672a\u542f\u52a8\uff1a\u4e0a\u4e00\u6b21\u8fd0\u884c\u4ecd\u5728\u5199\u7ed3\u679c\u6587\u4ef6"));
        return;
    }
    self.attr("processes").attr("append")(process);
    self.attr("monitor_process")(process);
    set_status(self, tr(self, "running ...", "\u6b63\u5728\u8fd0\u884c ...") + note);
    self.attr("master").attr("after")(kPollMs,
                                      py::cpp_function([self, process, note]() { poll(self, process, note); }));
}

void select_py_file(py::object self, py::object entries, py::object) {
    py::object start = self.attr("last_dialog_folder");
    if (!truthy(start)) start = g("folder_path");
    py::list types;
    types.append(py::make_tuple("Python files", "*.py"));
    py::object chosen = g("filedialog").attr("askopenfilename")(py::arg("initialdir") = start,
                                                                py::arg("filetypes") = types);
    if (!truthy(chosen)) return;
    // The project folder stays; only the next dialog starts where this one ended.
    self.attr("last_dialog_folder") = g("os").attr("path").attr("dirname")(chosen);
    py::object field = entries.contains("File Path") ? entries["File Path"] : entries["Trace Target Path"];
    field.attr("configure")(py::arg("state") = "normal");
    field.attr("delete")(0, g("tk").attr("END"));
    field.attr("insert")(0, chosen);
    field.attr("configure")(py::arg("state") = "readonly");
}

bool run_going(py::object self) {
    for (auto p : self.attr("processes"))
        if (p.attr("poll")().is_none()) return true;
    return false;
}

void clear_info(py::object self) {
    if (run_going(self)) {
        set_status(self, tr(self, "a run is still going: the result file was not cleared",
                                     "\u8fd0\u884c\u4ecd\u5728\u8fdb\u884c\uff1a\u672a\u6e05\u9664\u7ed3\u679c\u6587\u4ef6"));
        return;
    }
    try {
        g("clear_info")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        set_status(self, py::str(tr(self, "the result file could not be cleared: ",
                                             "\u65e0\u6cd5\u6e05\u9664\u7ed3\u679c\u6587\u4ef6\uff1a")) +
                             py::str(e.value()));
        return;
    }
    py::print("The past trace info cleared, instance name left. You can try 'Show trace result' to check.");
}

}  // namespace

void register_run(py::module_&, py::object cls) {
    method(cls, "ok", py::cpp_function(&ok));
    method(cls, "simple_collect_info_to_run", py::cpp_function(&simple_collect));
    method(cls, "collect_info_to_run", py::cpp_function(&collect));
    method(cls, "select_py_file",
           py::cpp_function(&select_py_file, py::arg("self"), py::arg("entries"), py::arg("entry_frame")));
    method(cls, "show_record", py::cpp_function([](py::object) { g("show_trace_result")(); }));
    method(cls, "show_record_as_instances", py::cpp_function([](py::object) { g("show_record_as_instances")(); }));
    method(cls, "print_in_terminal", py::cpp_function([](py::object) {
               g("arr_as_instances_and_show_trace_result")();
           }));
    method(cls, "clear_info", py::cpp_function(&clear_info));
    method(cls, "on_closing", py::cpp_function([](py::object) {
               results::remove_temporary_files();
               g("sys").attr("exit")();
           }));
    method(cls, "monitor_process", py::cpp_function([](py::object, py::object) {}, py::arg("self"),
                                                    py::arg("process")));
}

}  // namespace vdx::gui
