// The thread that makes the output file's blocking calls (opening it, each write, closing it) for
// one run of the writer: the executor it gives aiofiles. It is a daemon thread of the handler's
// own, so a write that the system blocks for ever (a pipe whose reader stopped reading) holds up
// that thread only: not the loop's default executor, which asyncio.run waits for, and not the
// interpreter's exit, which waits for no daemon thread.
#pragma once
#include "package_base.hpp"

#include <atomic>

namespace tlh {

// What the close of a handler needs to know of its writer's output.
struct OutputProgress {
    std::atomic<double> busy_since{0};  // monotonic seconds at which the call being made began; 0: idle
    std::atomic<double> idle_since{0};
    std::atomic<unsigned long long> bytes_taken{
        0};  // what the thread's writes have written, in all  // since when the output has taken nothing of what waits; 0: it takes
    Py_ssize_t entries_in_flight = 0;  // the entries of the chunk being written
    std::atomic<bool> abandoned{false};  // the close gave up on the writer: it must not wait for its output
    long long given_up_entries = 0;  // what the writer had not written then

    // How long the output has made no progress, in seconds: the call being made has been running,
    // or a non-blocking output has taken nothing; 0 while it takes what it is given.
    double stalled_for() const;
};

// A new executor, its thread started: submit(fn, *args) -> the running loop's asyncio future (a
// concurrent.futures.Future off any loop), which loop.run_in_executor gives back as it is.
Ref start_output_thread();
// Lets its thread end once the calls given to it so far are made.
void stop_output_thread(PyObject* executor);
OutputProgress& progress_of(PyObject* executor);

// The progress of the writer run of `handler` while it runs, for the handler's close; null otherwise.
OutputProgress* output_of(PyObject* handler);

// The writer run's own thread, started with the run and registered for the handler's close; it
// ends once the calls given to it are made. Held by the writer across its awaits (rt::Held).
class RunThread {
public:
    explicit RunThread(PyObject* handler);
    ~RunThread() noexcept(false);
    RunThread(const RunThread&) = delete;
    PyObject* executor() const noexcept { return executor_.get(); }
    // The queue of the handler's run (its init made it); None for a writer run by hand.
    PyObject* queue() const noexcept { return queue_.get(); }
    OutputProgress& progress() const noexcept { return progress_of(executor_.get()); }
    // The entries of the chunk being written, for the close to count should it give up.
    void in_flight(Py_ssize_t entries) noexcept { progress().entries_in_flight = entries; }
    // Whether the handler's close has given up on the output: nothing more may be waited for.
    bool given_up() const noexcept { return progress().abandoned; }
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(executor_.get());
        Py_VISIT(queue_.get());
        return 0;
    }

private:
    PyObject* handler_;
    Ref executor_;
    Ref queue_;
};

}  // namespace tlh
