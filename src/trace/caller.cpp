// Source lines of frame locations and the caller block written before a report.
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "trace/trace.hpp"
#include "trace/wrappers.hpp"

namespace vdx::trace {

namespace {

// The file's lines as read (line ends kept), or an empty list for a source
// that cannot be opened (exec'd or frozen code, a missing file). Sources are
// decoded as Python decodes them; one that Python could not decode is read as
// UTF-8 with replacement characters.
PyObject* read_source_lines(PyObject* filename) {
    Ref text = Ref::steal(read_source_text(filename));
    if (text) return split_source_lines(text.get());
    if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return PyList_New(0);
    }
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_UnicodeError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError))
        return nullptr;
    PyErr_Clear();
    static PyObject* io_open = nullptr;
    if (!io_open) {
        Ref io = Ref::steal(PyImport_ImportModule("io"));
        if (!io) return nullptr;
        io_open = PyObject_GetAttrString(io.get(), "open");
        if (!io_open) return nullptr;
    }
    Ref args = Ref::steal(Py_BuildValue("(Os)", filename, "r"));
    Ref kwargs = Ref::steal(Py_BuildValue("{ssss}", "encoding", "utf-8", "errors", "replace"));
    if (!args || !kwargs) return nullptr;
    Ref f = Ref::steal(PyObject_Call(io_open, args.get(), kwargs.get()));
    if (!f) {
        if (PyErr_ExceptionMatches(PyExc_OSError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
            PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return PyList_New(0);
        }
        return nullptr;
    }
    Ref lines = Ref::steal(PyObject_CallMethod(f.get(), "readlines", nullptr));
    Ref closed = Ref::steal(PyObject_CallMethod(f.get(), "close", nullptr));
    if (!lines) {
        if (PyErr_ExceptionMatches(PyExc_OSError)) {
            PyErr_Clear();
            return PyList_New(0);
        }
        return nullptr;
    }
    if (!closed) PyErr_Clear();
    return lines.release();
}

FILE* open_result_file() {
    PyObject* path = get_global("trace_result_file_path");
    if (!path) return nullptr;
    Ref fs = Ref::steal(PyOS_FSPath(path));
    if (!fs) return nullptr;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(fs.get(), &encoded)) return nullptr;
    Ref owned = Ref::steal(encoded);
    FILE* f = std::fopen(PyBytes_AS_STRING(owned.get()), "a");
    if (!f) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, fs.get());
    return f;
}

}  // namespace

PyObject* line_from_file(PyObject* filename, PyObject* lineno_obj) {
    PyObject* main_file = get_global("project_main_file");
    if (!main_file) return nullptr;
    int is_main = PyUnicode_Check(filename) &&
                  PyUnicode_CompareWithASCIIString(filename, "<string>") == 0;
    if (!is_main) {
        is_main = PyObject_RichCompareBool(filename, main_file, Py_EQ);
        if (is_main < 0) return nullptr;
    }
    return source_line(filename, lineno_obj, is_main);
}

PyObject* source_line(PyObject* filename, PyObject* lineno_obj, bool shifted) {
    Ref name = Ref::borrow(filename);
    Ref lineno = Ref::borrow(lineno_obj);
    if (shifted) {
        PyObject* main_file = get_global("project_main_file");
        if (!main_file) return nullptr;
        PyObject* add = get_global("add_lines_lens");
        if (!add) return nullptr;
        name = Ref::borrow(main_file);
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref shift = Ref::steal(PyNumber_Add(add, one.get()));
        if (!shift) return nullptr;
        lineno = Ref::steal(PyNumber_Subtract(lineno.get(), shift.get()));
        if (!lineno) return nullptr;
    }
    PyObject* cache = get_global("_line_cache_trace");
    if (!cache) return nullptr;
    Ref lines = Ref::steal(PyObject_GetItem(cache, name.get()));
    if (!lines) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
        lines = Ref::steal(read_source_lines(name.get()));
        if (!lines || PyObject_SetItem(cache, name.get(), lines.get()) < 0) return nullptr;
    }
    Py_ssize_t count = PyObject_Size(lines.get());
    if (count < 0) return nullptr;
    int overflow = 0;
    long long index = PyLong_Check(lineno.get())
                          ? PyLong_AsLongLongAndOverflow(lineno.get(), &overflow) - 1
                          : -1;
    if (index == -2 && PyErr_Occurred()) return nullptr;
    Ref text;
    if (!overflow && index >= 0 && index < count) {
        Ref raw = Ref::steal(PySequence_GetItem(lines.get(), (Py_ssize_t)index));
        if (!raw) return nullptr;
        text = Ref::steal(PyObject_CallMethod(raw.get(), "strip", nullptr));
        if (!text) return nullptr;
    } else {
        text = Ref::steal(PyUnicode_FromString(""));
    }
    return PyTuple_Pack(2, text.get(), lineno.get());
}

int append_result_lines(PyObject* const* texts, Py_ssize_t n) {
    // The lines go out with one write: a block (a report with its caller
    // lines) stays whole beside other writers of the file, and costs one
    // system call. A text that cannot be encoded ends the block after the
    // lines before it.
    std::string block;
    int rc = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Text that UTF-8 cannot hold (lone surrogates) is kept as escapes.
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(texts[i], "utf-8", "backslashreplace"));
        if (!bytes) {
            rc = -1;
            break;
        }
        block.append(PyBytes_AS_STRING(bytes.get()), (size_t)PyBytes_GET_SIZE(bytes.get()));
        block.push_back('\n');
    }
    if (block.empty()) return rc;
    PyObject* pending = rc < 0 ? PyErr_GetRaisedException() : nullptr;
    FILE* f = open_result_file();
    if (f) {
        std::setvbuf(f, nullptr, _IONBF, 0);
        if (std::fwrite(block.data(), 1, block.size(), f) != block.size()) {
            PyErr_SetFromErrno(PyExc_OSError);
            rc = -1;
        }
        if (std::fclose(f) != 0 && !PyErr_Occurred()) {
            PyErr_SetFromErrno(PyExc_OSError);
            rc = -1;
        }
    } else {
        rc = -1;
    }
    if (pending) {
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    return rc;
}

int print_directly_is(long mode) {
    PyObject* pd = get_global("print_directly");
    if (!pd) return -1;
    Ref m = Ref::steal(PyLong_FromLong(mode));
    return PyObject_RichCompareBool(pd, m.get(), Py_EQ);
}

thread_local std::vector<Ref>* t_block_sink = nullptr;

HoldCallerBlock::HoldCallerBlock(std::vector<Ref>* sink) : previous_(t_block_sink) { t_block_sink = sink; }
HoldCallerBlock::~HoldCallerBlock() { t_block_sink = previous_; }

int write_block(const std::vector<Ref>& lines) {
    if (lines.empty()) return 0;
    std::vector<PyObject*> texts;
    for (auto& l : lines) texts.push_back(l.get());
    int echo = print_directly_is(1);
    int rc = echo < 0 ? -1 : append_result_lines(texts.data(), (Py_ssize_t)texts.size());
    if (rc == 0 && echo)
        for (PyObject* t : texts) tool_write_line(t);
    return rc;
}

// The block is one append to the result file (the file is opened once for
// it); a detail that cannot be written ends it after the lines before it.
int write_caller_details(PyObject* instance, PyObject* caller_details) {
    Ref inst = Ref::steal(report_text(instance));
    if (!inst) return -1;
    Ref header = Ref::steal(concat({VDX_STR("-----------------"), inst.get(), VDX_STR(":")}));
    if (!header) return -1;
    std::vector<Ref> lines;
    lines.push_back(header);
    auto flush = [&]() -> int {
        std::vector<PyObject*> texts;
        for (auto& l : lines) texts.push_back(l.get());
        PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
        int echo = print_directly_is(1);
        int rc = echo < 0 ? -1 : append_result_lines(texts.data(), (Py_ssize_t)texts.size());
        if (rc == 0 && echo)
            for (PyObject* t : texts) tool_write_line(t);
        if (pending) {
            if (rc < 0) PyErr_Clear();
            PyErr_SetRaisedException(pending);
            return -1;
        }
        return rc;
    };
    Ref it = Ref::steal(PyObject_GetIter(caller_details));
    if (!it) return flush() < 0 ? -1 : -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref seq = Ref::steal(PySequence_Tuple(item.get()));
        if (!seq) return flush(), -1;
        if (PyTuple_GET_SIZE(seq.get()) < 3) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)",
                         PyTuple_GET_SIZE(seq.get()));
            return flush(), -1;
        }
        if (PyTuple_GET_SIZE(seq.get()) > 3) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
            return flush(), -1;
        }
        Ref parts[3];
        for (int i = 0; i < 3; ++i) {
            parts[i] = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(seq.get(), i)));
            if (!parts[i]) return flush(), -1;
        }
        Ref detail = Ref::steal(concat({VDX_STR("\u2193-----------------"), parts[0].get(),
                                        VDX_STR(" line "), parts[1].get(), VDX_STR(":"),
                                        parts[2].get(), VDX_STR(" CALLED:")}));
        if (!detail) return flush(), -1;
        lines.push_back(detail);
    }
    if (PyErr_Occurred()) return flush(), -1;
    if (t_block_sink) {
        for (auto& l : lines) t_block_sink->push_back(l);
        return 0;
    }
    return flush();
}

void register_report_helpers(py::module_& m);
void register_tracer(py::module_& m);

void register_functions(py::module_& m) {
    register_report_helpers(m);
    register_tracer(m);
    register_wrappers(m);
    register_capture(m);
    m.def(
        "get_line_from_file",
        [](py::object filename, py::object lineno) {
            return check(line_from_file(filename.ptr(), lineno.ptr()));
        },
        py::arg("filename"), py::arg("lineno"));
    m.def(
        "print_caller_details",
        [](py::object instance, py::object caller_details) {
            check_rc(write_caller_details(instance.ptr(), caller_details.ptr()));
        },
        py::arg("instance"), py::arg("caller_details"));
}

}  // namespace vdx::trace
