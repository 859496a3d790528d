// An output of the log: what takes a chunk's laid-out text or records, and knows what it lost and
// why. The writer hands it each chunk and awaits what it asks to be awaited; entries written at once
// (outside a handler's run) are handed to it on the caller's thread. Neither asks which output it is.
#pragma once
#include "text/chunk_output.hpp"

namespace tlh {

// Held by the writer across its awaits (rt::Held): traverse() shows the collector what it holds.
class Sink {
public:
    virtual ~Sink() noexcept(false) = default;
    virtual int traverse(visitproc visit, void* arg) const = 0;

    // The line that tells what the output owes its reader (entries lost, or sent elsewhere), for
    // the layout to put before the next chunk's entries (`at_end`: the run's last text); empty when
    // nothing is owed.
    virtual Ref notice(bool at_end) = 0;

    // Delivering the chunk the writer laid out: the first awaitable to await (on the output's own
    // thread), then, given what each gave, the next one; an empty Ref when the chunk is done.
    virtual Ref delivering(ChunkOutput& chunk) = 0;
    virtual Ref delivered(PyObject* result) = 0;
    // What the last chunk lost, told so far ("3 log entries were lost: ..."), when it lost any.
    virtual Ref failure() const = 0;

    // The same, now, on this thread: entries written outside a handler's run.
    virtual void deliver_now(ChunkOutput& chunk) = 0;

    // Closing the output at the end of the run: the awaitable, or empty when there is nothing to
    // close. What it still owes then goes to the process, told by the next write or at exit.
    virtual Ref closing() = 0;
    virtual void hand_over() = 0;
    // Entries given up on without a write (the handler's close could not wait for the output).
    virtual void lose(long long entries, PyObject* reason) = 0;
    // The writer was given up on in the middle of a delivery: what the sink makes of the entries of
    // that chunk (written, cut, lost) by what the output took of them; returns how many it has
    // accounted for that way (0: none, they are lost with the rest).
    virtual long long interrupted(PyObject*) { return 0; }
};

}  // namespace tlh
