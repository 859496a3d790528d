// Everything the process shares, in one object: the claim on TLogger.queue, the run that holds it
// (its writer's thread, its queue), the turns on the output and what the output owes its reader,
// SIGTERM's watch over entries that wait for a handler, and what the package made once (the
// classes it made, the library functions it recognised, its submodules' finder).
//
// Its life: made when the shared object is loaded, before the package's first import runs; reset
// for a child after a fork (the parent's threads and tasks are not there, and a lock another
// thread held at the fork would never be released); torn down at exit, while the interpreter still
// runs, so that what it holds is released then and not after the interpreter has gone. Nothing in
// it is an owned raw pointer: references are Refs, released by teardown() or left for good.
#pragma once
#include "package_base.hpp"
#include "runtime/blocking_lock.hpp"

#include <structmember.h>  // PyMemberDef (its own header before 3.12)

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

namespace tlh {

// What an output owes its reader after writes that failed: the entries not written at all,
// counted, with why the last one failed, told in one line of the log's own when the output takes
// something again; and the rest of an entry whose write stopped in the middle of it, written first
// then, so that its lines come out whole.
struct Owed {
    long long lost = 0;
    long long partly = 0;  // entries whose rest was given up too
    Ref reason;            // "Type: message" of the last failure
    std::string rest;      // the bytes of the cut entry not written yet
    // The file it is owed to: its device and inode (0, 0 where there is no descriptor to tell).
    dev_t device = 0;
    ino_t inode = 0;

    bool any() const noexcept { return lost || partly || !rest.empty(); }
    // "2 log entries were lost: OSError: [Errno 28] No space left on device"; empty when none was.
    Ref text() const;
    // Adds what `other` owes (the same file), keeping the rest that comes first.
    void add(Owed&& other);
};

// A Python function recognised once by what it is (its code and its module's globals), held for
// good so that the next test is two comparisons: set under the state's lock, read without it.
struct KnownFunction {
    std::atomic<bool> known{false};
    Ref code, globals;
};

// The thread that writes entries that waited too long for a first handler (life/waiting_writer.hpp):
// the process it runs in (a child after fork has none until it starts its own), the pipe that wakes
// it, and when what waits is due (monotonic seconds; 0: nothing is).
struct WaitingWriter {
    std::atomic<pid_t> running_in{0};
    pid_t start_failed_in = 0;
    int wake_pipe[2] = {-1, -1};
    std::atomic<double> due{0};
};

// SIGTERM while entries wait for a first handler: whether its handler was tried, the signals seen.
struct SigtermWatch {
    std::atomic<bool> tried{false};
    std::atomic<int> seen{0};
};

struct ProcessState {
    // Guards what threads change below: taken for a moment, nothing that runs Python code under it.
    rt::ProcessLock lock;

    // A handler's pump has run in this process: entries logged while no handler runs are then
    // written at once, not kept for one.
    std::atomic<bool> handler_ran{false};

    // Writes outside a handler's run (entries written at once), and the writer's output thread, take
    // turns on the output: one record's lines never come between another's.
    rt::BlockingLock output_lock;
    // Entries logged, while this thread writes at once, by what that write runs (a __repr__ that
    // logs): written by the same thread after its own, never waited for.
    std::vector<Ref> deferred;

    // What the output owes its reader (guarded by `lock`).
    Owed owed;

    // The claim on TLogger.queue (guarded by `lock`): a start under way, and a weak reference to
    // the pump task of the last handler that held it.
    bool claim_starting = false;
    Ref claim_pump;

    // The run of the handler that runs now (guarded by `lock`): its writer's own thread, for the
    // handler's close to ask how the output is doing, and its queue.
    PyObject* run_handler = nullptr;  // compared only, never used
    Ref run_executor;
    PyObject* queue_handler = nullptr;  // the handler whose init made run_queue (compared only)
    Ref run_queue;                      // until its writer's run takes it

    // Made once, when loghandle_imp is first run: its globals (where the names the rules use are
    // looked up at each use), the package's two kinds of TLogger.queue, asyncio.Queue with its own
    // put_nowait and get_nowait, and asyncio's _get_running_loop.
    Ref globals;
    Ref waiting_queue_type, running_queue_type;
    Ref queue_class, queue_put, queue_get, running_loop;
    // The extension's file as the import system first found it, and whether the finder of the
    // package's submodules is installed.
    Ref extension_file;
    bool finder_installed = false;
    bool life_followed = false;  // the exit and fork hooks below are registered
    // The fields bound for the current context (tarvo_loghandle.context): a contextvars.ContextVar
    // holding a dict never changed once set, made with the queue types, before any entry is put.
    Ref bound_fields;
    // The lists of the captures that run (life/captured_entries.hpp; guarded by `lock`), their
    // number, and the type of what they hold.
    Ref captures, captured_entry_type;
    std::atomic<int> capturing{0};
    // posixpath's basename and termcolor's colored, once seen.
    KnownFunction basename, colored;
    // What a record of this Python's logging holds of its own (modules/record_entry.cpp): LogRecord
    // and its getMessage where that is logging's own, the names of a record's own attributes, how
    // many a record has that nothing was added to, and LogRecord's version tag when none of the
    // attributes a record is read for was found in the class (0: they are read by getattr); the
    // prefix of each logger's name seen, by name (what the name's parts make never changes); and
    // the StackInfo of each code location seen, by (StackInfo, file, function, line); and one str
    // of each record's module text seen.
    struct {
        Ref type, get_message, own_attributes, prefixes, stack_infos, modules;
        Py_ssize_t plain_size = 0;
        std::atomic<unsigned int> plain_version{0};
    } records;

    // Whether this process is a forked child, and whether it has forked: then others may write the
    // same output (one_of_several_processes). What forked children tell their parent lies in memory
    // they share with it, mapped before the first fork, for good.
    std::atomic<bool> forked_child{false}, forked_children{false};
    struct SharedWithChildren {
        std::atomic<bool> child_wrote;  // a forked child (or its child) has written the log
    };
    SharedWithChildren* shared_with_children = nullptr;

    WaitingWriter waiting_writer;
    SigtermWatch sigterm;

    // asyncio's own parts of asyncio.Queue.put_nowait, found at import (see life/asyncio_put.hpp):
    // empty where they are not asyncio's own functions.
    struct {
        Ref full, put, wakeup_next;  // asyncio.Queue's
        Ref event_type, event_clear;  // asyncio.Event and its clear
        Ref deque_type, deque_append;  // collections.deque and its append
        // The queue type last found to be all asyncio's own, with its and asyncio.Event's version
        // tags then (the type compared only): while neither changes, it need not be looked at again.
        std::atomic<PyTypeObject*> checked_queue{nullptr};
        std::atomic<unsigned int> checked_queue_version{0}, checked_event_version{0};
#if PY_VERSION_HEX < 0x030C0000
        // The dict of the queue's event last seen clear and without a clear of its own, with the
        // version it had then (see life/asyncio_put.cpp).
        rt::Remembered clear_event;
#endif
    } asyncio_put;
    // Where the package's queue classes keep the slots that life/queue_slots.hpp reads (both
    // classes alike), and the class attributes of asyncio.Queue that some slots hide.
    struct {
        PyMemberDef defs[7] = {};  // by QueueSlot; a name left null: no such slot
        bool found = false;
        Ref presets;  // ((name, value), ...)
    } queue_slots;

    // Releases what it holds while the interpreter can still take it back (at exit).
    void teardown();
    // In a child after fork, with the interpreter's lock held: the locks are made free again and
    // the parent's run (its tasks, its writer's thread) is forgotten, so that the child can start
    // a handler of its own; what the output owed is the parent's to tell.
    void reset_for_child();
    ~ProcessState();
};

ProcessState& process() noexcept;

// Registers, once, the state's teardown at exit and its reset in a child after fork.
void follow_process_life(PyObject* g);

// Whether other processes of the same service may be writing the output this one writes: it is a
// forked child, or has forked children that wrote their log, or multiprocessing started it or has
// children of it running. Lines then name their process, and each write starts with a header of
// its own. (A child that runs another program, as pty.fork's often do, tells nothing.)
bool one_of_several_processes();

// Takes what is owed to the file (device, inode), leaving nothing owed to it.
Owed take_owed(dev_t device, ino_t inode);
// Adds to what is owed to a file.
void owe(Owed&& owed);

}  // namespace tlh
