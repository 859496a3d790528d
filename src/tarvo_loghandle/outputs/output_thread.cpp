#include "outputs/output_thread.hpp"

#include "process_state.hpp"

#include "outputs/whole_write.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

namespace tlh {
namespace {

struct Executor {
    PyObject_HEAD
    PyObject* jobs;  // queue.SimpleQueue of (future, fn, args); None ends the thread
    OutputProgress progress;
};

Executor* as_executor(PyObject* o) { return reinterpret_cast<Executor*>(o); }

// The outcome of a call, set on the loop's thread on the asyncio future that awaits it: unless
// that future was cancelled meanwhile. An exception asyncio's futures refuse (StopIteration)
// becomes a RuntimeError, so that the awaiting side is never left without an outcome.
PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return rt::guard(
        [&]() -> PyObject* {
            if (nargs != 3) rt::raise(PyExc_TypeError, "settle() takes the future, the result and the failure");
            PyObject* future = args[0];
            if (rt::truth(rt::call_method(future, name<"done">()).get())) Py_RETURN_NONE;
            if (args[2] == Py_None) {
                rt::call_method(future, name<"set_result">(), {args[1]});
                Py_RETURN_NONE;
            }
            try {
                rt::call_method(future, name<"set_exception">(), {args[2]});
            } catch (PyErr& e) {
                if (!e.matches(PyExc_TypeError)) throw;
                rt::Except handling(e);
                Ref refused = rt::call(PyExc_RuntimeError, {rt::to_str(args[2]).get()});
                PyException_SetCause(refused.get(), Ref::incref(args[2]).release());
                rt::call_method(future, name<"set_exception">(), {refused.get()});
            }
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}
PyMethodDef settle_def = {"settle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settle)), METH_FASTCALL,
                          nullptr};

// submit(fn, *args): what loop.run_in_executor asks of an executor. On a running loop the call's
// future is that loop's own asyncio future, which run_in_executor gives back as it is: the thread
// sets its outcome through the loop in one call, instead of a concurrent.futures.Future whose
// outcome is then carried over to an asyncio future (two futures, their locks and callbacks, for
// each write). Called off any loop, it gives a concurrent.futures.Future, as executors do.
PyObject* submit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return rt::guard(
        [&]() -> PyObject* {
            if (nargs < 1) rt::raise(PyExc_TypeError, "submit() needs the function to call");
            Ref loop = process().running_loop ? rt::call(process().running_loop.get()) : rt::none();
            Ref future;
            if (loop.get() != Py_None) {
                future = rt::call_method(loop.get(), name<"create_future">());
            } else {
                static PyObject* const future_type =
                    rt::getattr(rt::import("concurrent.futures").get(), name<"Future">()).release();
                future = rt::call(future_type);
            }
            Ref call_args = rt::owned(PyTuple_New(nargs - 1));
            for (Py_ssize_t i = 1; i < nargs; ++i) PyTuple_SET_ITEM(call_args.get(), i - 1, Py_NewRef(args[i]));
            Ref job = rt::tuple({future.get(), args[0], call_args.get(), loop.get()});
            rt::call_method(as_executor(self)->jobs, name<"put">(), {job.get()});
            return future.release();
        },
        static_cast<PyObject*>(nullptr));
}

// A job's outcome onto its future: through its loop for an asyncio future (nothing is set once
// the loop is closed: nobody awaits it any more), at once for a concurrent one.
void set_outcome(PyObject* job, PyObject* result, PyObject* failure) {
    PyObject* future = PyTuple_GET_ITEM(job, 0);
    PyObject* loop = PyTuple_GET_ITEM(job, 3);
    if (loop == Py_None) {
        if (failure) rt::call_method(future, name<"set_exception">(), {failure});
        else rt::call_method(future, name<"set_result">(), {result});
        return;
    }
    static PyObject* const settle_function = rt::check(PyCFunction_New(&settle_def, nullptr));
    try {
        rt::call_method(loop, name<"call_soon_threadsafe">(),
                        {settle_function, future, failure ? Py_None : result, failure ? failure : Py_None});
    } catch (PyErr& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        rt::Except handling(e);  // the loop is closed
    }
}

// Whether the job may run: its future was not cancelled (a concurrent one is marked running).
bool may_run(PyObject* job) {
    PyObject* future = PyTuple_GET_ITEM(job, 0);
    if (PyTuple_GET_ITEM(job, 3) == Py_None)
        return rt::truth(rt::call_method(future, name<"set_running_or_notify_cancel">()).get());
    return !rt::truth(rt::call_method(future, name<"cancelled">()).get());
}

// The thread's body: makes the calls in the order given, each result or exception set on its
// future, until None comes.
void serve(Executor* self) {
    for (;;) {
        Ref job = rt::call_method(self->jobs, name<"get">());
        if (job.get() == Py_None) return;
        if (!may_run(job.get())) continue;
        self->progress.busy_since.store(monotonic_seconds());
        // Given up on by the close: no call starts any more, so that what the output took is
        // known (busy_since is set before this look, and read by the close after it sets abandoned).
        if (self->progress.abandoned.load()) {
            self->progress.busy_since.store(0);
            Ref gone = rt::call(PyExc_RuntimeError, {name<"the output was given up on">()});
            set_outcome(job.get(), nullptr, gone.get());
            continue;
        }
        Ref result, failure;
        {
            // Entries written at once meanwhile (past the bound of a flood) take turns with the
            // run's own calls on the output.
            rt::BlockingLock& output = process().output_lock;
            while (!output.acquire(1.0)) {
            }
            try {
                result =
                    rt::owned(PyObject_Call(PyTuple_GET_ITEM(job.get(), 1), PyTuple_GET_ITEM(job.get(), 2), nullptr));
            } catch (PyErr& e) {
                failure = e.ref();
            }
            output.release();
        }
        if (result && PyLong_CheckExact(result.get())) {  // a write's count: the only calls that give ints
            long long n = PyLong_AsLongLong(result.get());
            if (n > 0) self->progress.bytes_taken += (unsigned long long)n;
            else if (n == -1 && PyErr_Occurred()) PyErr_Clear();
        }
        self->progress.busy_since.store(0);
        set_outcome(job.get(), result.get(), failure.get());
    }
}

PyObject* serve_entry(PyObject*, PyObject* executor) {
    return rt::guard(
        [&]() -> PyObject* {
            serve(as_executor(executor));
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef serve_def = {"serve", serve_entry, METH_O, nullptr};

int executor_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(as_executor(o)->jobs);
    return 0;
}
int executor_clear(PyObject* o) {
    Py_CLEAR(as_executor(o)->jobs);
    return 0;
}
void executor_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    executor_clear(o);
    as_executor(o)->progress.~OutputProgress();
    PyObject_GC_Del(o);
}

PyMethodDef executor_methods[] = {
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(submit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

rt::StaticType ExecutorType("tarvo_loghandle.OutputThread", sizeof(Executor), [](rt::StaticType& t) {
    t.collected(executor_dealloc, executor_traverse, executor_clear);
    t.tp_methods = executor_methods;
});

}  // namespace

double OutputProgress::stalled_for() const {
    double busy = busy_since.load(), idle = idle_since.load();
    double since = busy && idle ? std::min(busy, idle) : busy ? busy : idle;
    return since ? monotonic_seconds() - since : 0;
}

Ref start_output_thread() {
    Ref jobs = rt::call(rt::getattr(rt::import("queue").get(), name<"SimpleQueue">()).get());
    auto* self = PyObject_GC_New(Executor, &ExecutorType);
    if (!self) rt::throw_error();
    self->jobs = jobs.release();
    new (&self->progress) OutputProgress();
    PyObject_GC_Track(self);
    Ref executor = Ref::steal(reinterpret_cast<PyObject*>(self));

    Ref body = rt::owned(PyCFunction_New(&serve_def, nullptr));
    Ref thread_type = rt::getattr(rt::import("threading").get(), name<"Thread">());
    Ref kwargs = rt::owned(PyDict_New());
    rt::check_int(PyDict_SetItem(kwargs.get(), name<"target">(), body.get()));
    rt::check_int(PyDict_SetItem(kwargs.get(), name<"args">(), rt::tuple({executor.get()}).get()));
    rt::check_int(PyDict_SetItem(kwargs.get(), name<"name">(), name<"tarvo_loghandle output">()));
    rt::check_int(PyDict_SetItem(kwargs.get(), name<"daemon">(), Py_True));
    Ref empty = rt::owned(PyTuple_New(0));
    Ref thread = rt::owned(PyObject_Call(thread_type.get(), empty.get(), kwargs.get()));
    rt::call_method(thread.get(), name<"start">());
    return executor;
}

void stop_output_thread(PyObject* executor) { rt::call_method(as_executor(executor)->jobs, name<"put">(), {Py_None}); }

OutputProgress& progress_of(PyObject* executor) { return as_executor(executor)->progress; }

OutputProgress* output_of(PyObject* handler) {
    ProcessState& state = process();
    std::lock_guard<rt::ProcessLock> locked(state.lock);
    // The executor stays alive while it is current; its progress is read, never released, by the close.
    return handler == state.run_handler && state.run_executor ? &progress_of(state.run_executor.get()) : nullptr;
}

namespace {

// The run of `handler` starts (its executor) or ends (none): a later run's start has taken over.
void set_output_of(PyObject* handler, PyObject* executor) {
    ProcessState& state = process();
    Ref replaced;  // released outside the lock: it may run a finalizer
    {
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        if (!executor && handler != state.run_handler) return;
        state.run_handler = executor ? handler : nullptr;
        replaced = std::exchange(state.run_executor, Ref::incref(executor));
    }
}

}  // namespace

RunThread::RunThread(PyObject* handler) : handler_(handler), executor_(start_output_thread()) {
    set_output_of(handler, executor_.get());
    // Taken over: the run holds it from now on (in a cycle the collector sees, through the
    // writer's coroutine), not the process.
    ProcessState& state = process();
    std::lock_guard<rt::ProcessLock> locked(state.lock);
    queue_ = state.queue_handler == handler && state.run_queue ? std::exchange(state.run_queue, Ref()) : rt::none();
}

RunThread::~RunThread() noexcept(false) {
    if (!rt::may_touch_objects()) return;
    set_output_of(handler_, nullptr);
    try {
        stop_output_thread(executor_.get());
    } catch (PyErr& e) {  // it may run while an exception leaves the body: reported, not thrown
        e.restore();
        PyErr_WriteUnraisable(executor_.get());
    }
}

}  // namespace tlh
