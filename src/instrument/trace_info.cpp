// Caller chains, report filing and watch-string helpers.
#include "instrument/instrument.hpp"
#include "trace/trace.hpp"

#include <unordered_map>
#include <vector>

namespace vdx::instrument {

namespace {

PyObject* frame_back(PyObject* frame) {
    if (PyFrame_Check(frame)) {
        PyFrameObject* back = PyFrame_GetBack((PyFrameObject*)frame);
        if (back) return (PyObject*)back;
        Py_RETURN_NONE;
    }
    return PyObject_GetAttr(frame, VDX_STR("f_back"));
}

PyObject* frame_filename(PyObject* frame) {
    if (PyFrame_Check(frame)) {
        PyCodeObject* code = PyFrame_GetCode((PyFrameObject*)frame);
        PyObject* name = code->co_filename;
        Py_INCREF(name);
        Py_DECREF(code);
        return name;
    }
    Ref code = Ref::steal(PyObject_GetAttr(frame, VDX_STR("f_code")));
    if (!code) return nullptr;
    return PyObject_GetAttr(code.get(), VDX_STR("co_filename"));
}

// The line numbers of calling frames, by code object and instruction: the
// interpreter finds them by reading the code's line table from its start.
struct LineKey {
    PyObject* code;
    int lasti;
    bool operator==(const LineKey& o) const { return code == o.code && lasti == o.lasti; }
};
struct LineKeyHash {
    size_t operator()(const LineKey& k) const { return std::hash<void*>()(k.code) ^ ((size_t)k.lasti << 1); }
};
auto& g_line_cache = *new std::unordered_map<LineKey, int, LineKeyHash>();  // never destroyed
auto& g_line_cache_codes = *new std::vector<Ref>();                           // keeps the keys' codes alive

int caller_line(PyFrameObject* frame) {
    PyCodeObject* code = PyFrame_GetCode(frame);
    int lasti = PyFrame_GetLasti(frame);
    LineKey key{(PyObject*)code, lasti};
    auto it = g_line_cache.find(key);
    int line;
    if (it != g_line_cache.end()) {
        line = it->second;
        Py_DECREF(code);
    } else {
        line = PyFrame_GetLineNumber(frame);
        if (g_line_cache.size() > (1u << 16)) {
            g_line_cache.clear();
            g_line_cache_codes.clear();
        }
        g_line_cache.emplace(key, line);
        g_line_cache_codes.push_back(Ref::steal((PyObject*)code));
    }
    return line;
}

PyObject* frame_lineno(PyObject* frame) {
    if (PyFrame_Check(frame)) return PyLong_FromLong(caller_line((PyFrameObject*)frame));
    return PyObject_GetAttr(frame, VDX_STR("f_lineno"));
}

int starts_with(PyObject* s, const char* prefix) {
    if (!PyUnicode_Check(s)) return 0;
    Ref p = Ref::steal(PyUnicode_FromString(prefix));
    if (!p) return -1;
    Py_ssize_t r = PyUnicode_Tailmatch(s, p.get(), 0, PY_SSIZE_T_MAX, -1);
    return r < 0 ? -1 : (int)r;
}

}  // namespace

PyObject* caller_details_py(PyObject* start_frame, PyObject* ign_obj) {
    Ref captured = Ref::steal(PyList_New(0));
    if (!captured) return nullptr;
    Ref ign = Ref::borrow(ign_obj);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!zero || !one) return nullptr;
    Ref frame = Ref::borrow(start_frame);
    int depth = 0;
    while (frame.get() != Py_None) {
        Ref caller = Ref::steal(frame_back(frame.get()));
        if (!caller) return nullptr;
        int has = PyObject_IsTrue(caller.get());
        if (has < 0) return nullptr;
        if (!has) break;
        int skip = PyObject_RichCompareBool(ign.get(), zero.get(), Py_NE);
        if (skip < 0) return nullptr;
        if (skip) {
            ign = Ref::steal(PyNumber_InPlaceSubtract(ign.get(), one.get()));
            if (!ign) return nullptr;
        } else {
            Ref filename = Ref::steal(frame_filename(caller.get()));
            if (!filename) return nullptr;
            int frozen = starts_with(filename.get(), "<frozen importlib.");
            if (frozen < 0) return nullptr;
            bool string_code = PyUnicode_Check(filename.get()) &&
                               PyUnicode_CompareWithASCIIString(filename.get(), "<string>") == 0;
            // A frame's code tells where it comes from; an object standing
            // for a frame is read by its file name, "<string>" being the
            // main file.
            trace::CodeRole role = string_code ? trace::CodeRole::MainFile : trace::CodeRole::File;
            if (PyFrame_Check(caller.get())) {
                PyCodeObject* code = PyFrame_GetCode((PyFrameObject*)caller.get());
                role = trace::code_role(code);
                Py_DECREF(code);
            }
            // The child runner's own frames are not the program's callers.
            if (!frozen && role != trace::CodeRole::Runner) {
                bool main_code = role == trace::CodeRole::MainFile;
                if (main_code) {
                    PyObject* main_file = get_global("project_main_file");
                    if (!main_file) return nullptr;
                    filename = Ref::borrow(main_file);
                }
                Ref lineno = Ref::steal(frame_lineno(caller.get()));
                if (!lineno) return nullptr;
                // Code executed from a string has no file to read its line
                // from; the main file's lines are its own unless it ran from
                // a string.
                Ref line = Ref::steal(role == trace::CodeRole::OtherString ? Py_BuildValue("(sO)", "", lineno.get())
                                      : !PyFrame_Check(caller.get())
                                          ? trace::line_from_file(filename.get(), lineno.get())
                                          : trace::source_line(filename.get(), lineno.get(), main_code && string_code));
                if (!line) return nullptr;
                Ref detail = Ref::steal(PyList_New(3));
                if (!detail) return nullptr;
                PyObject* code_line = PyTuple_GET_ITEM(line.get(), 0);
                PyObject* shifted = PyTuple_GET_ITEM(line.get(), 1);
                Py_INCREF(filename.get());
                Py_INCREF(shifted);
                Py_INCREF(code_line);
                PyList_SET_ITEM(detail.get(), 0, filename.get());
                PyList_SET_ITEM(detail.get(), 1, shifted);
                PyList_SET_ITEM(detail.get(), 2, code_line);
                if (PyList_Insert(captured.get(), 0, detail.get()) < 0) return nullptr;
            }
        }
        frame = caller;
        if (++depth >= 10) break;
    }
    return captured.release();
}

PyObject* caller_details(PyObject* start_frame, long long ign) {
    Ref n = Ref::steal(PyLong_FromLongLong(ign));
    return n ? caller_details_py(start_frame, n.get()) : nullptr;
}

PyObject* shorten_report(PyObject* input_string) {
    static PyObject* pattern = nullptr;
    if (!pattern) {
        Ref re = Ref::steal(PyImport_ImportModule("re"));
        if (!re) return nullptr;
        pattern = PyObject_CallMethod(re.get(), "compile", "s", R"(([^/\\]+\.py))");
        if (!pattern) return nullptr;
    }
    Ref match = Ref::steal(PyObject_CallMethodOneArg(pattern, VDX_STR("search"), input_string));
    if (!match) return nullptr;
    if (match.get() == Py_None) return Py_NewRef(input_string);
    Ref file_name = Ref::steal(PyObject_CallMethod(match.get(), "group", "i", 1));
    if (!file_name) return nullptr;
    Py_ssize_t start = PyUnicode_Find(input_string, file_name.get(), 0, PY_SSIZE_T_MAX, 1);
    if (start < 0) return start == -2 ? nullptr : Py_NewRef(input_string);
    Ref rest = Ref::steal(PyUnicode_Substring(input_string, start, PY_SSIZE_T_MAX));
    if (!rest) return nullptr;
    return concat({VDX_STR("-\u2193--------"), rest.get()});
}

int combine_trace_info(PyObject* dict, PyObject* instance, PyObject* trace_str_list,
                       PyObject* create_instance, const std::vector<Ref>* block) {
    // The caller block goes first whatever happens to the report.
    bool block_written = !block || block->empty();
    auto write_block_alone = [&]() -> int {
        if (block_written) return 0;
        block_written = true;
        return trace::write_block(*block);
    };
    int has_dict = PyObject_IsTrue(dict);
    if (has_dict < 0) return write_block_alone(), -1;
    if (!has_dict) {
        // "No user": None or an empty built-in value. A watched instance is
        // a user even when it tests false (an empty container of its own,
        // a __len__ of 0).
        PyTypeObject* t = Py_TYPE(instance);
        bool builtin_value = instance == Py_None || t == &PyUnicode_Type || t == &PyLong_Type ||
                             t == &PyBool_Type || t == &PyFloat_Type || t == &PyTuple_Type ||
                             t == &PyList_Type || t == &PyDict_Type || t == &PyBytes_Type || t == &PySet_Type ||
                             t == &PyFrozenSet_Type || t == &PyComplex_Type || t == &PyByteArray_Type;
        int has_instance = builtin_value ? PyObject_IsTrue(instance) : 1;
        if (has_instance < 0) return write_block_alone(), -1;
        if (!has_instance) {
            if (write_block_alone() < 0) return -1;
            Ref shown = Ref::steal(PyObject_Str(trace_str_list));
            Ref line = shown ? Ref::steal(concat({VDX_STR("subprocess_trace_info "), shown.get()})) : Ref();
            if (!line) return -1;
            tool_write_line(line.get());
            return 0;
        }
    }
    if (create_instance) {
        int t = PyObject_IsTrue(create_instance);
        if (t < 0) return write_block_alone(), -1;
        if (t) {
            PyObject* watching = get_global("watching_instances");
            if (!watching) return -1;
            Ref r = Ref::steal(PyObject_CallMethodOneArg(watching, VDX_STR("append"), create_instance));
            if (!r) return write_block_alone(), -1;
        }
    }
    PyObject* flag = get_global("subprocess_flag");
    if (!flag) return write_block_alone(), -1;
    Ref one = Ref::steal(PyLong_FromLong(1));
    int in_child = PyObject_RichCompareBool(flag, one.get(), Py_EQ);
    if (in_child < 0) return write_block_alone(), -1;
    if (!in_child && write_block_alone() < 0) return -1;
    if (in_child) {
        Ref text = Ref::steal(PyUnicode_Join(VDX_STR("\uff0c"), trace_str_list));
        if (!text) return write_block_alone(), -1;
        int full = trace::print_directly_is(1);
        if (full < 0) return write_block_alone(), -1;
        std::vector<PyObject*> texts;
        if (!block_written)
            for (auto& l : *block) texts.push_back(l.get());
        texts.push_back(text.get());
        if (full)
            for (size_t i = 0; i + 1 < texts.size(); ++i) tool_write_line(texts[i]);
        // Echoed on the tool's stderr, never into the program's own output.
        if (full) {
            tool_write_line(text.get());
        } else {
            int brief = trace::print_directly_is(3);
            if (brief < 0) return write_block_alone(), -1;
            if (brief) {
                Ref shortened = Ref::steal(shorten_report(text.get()));
                if (!shortened) return write_block_alone(), -1;
                tool_write_line(shortened.get());
            }
        }
        if (trace::append_result_lines(texts.data(), (Py_ssize_t)texts.size()) < 0) return -1;
        block_written = true;
    }
    // Objects that cannot be hashed are filed by identity.
    Ref key = Ref::steal(filing_key(instance));
    if (!key) return -1;
    int known = PySequence_Contains(dict, key.get());
    if (known < 0) return -1;
    // In the traced child every report is in the result file already: a user
    // keeps its first entry (a copy's VALUE INIT line among them), which is
    // all that the child itself reads again, so memory does not grow with
    // the number of reports.
    if (in_child && known) return 0;
    if (known) {
        Ref filed = Ref::steal(PyObject_GetItem(dict, key.get()));
        if (!filed) return -1;
        Ref r = Ref::steal(PyObject_CallMethodOneArg(filed.get(), VDX_STR("extend"), trace_str_list));
        return r ? 0 : -1;
    }
    return PyObject_SetItem(dict, key.get(), trace_str_list);
}

namespace {

void combine_key_list(py::object dict, py::object key_given, py::object value_list) {
    py::object key = check(filing_key(key_given.ptr()));
    int known = PySequence_Contains(dict.ptr(), key.ptr());
    check_rc(known);
    if (!known) {
        dict[key] = value_list;
        return;
    }
    py::object existing = dict[key];
    py::list missing;
    for (auto v : value_list) {
        int in = PySequence_Contains(existing.ptr(), v.ptr());
        check_rc(in);
        if (!in) missing.append(v);
    }
    existing.attr("extend")(missing);
}

py::tuple seperate_attr_type(py::object cls, py::object attr_name_list) {
    py::list regular, with_setter, only_property, lists;
    py::object property = py::module_::import("builtins").attr("property");
    for (auto entry : attr_name_list) {
        py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(entry));
        if (pair.size() != 2) {
            PyErr_Format(PyExc_ValueError,
                         pair.size() < 2 ? "not enough values to unpack (expected 2, got %zd)"
                                         : "too many values to unpack (expected 2)",
                         (Py_ssize_t)pair.size());
            throw py::error_already_set();
        }
        py::object name = pair[0], afterstr = pair[1];
        py::str marker("$List");
        if (truthy(name.attr("endswith")(marker))) {
            py::object bare = name[py::slice(py::none(), py::int_(-5), py::none())];
            lists.append(py::list(py::make_tuple(bare, afterstr)));
            continue;
        }
        py::object original = check(PyObject_CallFunctionObjArgs(
            py::module_::import("builtins").attr("getattr").ptr(), cls.ptr(), name.ptr(),
            Py_None, nullptr));
        py::list fresh(py::make_tuple(name, afterstr));
        if (py::isinstance(original, property)) {
            if (truthy(original.attr("fset")))
                with_setter.append(fresh);
            else
                only_property.append(fresh);
        } else {
            regular.append(fresh);
        }
    }
    return py::make_tuple(regular, with_setter, only_property, lists);
}

py::object get_key_for_value(py::object d, py::object value) {
    for (auto item : d.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        if (equals(kv[1], value)) return kv[0];
    }
    return py::none();
}

py::list get_attr_name_list(py::object watch_strings) {
    py::list result;
    for (auto s : watch_strings) {
        py::object parts = s.attr("split")(".", 2);
        py::object afterstr = py::len(parts) >= 3 ? py::object(parts[py::int_(2)]) : py::str("");
        result.append(py::list(py::make_tuple(parts[py::int_(1)], afterstr)));
    }
    return result;
}

}  // namespace

void register_trace_info(py::module_& m) {
    m.def(
        "get_caller_details",
        [](py::object start_frame, py::object ign) {
            return check(caller_details_py(start_frame.ptr(), ign.ptr()));
        },
        py::arg("start_frame"), py::arg("ign") = 0);
    m.def("combine_key_list", &combine_key_list, py::arg("dict"), py::arg("key"),
          py::arg("value_list"));
    m.def(
        "combine_trace_info_list",
        [](py::object dict, py::object instance, py::object trace_str_list,
           py::object create_instance) {
            check_rc(combine_trace_info(dict.ptr(), instance.ptr(), trace_str_list.ptr(),
                                        create_instance.ptr()));
        },
        py::arg("dict"), py::arg("instance"), py::arg("trace_str_list"),
        py::arg("create_instance") = py::none());
    m.def(
        "process_string",
        [](py::object input_string) { return check(shorten_report(input_string.ptr())); },
        py::arg("input_string"));
    m.def("seperate_attr_type", &seperate_attr_type, py::arg("cls"), py::arg("attr_name_list"));
    m.def("get_key_for_value", &get_key_for_value, py::arg("d"), py::arg("value"));
    m.def("get_attr_name_list", &get_attr_name_list, py::arg("trace_class_var_list_info"));
}

}  // namespace vdx::instrument
