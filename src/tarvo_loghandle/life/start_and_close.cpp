// Starting a handler (a new process-wide queue, the splitter, the pump and writer tasks) and
// shutting it down in five announced steps, from the head of the chain to its tail.
#include "life/log_queue.hpp"
#include "outputs/output_thread.hpp"
#include "outputs/stream_sink.hpp"
#include "package_base.hpp"
#include "process_state.hpp"
#include "text/layout.hpp"

#include <mutex>
#include <utility>

namespace tlh {
namespace {

bool task_done(PyObject* task) { return rt::truth(rt::call_method(task, name<"done">()).get()); }

bool still_running(PyObject* task) {
    if (task_done(task)) return false;
    Ref loop = rt::call_method(task, name<"get_loop">());
    return !rt::truth(rt::call_method(loop.get(), name<"is_closed">()).get());
}

// There is one process-wide queue, TLogger.queue: a second handler would take it from the first,
// whose close could then never end. A handler claims it when its init() begins, before anything
// is touched, and holds it while its pump runs; a second init() meanwhile, in this loop or in
// another thread's, is refused.
class QueueClaim {
public:
    // Whether the last pump still runs is asked of Python code, outside the lock (where no Python
    // code runs, so that the GIL makes it atomic too); the claim is taken if nothing changed since.
    QueueClaim() {
        ProcessState& state = process();
        for (;;) {
            Ref pump;
            bool busy;
            {
                std::lock_guard<rt::ProcessLock> locked(state.lock);
                busy = state.claim_starting;
                pump = state.claim_pump;
            }
            if (!busy && pump) {
                Ref task = rt::referent(pump.get());
                busy = task.get() != Py_None && still_running(task.get());
            }
            if (busy)
                rt::raise(PyExc_RuntimeError,
                          "a LoggingHandler is already running in this process (TLogger.queue is its queue): "
                          "close it with aclose() before starting another one");
            std::lock_guard<rt::ProcessLock> locked(state.lock);
            if (state.claim_starting || state.claim_pump.get() != pump.get())
                continue;  // another start came between: ask again
            state.claim_starting = true;
            return;
        }
    }
    // The handler's pump runs: the queue is its while the task runs.
    void held_by(PyObject* task_pump) {
        Ref pump_ref = rt::owned(PyWeakref_NewRef(task_pump, nullptr));
        ProcessState& state = process();
        {
            std::lock_guard<rt::ProcessLock> locked(state.lock);
            std::swap(state.claim_pump, pump_ref);  // the one replaced is released outside the lock
            state.claim_starting = false;
        }
        held_ = true;
        handler_ran();
    }
    bool held() const noexcept { return held_; }
    ~QueueClaim() {
        if (held_ || !rt::may_touch_objects()) return;
        ProcessState& state = process();
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        state.claim_starting = false;  // the start failed or was abandoned: the queue is free again
    }
    QueueClaim(const QueueClaim&) = delete;
    QueueClaim& operator=(const QueueClaim&) = delete;

private:
    bool held_ = false;
};

// Splitter.make_init(LogEntry, name="logs", prune_if_bigger=100, prune_age_s=30, max_size=100)
Ref making_splitter(PyObject* g) {
    Ref limits = rt::owned(Py_BuildValue("{s:i,s:i,s:i}", "prune_if_bigger", 100, "prune_age_s", 30, "max_size", 100));
    Ref kwargs = rt::owned(Py_BuildValue("{s:s}", "name", "logs"));
    rt::check_int(PyDict_Update(kwargs.get(), limits.get()));
    Ref args = rt::owned(PyTuple_Pack(1, global<"LogEntry">(g).get()));
    Ref make_init = rt::getattr(global<"Splitter">(g).get(), name<"make_init">());
    return rt::owned(PyObject_Call(make_init.get(), args.get(), kwargs.get()));
}

// The pump task "logs:pump-to-splitter" and the writer task "logs:write_aiologs"; the queue is
// the pump's from then on.
void start_tasks(PyObject* g, PyObject* self, QueueClaim& claim) {
    Ref queue = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    {
        ProcessState& state = process();
        Ref replaced;
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        replaced = std::exchange(state.run_queue, queue);
        state.queue_handler = self;
    }
    Ref pump_coro = rt::call(global<"pump">(g).get(), {queue.get(), rt::getattr(self, name<"splitter">()).get()});
    Ref task_pump = rt::call(global<"my_create_task">(g).get(), {pump_coro.get(), name<"logs:pump-to-splitter">()});
    rt::setattr(self, name<"task_pump">(), task_pump.get());
    claim.held_by(task_pump.get());
    Ref writer_coro = rt::call_method(self, name<"write_aiologs">());
    Ref task_write = rt::call(global<"my_create_task">(g).get(), {writer_coro.get(), name<"logs:write_aiologs">()});
    rt::setattr(self, name<"task_write">(), task_write.get());
}

rt::Async init(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    QueueClaim claim;
    // Refused before anything starts: an unknown output format, an output file that cannot be opened.
    resolve_format(g, false, false);
    check_output_path(g);
    rt::Local queue;  // the handler's, held across the await below
    {
        Ref tlogger = global<"TLogger">(g);
        Ref waited = rt::getattr(tlogger.get(), name<"queue">());
        Ref loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
        queue = new_running_queue(g, loop.get());
        // Entries that waited for a handler are written first, in their order; the waiting queue
        // passes on what reaches it from now on (a plain queue someone set: what reached it while
        // it was being replaced is taken again).
        pass_on(g, waited.get(), queue.get());
        rt::setattr(tlogger.get(), name<"queue">(), queue.get());
        if (!is_log_queue(waited.get())) pass_on(g, waited.get(), queue.get());
    }
    Caught failed;
    try {
        {
            Ref loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
            Ref loop_id = rt::owned(PyLong_FromVoidPtr(loop.get()));
            debug(g, rt::concat({name<"for logging handler, looop is ">(), loop_id.get()}));
        }
        debug(g, name<"Started also regular logs">());
        Ref making = making_splitter(g);
        Ref splitter = co_await rt::await(std::move(making));
        rt::setattr(self, name<"splitter">(), splitter.get());
        start_tasks(g, self, claim);
    } catch (PyErr& e) {
        failed = std::move(e);
    }
    if (failed) {
        rt::Except handling(failed);
        // No pump reads the queue: what it holds, and what comes, waits for the next handler again.
        Ref tlogger = global<"TLogger">(g);
        bool ours = rt::getattr(tlogger.get(), name<"queue">()).get() == queue.get();
        if (!claim.held() && ours) {
            Ref waiting = new_waiting_queue(g);
            pass_on(g, queue.get(), waiting.get());
            rt::setattr(tlogger.get(), name<"queue">(), waiting.get());
        }
        failed.reraise();
    }
    Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
    if (!rt::check_int(PySequence_Contains(environ.get(), global<"ENV_LOG_STDERR">(g).get())))
        rt::setattr(global<"TLogger">(g).get(), name<"enable_simple">(), Py_False);
    co_return rt::none();
}

// How long a close goes on when the output takes nothing (the writer's call has run that long),
// and how long a cancelled close goes on writing what was queued before it gave up.
constexpr double close_bound_s = 5.0;
// How often a close looks whether the output has stalled.
constexpr double stall_check_s = 0.25;

bool task_cancelled(PyObject* task) {
    return task_done(task) && rt::truth(rt::call_method(task, name<"cancelled">()).get());
}

double loop_time(PyObject* loop) {
    double t = PyFloat_AsDouble(rt::call_method(loop, name<"time">()).get());
    if (t == -1 && PyErr_Occurred()) rt::throw_error();
    return t;
}

// A close in another event loop than the one that ran init() could not wait for the tasks; it is
// refused before the end marker is put, so the handler goes on as it was.
void refuse_another_loop(PyObject* self, PyObject* loop) {
    Ref pump = rt::getattr(self, name<"task_pump">());
    Ref own_loop = rt::call_method(pump.get(), name<"get_loop">());
    if (own_loop.get() != loop)
        rt::raise(PyExc_RuntimeError,
                  "aclose() must be awaited in the event loop that ran init(): the handler's tasks run there");
}

// Entries that the writer has not written: still in the splitter, and in the chunk whose write the
// output never finished.
long long in_writer(PyObject* self) {
    long long n = 0;
    Ref splitter = rt::getattr(self, name<"splitter">());
    if (splitter.get() != Py_None) {
        // A splitter that was finished put its end in each inbox, behind the entries: no entry.
        Ref finished = rt::optional_attr(splitter.get(), name<"finished">());
        bool ended = finished && finished.get() != Py_None;
        Ref subscribers = rt::getattr(splitter.get(), name<"subscribers">());
        Ref values = rt::call_method(subscribers.get(), name<"values">());
        for (Ref& sub : rt::iterate(values.get())) {
            long long size = PyLong_AsLongLong(
                rt::call_method(rt::getattr(sub.get(), name<"queue">()).get(), name<"qsize">()).get());
            n += ended && size > 0 ? size - 1 : size;
        }
    }
    if (PyErr_Occurred()) rt::throw_error();
    if (OutputProgress* output = output_of(self)) n += output->entries_in_flight;
    return n;
}

// Gives up on the pump and the writer: what they have not written is counted and told (through
// debug now, and on the output with its next write that succeeds: the writer's part by the writer,
// what is still queued by the queue's close), the writer is told not to wait for its output, and
// both are cancelled.
void give_up(PyObject* g, PyObject* self, bool output_stalled) {
    long long writer = in_writer(self);
    Ref queue = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    long long lost = writer + entries_held(queue.get());
    if (!task_done(rt::getattr(self, name<"task_pump">()).get())) --lost;  // the end marker is no entry
    debug(g, name<"Closing logging handler: gave up waiting; the pump and the writer are cancelled">());
    if (output_stalled)
        debug(g, rt::ascii("Closing logging handler: the output took nothing for 5 s; ", lost,
                           " log entries were not written"));
    else debug(g, rt::ascii("Closing logging handler: ", lost, " log entries were not written"));
    if (OutputProgress* output = output_of(self)) {
        output->abandoned = true;
        output->given_up_entries = writer;
    }
    for (PyObject* attr : {name<"task_pump">(), name<"task_write">()})
        rt::call_method(rt::getattr(self, attr).get(), name<"cancel">());
}

// A handler that was never started has nothing to close: nothing is touched, least of all the
// queue of a handler that runs.
void refuse_unstarted(PyObject* self) {
    for (PyObject* attr : {name<"task_pump">(), name<"task_write">()})
        if (!rt::has_attr(self, attr))
            rt::raise_format(
                PyExc_AttributeError,
                "'LoggingHandler' object has no attribute '%U': aclose() needs a handler started by init()", attr);
}

// The end marker takes the path of the entries that other threads send (the loop's thread-safe
// call), so it lands behind every entry sent before the close began, in asyncio and uvloop.
void post_end_marker(PyObject* g, PyObject* loop, PyObject* queue) {
    Ref tlogger = global<"TLogger">(g);
    close_begun(queue);
    Ref put = rt::getattr(queue, name<"put_nowait">());
    Ref marker = rt::getattr(tlogger.get(), name<"queue_sentinel_eof">());
    rt::call_method(loop, name<"call_soon_threadsafe">(), {put.get(), marker.get()});
}

// How long to wait for the task this time; negative when the close must stop waiting: a cancelled
// close past its deadline, or an output that took nothing for 5 s.
double next_wait(PyObject* self, PyObject* loop, bool cancelled, double deadline) {
    if (cancelled) {
        double left = deadline - loop_time(loop);
        return left > 0 ? left : -1;
    }
    OutputProgress* output = output_of(self);
    return output && output->stalled_for() >= close_bound_s ? -1 : stall_check_s;
}

// asyncio.wait([task], timeout=seconds): it waits without cancelling the task when the wait is.
Ref waiting_for(PyObject* g, PyObject* task, double seconds) {
    PyObject* const timeout_kw = rt::keywords<"timeout">();
    Ref waited = rt::owned(PyList_New(1));
    PyList_SET_ITEM(waited.get(), 0, Ref::incref(task).release());
    Ref timeout = rt::owned(PyFloat_FromDouble(seconds));
    return rt::call_kw(rt::getattr(global<"asyncio">(g).get(), name<"wait">()).get(), {waited.get(), timeout.get()},
                       timeout_kw);
}

// A task that ended: its own end (an error, a cancellation by someone else) ends the close; a
// cancelled close only retrieves it, and ends cancelled anyway.
void settle(PyObject* task, bool cancelled) {
    if (!cancelled) rt::call_method(task, name<"result">());
    else if (!task_cancelled(task)) rt::call_method(task, name<"exception">());
}

// The pump no longer reads `queue`: what it kept is written at once (or, when the close gave up on
// the output, counted and told with the next write that succeeds), and a waiting queue takes its
// place, which writes at once what comes after.
void after_close(PyObject* g, PyObject* queue, bool write) { finish_closing(g, queue, write); }

rt::Async aclose(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    refuse_unstarted(self);
    rt::Local loop;  // held, as everything that lives across the awaits below
    loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
    refuse_another_loop(self, loop.get());
    debug(g, name<"Closing logging handler: 1/5: closing the queue">());
    rt::Local queue;  // the pump's, which the end marker closes
    queue = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    post_end_marker(g, loop.get(), queue.get());

    // The tasks are waited for, not awaited: a cancellation of the close does not reach them. It is
    // kept, what was queued is still written for a while, and then it is raised again. Every wait is
    // bounded: a close gives up when the output has taken nothing for 5 s (a pipe nobody reads).
    rt::Caught cancelled, failed;
    double deadline = 0;
    bool gave_up = false, stalled = false;
    try {
        PyObject* tasks[] = {name<"task_pump">(), name<"task_write">()};
        PyObject* steps[] = {name<"Closing logging handler: 2/5: Awaiting task_pump to finish">(),
                             name<"Closing logging handler: 3/5: Awaiting task_write to finish">()};
        rt::Local task;
        for (int k = 0; k < 2 && !gave_up; ++k) {
            debug(g, steps[k]);
            task = rt::getattr(self, tasks[k]);
            for (double wait;
                 !task_done(task.get()) && (wait = next_wait(self, loop.get(), bool(cancelled), deadline)) >= 0;) {
                Ref waiting = waiting_for(g, task.get(), wait);
                rt::Caught interrupted;
                try {
                    co_await rt::await(std::move(waiting));
                } catch (PyErr& e) {
                    if (!e.matches(global<"CancelledError">(g).get())) throw;
                    interrupted = std::move(e);
                }
                if (!interrupted) continue;
                if (cancelled) break;  // cancelled again: stop waiting
                cancelled = PyErr(interrupted.error());
                deadline = loop_time(loop.get()) + close_bound_s;
                debug(g,
                      name<"Closing logging handler: cancelled; what was queued is still written, for 5 s at most">());
            }
            if (task_done(task.get())) settle(task.get(), bool(cancelled));
            else gave_up = true;
        }
        if (gave_up) give_up(g, self, stalled = !cancelled);
        if (!(gave_up && cancelled)) {
            debug(g, name<"Closing logging handler: 4/5: closing splitter">());
            if (rt::getattr(self, name<"splitter">()).get() != Py_None) {
                Ref closing = rt::call_method(rt::getattr(self, name<"splitter">()).get(), name<"aclose">());
                co_await rt::await(std::move(closing));
            }
            debug(g, name<"Closing logging handler: 5/5: DONE">());
        }
    } catch (PyErr& e) {
        failed = std::move(e);
    }
    {
        rt::Except handling(failed);
        after_close(g, queue.get(), !stalled);  // what the handler did not take is given up only with its output
    }
    failed.reraise_if_any();
    cancelled.reraise_if_any();
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef init_def = {
    "init",
    "LoggingHandler.init",
    {"self"},
    rt::coroutine_entry<init>,
    rt::FunctionKind::coroutine,
    "Starts the handler on the running loop: a new process-wide TLogger.queue, the splitter, the pump and "
    "writer tasks. A second handler is refused while one runs."};
const rt::FunctionDef aclose_def = {
    "aclose",
    "LoggingHandler.aclose",
    {"self"},
    rt::coroutine_entry<aclose>,
    rt::FunctionKind::coroutine,
    "Closes the handler: every entry queued before the call is written, then the tasks end and the "
    "splitter is closed. A cancelled close still writes what was queued, for 5 s at most, and ends cancelled."};

}  // namespace tlh
