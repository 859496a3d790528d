// The thread that makes the output file's blocking calls (opening it, each write, closing it) for
// one run of the writer: the executor it gives aiofiles. It is a daemon thread of the handler's
// own, so a write that the system blocks for ever (a pipe whose reader stopped reading) holds up
// that thread only: not the loop's default executor, which asyncio.run waits for, and not the
// interpreter's exit, which waits for no daemon thread.
#pragma once
#include "common.hpp"

#include <atomic>

namespace tlh {

// What the close of a handler needs to know of its writer's output.
struct OutputProgress {
    std::atomic<double> busy_since{0};  // monotonic seconds at which the call being made began; 0: idle
    Py_ssize_t entries_in_flight = 0;   // the entries of the chunk being written
    bool abandoned = false;             // the close gave up on the writer: it must not wait for its output

    // How long the call being made has been running, in seconds; 0 while the thread is idle.
    double stalled_for() const;
};

// A new executor, its thread started: submit(fn, *args) -> concurrent.futures.Future.
Ref start_output_thread();
// Lets its thread end once the calls given to it so far are made.
void stop_output_thread(PyObject* executor);
OutputProgress& progress_of(PyObject* executor);

// The executor of the writer run of `handler` while it runs, for the handler's close; null otherwise.
OutputProgress* output_of(PyObject* handler);
// Registers the executor of `handler`'s writer run; null when the run ends.
void set_output_of(PyObject* handler, PyObject* executor);

}  // namespace tlh
