// Class and container instrumentation: report filing, watch-string helpers,
// the observable list.
#pragma once
#include "common/pyobj.hpp"

#include <vector>

namespace vdx::instrument {

void register_functions(py::module_& m);

// The callers of a frame, outermost first, at most ten levels (new ref).
PyObject* caller_details(PyObject* start_frame, long long ign);
// The same with `ign` as any Python number (compared with != 0, decremented).
PyObject* caller_details_py(PyObject* start_frame, PyObject* ign);

// Files one report: echo, result-file line and the user's entry in `dict`.
// `block`: a caller block to write first, in the same append.
int combine_trace_info(PyObject* dict, PyObject* instance, PyObject* trace_str_list,
                       PyObject* create_instance, const std::vector<Ref>* block = nullptr);

// A report line shortened for the terminal (new ref).
PyObject* shorten_report(PyObject* input_string);

// ---------------------------------------------------------------- filing

// The key an object is filed under in the tracer's dictionaries: the object
// itself, or a key standing for it by identity when it cannot be hashed.
PyObject* filing_key(PyObject* obj);
// The object a key of those dictionaries stands for (borrowed).
PyObject* filed_object(PyObject* key);
// Where a frame is, as reports name it: the file (the main file's path for its
// code), the line in that file's own numbering and the stripped source text.
int frame_location(PyObject* frame, Ref& file, Ref& lineno, Ref& text);
// The users of a list, each once, in first-occurrence order (new list).
PyObject* distinct_users(PyObject* users);
// `user in seq`, identity first.
int contains_user(PyObject* seq, PyObject* user);
// Writes the caller block and files one report line for a user.
int file_report(PyObject* user, PyObject* callers, PyObject* report, PyObject* create_instance);
// [value] followed by the values along its watched path (new list).
PyObject* values_along(PyObject* value, PyObject* afterstr);
// An object's `_report_user_list`, created as [obj] when missing (new ref).
PyObject* users_of(PyObject* obj);
// A new list of report users, holding `first` unless it is nullptr.
PyObject* new_user_list(PyObject* first);

// ---------------------------------------------------------------- hooks

// Captured: installed on a watched class by the tracer; Generated: on a
// generated subclass of an object further down a watched path.
enum HookMode { kCaptured = 0, kGenerated = 1 };
// The replacement __setattr__ (new ref).
PyObject* new_attr_hook(int mode, PyObject* original_setattr, PyObject* derived);
bool is_attr_hook(PyObject* obj);
// The wrapped setter of a property (new ref).
PyObject* new_setter_hook(int mode, PyObject* attr_name, PyObject* original_setter, PyObject* afterstr,
                          PyObject* derived);
// After a watched attribute with a deeper path changed: the assigned value is
// instrumented for the rest of the path with the owner's users, and the old
// value stops reporting to them.
int move_watched_path(PyObject* owner, PyObject* afterstr, PyObject* assigned, PyObject* old_value);
// Instruments an object for the given watch entries (the generated class, or
// None when the object cannot be instrumented). New ref or nullptr.
PyObject* instrument_path(PyObject* attr_name_list, PyObject* instance1, PyObject* original_instances);
// Appends to the class's table (found through the class, so a base's table is
// shared) a copy of each entry it lacks, creating the table when there is
// none; returns the entries that were new.
py::list merge_table(py::handle cls, const char* table_name, py::handle entries);
// A new [name, afterstr] watch entry with the name interned (hooks compare it by identity first).
py::list fresh_pair(py::handle pair);

// ---------------------------------------------------------------- lists

PyObject* new_observable_list(PyObject* owner, PyObject* attr_name, PyObject* items);
bool is_observable_list(PyObject* obj);
bool is_list_descriptor(PyObject* obj);
PyObject* new_list_descriptor(PyObject* instance, PyObject* strA, PyObject* attr_name, PyObject* current);

}  // namespace vdx::instrument
