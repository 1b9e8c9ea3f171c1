// Internal to the trace runtime: where watched statements start in the
// bytecode, what the program's frames hold, and the reports of one line event.
#pragma once
#include "common/pyobj.hpp"
#include "common/record_flags.hpp"

#include <memory>
#include <vector>

namespace vdx::trace {

// ------------------------------------------------------------ frame values

// A name as the frame's code would read it, without running program code:
// 1 with *out (new ref), 0 when unbound or not readable, -1 with an error.
int lookup_name(PyFrameObject* frame, PyObject* name, PyObject** out);
// The same where a binding of the frame's code stores the name: its own
// namespace (a local, a global it declares, or the class body's or module's
// mapping), never a scope further out or the builtins.
int lookup_binding(PyFrameObject* frame, PyObject* name, PyObject** out);
// Whether v and everything inside it is of an exact built-in value type (int,
// float, complex, bool, str, bytes, None, and tuple/list/dict/set/frozenset of
// such); operations on such values cannot call back into the program.
bool is_inert(PyObject* v);
// Evaluates a source fragment in the frame when that cannot run program code.
// Returns a new ref; nullptr with *unsafe set and no error when it would;
// nullptr with an error when the evaluation itself raised.
// `name`/`value`, when given, stand for that name's value (an earlier
// statement of the same line has just given it).
PyObject* safe_eval(PyFrameObject* frame, PyObject* src, bool* unsafe, PyObject* name = nullptr,
                    PyObject* value = nullptr);
// copy.deepcopy of an inert value (new ref or nullptr with an error).
PyObject* deep_copy(PyObject* v);
// Whether v is of an exact immutable built-in value type: numbers, str,
// bytes, None, and tuples and frozensets of such.
bool is_immutable(PyObject* v);
// A copy of an inert value that shares only its immutable parts (new ref or
// nullptr with an error); made in C, without copy.deepcopy.
PyObject* inert_copy(PyObject* v, int depth = 0);
// Whether a source fragment can be evaluated without running program code
// (names, constants, displays, operators and subscripts only).
bool expression_is_plain(PyObject* src);
// Checks the interpreter frame layout against a live frame; call once at load.
void check_interpreter_frame_layout();

// ------------------------------------------------------------ watched records

// One modification record with where it sits in its file.
struct Record {
    Ref tuple;     // the record as the scan made it
    Ref name;      // item 1: the watched name
    Ref op;        // item 2
    long line = 0; // item 0
    int l0 = 0, c0 = 0, l1 = 0, c1 = 0;  // the code that starts the change
    int group = 0;                       // the statement (or header expression) around it
    int gl0 = 0, gc0 = 0, gl1 = 0, gc1 = 0;
    int flags = 0;
    Ref key;  // the source of the item it assigns or deletes, when it does
};

struct FileRecords {
    Ref file;  // the file name reports use
    std::vector<Record> records;
};

// ------------------------------------------------------------ code maps

// A path that leaves the frame (return, raise, yield) ends at that
// instruction; the frame's "return" event is at it too.
constexpr int kExit = -1;  // leaving from somewhere else (an exception)
inline int exit_target(int instruction) { return -(instruction + 2); }

struct Outcome {
    int target;              // instruction of the next line event, or exit_target()
    std::vector<int> must;   // entries passed on every path to it
    std::vector<int> may;    // entries passed on some path to it
};

struct EventAction {
    bool computed = false;
    std::vector<int> certain;   // entries passed before the next line event
    std::vector<int> possible;  // entries that may be passed, decided at the next event
    std::vector<Outcome> outcomes;
};

struct CodeMap {
    Ref code;
    std::shared_ptr<FileRecords> file;  // null: nothing watched in this code
    int shift = 0;                      // raw line = source line + shift
    bool any = false;                   // some record starts in this code
    // per instruction
    std::vector<int> offset, line, succ1, succ2;  // succ: instruction index or -1
    std::vector<unsigned char> marked, backjump, terminal, resume, yields;
    std::vector<unsigned char> loop_exit;  // FOR_ITER, SEND and their ends: an exhausted iterator goes on past the loop
    // Entries: the places where a record's code starts (a record may have
    // several, where the compiler copied its code). Sets of outcomes and
    // actions hold entry numbers, so each copy that runs counts.
    std::vector<std::vector<int>> entries;  // per instruction: the entries starting there
    std::vector<int> unit_to_instr;         // code unit -> instruction index
    std::vector<int> entry_rec, entry_instr;  // per entry: its record and instruction
    std::vector<int> group_lo, group_hi;      // per entry: the run of its statement
    std::vector<EventAction> actions;
    std::vector<std::vector<Outcome>> memo;
    std::vector<unsigned char> memo_done;

    int instruction_at(int lasti) const {
        int unit = lasti / 2;
        if (unit < 0 || unit >= (int)unit_to_instr.size()) return -1;
        return unit_to_instr[unit];
    }
    const EventAction& action(int k);
    // Whether a line event at instruction k can ever matter: it starts
    // watched statements, may settle the reports of an earlier event, or
    // lies inside a statement spread over lines. Places that cannot are
    // switched off under sys.monitoring.
    bool place_needed(int k);
    std::vector<unsigned char> needed;  // filled at the first place_needed()
    // Places needed only to settle what an earlier event left open: while no
    // frame of the code has reports open they can be switched off, and come
    // back when one has (see engine_set_rearm_hook).
    std::vector<unsigned char> settle_only;
    bool settle_off = false;   // some settle place is switched off
    int open_frames = 0;       // frames of this code with reports open
    int rearms = 0;            // how often its places were brought back
    // Reports are made after their statement, from the values observed: the
    // event after every watched statement settles it.
    bool observe = false;
};

// Called to bring back the switched-off places of a code (sys.monitoring);
// none under the trace function, which switches nothing off.
using RearmHook = void (*)(PyObject* code);
void engine_set_rearm_hook(RearmHook hook);

// Builds the map of a code object against the records of its file (null when
// the file has none): 0, or -1 with an error.
int build_code_map(CodeMap& map, PyCodeObject* code, std::shared_ptr<FileRecords> file, int shift);

// ------------------------------------------------------------ the engine


// A line event of a frame: reports the watched statements it starts.
// Returns 1 when the frame's code has watched statements, 0 when it has none
// (its frames need no line events), -1 with an error.
// `place_needed`, when given, tells whether later line events at this
// instruction can matter.
int engine_line_event(PyFrameObject* frame, bool* place_needed = nullptr);
// A stop line is reached in the frame: its open reports are settled there,
// as its next line event would. 0 or -1 with an error.
int engine_settle_at_stop(PyFrameObject* frame);
// A frame resumes (a generator or coroutine after its yield, at `lasti`):
// under observed reports, the watched statements of the line after the
// yield are prepared as a line event would. `needed`: whether resumptions
// at this place can ever matter. 0 or -1 with an error.
int engine_resume_event(PyFrameObject* frame, int lasti, bool* needed);
// The frame leaves (return, yield or unwind): settles what it left open. A
// frame suspended by a yield inside a watched statement keeps that
// statement open until it resumes.
void engine_frame_exit(PyFrameObject* frame);
// An exception was raised in the frame: its next event comes from a handler.
// True when the frame has reports still open (they settle at that event,
// wherever it is).
bool engine_frame_exception(PyFrameObject* frame);
bool engine_has_frames();
// Whether the frame has reports still open (they settle at its next event).
bool engine_frame_has_open_reports(PyFrameObject* frame);
// Whether the code holds watched statements: 1, 0, or -1 with an error.
int engine_code_is_watched(PyCodeObject* code);
// Drops the maps and frame states (the tables changed).
void engine_reset();
// Called by the module-dict watcher for a changed key (nullptr: any key).
// True when the key is one of the watch tables (their maps are then rebuilt).
bool engine_note_global_change(PyObject* key);

}  // namespace vdx::trace
