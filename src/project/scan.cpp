// The scan of the project's source files.
#include "project/project.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace vdx::project {

namespace {

// s.startswith(prefix) / s.endswith(suffix) with str semantics; other types go
// through their own methods.
bool str_tailmatch(PyObject* s, PyObject* part, int direction) {
    if (PyUnicode_Check(s)) {
        Py_ssize_t r = PyUnicode_Tailmatch(s, part, 0, PY_SSIZE_T_MAX, direction);
        check_rc((int)r);
        return r != 0;
    }
    py::handle h(s);
    return truthy(h.attr(direction > 0 ? "endswith" : "startswith")(py::handle(part)));
}

}  // namespace

// Folders that hold no source of the project itself: virtual environments,
// installed packages, byte-code caches and hidden folders.
bool skipped_folder(py::handle root, py::handle name) {
    // Compared as Python text: a name with an undecodable byte has no UTF-8 form.
    py::str n = py::str(name);
    if (py::len(n) == 0 || truthy(n.attr("startswith")("."))) return true;
    py::object lowered = n.attr("lower")();
    if (equals(lowered, py::str("site-packages")) || equals(lowered, py::str("__pycache__"))) return true;
    py::object ospath = g("os").attr("path");
    return truthy(ospath.attr("isfile")(ospath.attr("join")(root, name, "pyvenv.cfg")));
}

// The .py files below a folder, as (root, name) pairs in the order of the walk.
template <typename Each>
void walk_py_files(const py::object& directory_path, Each&& each) {
    for (auto step : g("os").attr("walk")(directory_path)) {
        py::tuple entry = py::reinterpret_borrow<py::tuple>(step);
        py::object root = entry[0];
        py::object dirs = entry[1];
        // Prune in place so the walk does not descend into skipped folders.
        py::list kept;
        for (auto d : dirs)
            if (!skipped_folder(root, d)) kept.append(d);
        check_rc(PySequence_SetSlice(dirs.ptr(), 0, PY_SSIZE_T_MAX, kept.ptr()));
        for (auto f : entry[2]) {
            if (!str_tailmatch(f.ptr(), VDX_STR(".py"), +1)) continue;
            if (str_tailmatch(f.ptr(), VDX_STR("._"), -1)) continue;
            each(root, f);
        }
    }
}

py::list get_py_files(py::object directory_path) {
    py::list result;
    py::object Path = g("Path");
    walk_py_files(directory_path, [&](py::handle root, py::handle name) { result.append(Path(root, name)); });
    return result;
}

py::dict create_class_instances_dict(py::object classname_list) {
    py::dict result;
    for (auto e : classname_list) {
        py::object entry = py::reinterpret_borrow<py::object>(e);
        py::object name = entry[py::int_(0)];
        py::object instances = entry[py::int_(2)];
        if (!result.contains(name)) {
            result[name] = instances;  // the entry's own list, not a copy
            continue;
        }
        // Merge into the first entry's list, adding only names it lacks, so
        // that scanning file after file does not grow it again and again.
        py::object merged = result[name];
        for (auto n : instances) {
            int has = PySequence_Contains(merged.ptr(), n.ptr());
            check_rc(has);
            if (!has) merged.attr("append")(n);
        }
    }
    return result;
}

namespace {

struct FileScan {
    py::object changes;
    py::object class_lines;
    py::object spans;
    py::object defined_classes;
};

FileScan run_visitor(py::object visitor_class, py::object file_path, py::object code_lines,
                     py::object variable_names, py::object class_instances) {
    py::object visitor =
        visitor_class(file_path, code_lines, variable_names, g("func_pattern"), class_instances);
    return {visitor.attr("changes"), visitor.attr("class_lines"), py::getattr(visitor, "change_spans", py::none()),
            py::getattr(visitor, "defined_classes", py::set())};
}

}  // namespace

py::tuple get_aim_vars_info(py::object file_path, py::object code_lines, py::object variable_names,
                            py::object trace_classname_list) {
    py::dict class_instances = create_class_instances_dict(trace_classname_list);
    FileScan r = run_visitor(g("VariableModificationVisitor"), file_path, code_lines,
                             variable_names, class_instances);
    return py::make_tuple(r.changes, r.class_lines);
}

void create_class_filter_lines_dict(py::object trace_class_lines_dict) {
    py::dict result;
    py::object items = trace_class_lines_dict.attr("items")();
    for (auto fe : items) {
        py::tuple file_entry = py::reinterpret_borrow<py::tuple>(fe);
        py::object file_name = file_entry[0];
        for (auto ce : file_entry[1].attr("items")()) {
            py::tuple class_entry = py::reinterpret_borrow<py::tuple>(ce);
            py::object class_name = class_entry[0];
            if (!result.contains(class_name)) result[class_name] = py::list();
            Ref lines = Ref::steal(PySet_New(nullptr));
            if (!lines) throw py::error_already_set();
            for (auto ie : class_entry[1].attr("items")()) {
                py::object instance_lines = py::reinterpret_borrow<py::tuple>(ie)[1];
                for (auto n : instance_lines) check_rc(PySet_Add(lines.get(), n.ptr()));
            }
            py::list sorted = check(PySequence_List(lines.get()));
            check_rc(PyList_Sort(sorted.ptr()));
            py::list pair;
            pair.append(file_name);
            pair.append(sorted);
            result[class_name].attr("append")(pair);
        }
    }
    set_g("class_filter_lines_dict", result);
}

namespace {

// ------------------------------------------------------------ the scan's cache
//
// The records of each file are kept between runs, in the user's cache
// folder, one file per project folder and watch: a later run reads them for
// every file whose size and modification time (in nanoseconds) are those it
// was scanned at, and scans only the others. What decides the records is the
// key of the cache file: the project folder, the watched names, lists and
// classes (with their instance names), and the module itself (its version,
// and its file's size and time, so that every build has its own). A cache
// that cannot be read or written is said in one line and the scan goes on
// without it.

py::object cache_folder() {
    py::object os = g("os");
    py::object environ = os.attr("environ");
    py::object ospath = os.attr("path");
    if (equals(os.attr("name"), py::str("nt"))) {
        py::object base = environ.attr("get")("LOCALAPPDATA");
        if (base.is_none() || !truthy(base)) base = ospath.attr("expanduser")("~");
        return ospath.attr("join")(base, "vardex", "cache");
    }
    py::object base = environ.attr("get")("XDG_CACHE_HOME");
    if (base.is_none() || !truthy(base)) {
        bool mac = equals(g("sys").attr("platform"), py::str("darwin"));
        base = mac ? ospath.attr("join")(ospath.attr("expanduser")("~"), "Library", "Caches")
                   : ospath.attr("join")(ospath.attr("expanduser")("~"), ".cache");
    }
    return ospath.attr("join")(base, "vardex");
}

struct ScanCache {
    bool on = false;
    py::object path;                  // the cache file
    py::object key;                   // what decides the records
    py::dict files;                   // path -> (size, mtime_ns, changes, class_lines, spans, defined)
    bool changed = false;
    bool said = false;                // one line a scan says of it at most
    bool loaded = false;              // read from an existing file
};

py::object module_identity() {
    py::object os = g("os");
    py::object st = os.attr("stat")(g("__file__"));
    return py::make_tuple(g("__version__"), st.attr("st_size"), st.attr("st_mtime_ns"),
                          g("sys").attr("implementation").attr("cache_tag"));
}

void cache_warning(ScanCache& c, const std::string& what, py::error_already_set& e) {
    if (c.said) return;
    c.said = true;
    tool_message("the scan cache " + what + " (" + utf8_text(py::str(e.type().attr("__name__"))) + ": " +
                 utf8_text(e.value()) + "); the project is scanned without it");
}

ScanCache open_cache(const py::object& folder, const py::object& names, const py::object& classes) {
    ScanCache c;
    PyObject* enabled = PyDict_GetItemWithError(module_dict(), VDX_STR("scan_cache"));
    if (!enabled && PyErr_Occurred()) throw py::error_already_set();
    if (enabled && !truthy(enabled)) return c;
    // A traced child of a run without the cache is told so by the runner.
    if (equals(g("os").attr("environ").attr("get")("VARDEX_SCAN_CACHE", ""), py::str("0"))) return c;
    py::object marshal = py::module_::import("marshal");
    try {
        py::object os = g("os");
        py::list class_key;
        for (auto entry : classes) {
            py::object e = py::reinterpret_borrow<py::object>(entry);
            class_key.append(py::make_tuple(py::str(e[py::int_(0)]), py::repr(e[py::int_(2)])));
        }
        c.key = py::make_tuple(py::str(os.attr("path").attr("abspath")(folder)), py::repr(names), py::repr(class_key),
                               module_identity());
        // The file's name: a 64-bit FNV-1a hash of the key (hashlib would
        // cost the child more than the scan it saves on a small project).
        std::string bytes = py::bytes(marshal.attr("dumps")(c.key));
        unsigned long long h = 14695981039346656037ULL;
        for (unsigned char ch : bytes) h = (h ^ ch) * 1099511628211ULL;
        char name[40];
        snprintf(name, sizeof name, "scan-%016llx.marshal", h);
        c.path = os.attr("path").attr("join")(cache_folder(), name);
        c.on = true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        cache_warning(c, "cannot be used", e);
        return c;
    }
    py::object data;
    try {
        data = marshal.attr("loads")(read_bytes(c.path));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileNotFoundError)) return c;
        if (!e.matches(PyExc_Exception)) throw;
        cache_warning(c, utf8_text(c.path) + " could not be read", e);
        return c;
    }
    // Only a file of this very key, with entries of the expected shape.
    bool ok = PyTuple_Check(data.ptr()) && py::len(data) == 2 && equals(data[py::int_(0)], c.key) &&
              PyDict_Check(py::object(data[py::int_(1)]).ptr());
    if (ok) {
        for (auto item : py::dict(data[py::int_(1)])) {
            PyObject* v = item.second.ptr();
            if (!PyTuple_Check(v) || PyTuple_GET_SIZE(v) != 6 || !PyList_Check(PyTuple_GET_ITEM(v, 2)) ||
                !PyDict_Check(PyTuple_GET_ITEM(v, 3)) || !PyAnySet_Check(PyTuple_GET_ITEM(v, 5))) {
                ok = false;
                break;
            }
        }
    }
    if (!ok) {
        c.said = true;
        tool_message("the scan cache " + utf8_text(c.path) + " is not one this run can use; the project is scanned afresh");
        return c;
    }
    c.files = py::dict(data[py::int_(1)]);
    c.loaded = true;
    return c;
}

// The cache folder keeps the files of the most recently used keys: every
// other project, watch and build would otherwise leave one behind for good.
// A read refreshes its file's time; a write removes the oldest files beyond
// kCacheFiles, and temporary files an interrupted write left over an hour
// ago. Files of other names are never touched.
constexpr size_t kCacheFiles = 64;
constexpr double kStaleTemporary = 3600.0;

void touch_cache(const ScanCache& c) {
    try {
        g("os").attr("utime")(c.path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;  // a read-only cache is still read
    }
}

void prune_cache(const py::object& folder, const py::object& kept) {
    py::object os = g("os");
    std::vector<std::pair<long long, py::object>> files;
    double now;
    try {
        // The time of the file just written stands for "now".
        now = py::float_(os.attr("stat")(kept).attr("st_mtime")).cast<double>();
        py::object entries = os.attr("scandir")(folder);
        try {
            for (auto entry : entries) {
                // Compared as Python text: a name that is not valid UTF-8 is
                // simply not one of ours.
                py::object name = entry.attr("name");
                bool cache_file = truthy(name.attr("startswith")("scan-"));
                bool temporary = cache_file && truthy(name.attr("endswith")(".tmp"));
                bool data = cache_file && truthy(name.attr("endswith")(".marshal"));
                if (!temporary && !data) continue;
                py::object path = entry.attr("path");
                try {
                    py::object st = entry.attr("stat")(py::arg("follow_symlinks") = false);
                    if (temporary) {
                        if (now - py::float_(st.attr("st_mtime")).cast<double>() > kStaleTemporary)
                            os.attr("remove")(path);
                    } else if (!equals(path, kept)) {
                        files.emplace_back(st.attr("st_mtime_ns").cast<long long>(), path);
                    }
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_OSError)) throw;  // gone meanwhile, or not ours to remove
                }
            }
        } catch (...) {
            entries.attr("close")();
            throw;
        }
        entries.attr("close")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return;
    }
    if (files.size() < kCacheFiles) return;  // the kept file makes one more
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = kCacheFiles - 1; i < files.size(); ++i) {
        try {
            os.attr("remove")(files[i].second);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
}

void save_cache(ScanCache& c, const py::set& seen) {
    if (!c.on) return;
    // Files that are gone leave the cache.
    py::list gone;
    for (auto item : c.files)
        if (!seen.contains(item.first)) gone.append(item.first);
    for (auto k : gone) c.files.attr("pop")(k);
    if (!c.changed && py::len(gone) == 0) {
        if (c.loaded) touch_cache(c);
        return;
    }
    py::object os = g("os");
    py::object tmp = py::none();
    try {
        py::object folder = os.attr("path").attr("dirname")(c.path);
        os.attr("makedirs")(folder, py::arg("exist_ok") = true);
        py::object marshal = py::module_::import("marshal");
        tmp = py::str(c.path) + py::str(".") + py::str(py::int_(os.attr("getpid")())) + py::str(".tmp");
        py::object f = py::module_::import("builtins").attr("open")(tmp, "wb");
        try {
            marshal.attr("dump")(py::make_tuple(c.key, c.files), f);
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        os.attr("replace")(tmp, c.path);
        tmp = py::none();
        prune_cache(folder, c.path);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        if (!tmp.is_none()) {
            try {
                os.attr("remove")(tmp);
            } catch (py::error_already_set&) {
            }
        }
        cache_warning(c, utf8_text(c.path) + " could not be written", e);
    }
}

// The .py files of the project as text paths, in the order of get_py_files.
py::list project_files(const py::object& folder) {
    py::list result;
    py::object join = g("os").attr("path").attr("join");
    walk_py_files(folder, [&](py::handle root, py::handle name) { result.append(join(root, name)); });
    return result;
}

}  // namespace

py::tuple read_in_folder() {
    py::object names = check(PyNumber_Add(g("trace_var_list").ptr(), g("trace_list_list").ptr()));
    py::object classname_list = g("trace_classname_list");
    py::list aim_info, aim_files, line_numbers, spans;
    py::dict class_lines_table;
    set_g("trace_files_class_lines_dict", class_lines_table);
    // The watched classes some file defines.
    py::set defined;
    set_g("_defined_classes", defined);
    auto started = std::chrono::steady_clock::now();
    size_t scanned = 0;
    py::object folder = g("folder_path");
    ScanCache cache = open_cache(folder, names, classname_list);
    py::set seen;
    py::object os = g("os");
    for (auto p : project_files(folder)) {
        py::str path = py::reinterpret_borrow<py::str>(p);
        FileScan r;
        py::object stamp;
        if (cache.on) {
            try {
                py::object st = os.attr("stat")(path);
                stamp = py::make_tuple(st.attr("st_size"), st.attr("st_mtime_ns"));
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;
            }
            seen.add(path);
            PyObject* hit = stamp.is_none() ? nullptr : PyDict_GetItemWithError(cache.files.ptr(), path.ptr());
            if (!hit && PyErr_Occurred()) throw py::error_already_set();
            if (hit && equals(py::make_tuple(py::handle(PyTuple_GET_ITEM(hit, 0)), py::handle(PyTuple_GET_ITEM(hit, 1))), stamp)) {
                r.changes = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(hit, 2));
                r.class_lines = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(hit, 3));
                r.spans = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(hit, 4));
                r.defined_classes = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(hit, 5));
            }
        }
        if (!r.changes) {
            ++scanned;
            py::dict class_instances = create_class_instances_dict(classname_list);
            py::object visitor_class = g("VariableModificationVisitor");
            try {
                r = run_visitor(visitor_class, g("Path")(path), py::none(), names, class_instances);
            } catch (py::error_already_set& e) {
                // One file the finder cannot analyse (null bytes, nesting too deep
                // for the parser) must not cost the whole scan: it contributes
                // nothing, like an unreadable file.
                if (!e.matches(PyExc_Exception)) throw;
                // Said on the tool's stderr: the program's own output stays as it is.
                tool_write_line(py::str("err when scan file: {}: {}: {}")
                                    .format(path, e.type().attr("__name__"), e.value())
                                    .ptr());
                continue;
            }
            if (cache.on && !stamp.is_none()) {
                // Kept as plain built-in values, as the cache file holds them.
                cache.files[path] = py::make_tuple(stamp[py::int_(0)], stamp[py::int_(1)], py::list(r.changes),
                                                   py::dict(r.class_lines),
                                                   r.spans.is_none() ? py::object(py::none()) : py::object(py::list(r.spans)),
                                                   py::set(r.defined_classes));
                cache.changed = true;
            }
        }
        py::str file_name(path);
        if (truthy(r.changes)) {
            py::list pair;
            pair.append(file_name);
            pair.append(r.changes);
            aim_info.append(pair);
            for (auto rec : r.changes) line_numbers.append(rec[py::int_(0)]);
            aim_files.append(file_name);
            spans.append(r.spans);
        }
        if (truthy(r.class_lines)) class_lines_table[file_name] = r.class_lines;
        for (auto c : r.defined_classes) defined.add(c);
    }
    save_cache(cache, seen);
    create_class_filter_lines_dict(g("trace_files_class_lines_dict"));
    // Where each record's code starts, parallel to the aim info list.
    set_g("trace_aim_spans", spans);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (seconds > 1.0)
        tool_write_line(py::str("vardex: scanned {} files in {:.1f} s").format(scanned, seconds).ptr());
    py::list distinct = check(PySequence_List(check(PySet_New(line_numbers.ptr())).ptr()));
    aim_files.append("<string>");
    return py::make_tuple(aim_info, aim_files, distinct);
}

void register_scan(py::module_& m) {
    m.def("read_in_folder", &read_in_folder);
    m.def("get_py_files", &get_py_files, py::arg("directory_path"));
    m.def("create_class_instances_dict", &create_class_instances_dict, py::arg("classname_list"));
    // The two list defaults are single objects shared by every call that omits them.
    m.def("get_aim_vars_info", &get_aim_vars_info, py::arg("file_path") = py::none(),
          py::arg("code_lines") = py::none(), py::arg("variable_names") = py::list(),
          py::arg("trace_classname_list") = py::list());
    m.def("create_class_filter_lines_dict", &create_class_filter_lines_dict,
          py::arg("trace_class_lines_dict"));
}

}  // namespace vdx::project
