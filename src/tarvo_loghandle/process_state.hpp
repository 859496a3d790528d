// Everything the process shares, in one place. It is made when the package is imported, reset for
// a child after fork (the threads and tasks of the parent are not there), and torn down at exit,
// while the interpreter still runs (what it holds is released then, not after the interpreter has
// gone).
#pragma once
#include "common.hpp"
#include "runtime/blocking_lock.hpp"

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

    // Releases what it holds while the interpreter can still take it back (at exit).
    void teardown();
    ~ProcessState();
};

ProcessState& process() noexcept;

// Takes what is owed to the file (device, inode), leaving nothing owed to it.
Owed take_owed(dev_t device, ino_t inode);
// Adds to what is owed to a file.
void owe(Owed&& owed);

}  // namespace tlh
