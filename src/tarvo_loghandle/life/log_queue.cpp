#include "life/log_queue.hpp"

#include "life/asyncio_put.hpp"
#include "life/captured_entries.hpp"
#include "life/logged_values.hpp"
#include "life/queue_slots.hpp"
#include "life/record_items.hpp"
#include "life/waiting_writer.hpp"
#include "life/written_at_once.hpp"
#include "outputs/whole_write.hpp"
#include "process_state.hpp"

#include <pythread.h>

#include <unistd.h>
#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace tlh {
namespace {

enum Mode : int { waiting, running, closing, passed_on };

// The part of the package's queues that is its own, beside asyncio.Queue's, in an object of its
// own that the queue keeps in its __dict__. The Python classes WaitingQueue and LogQueue derive
// from asyncio.Queue alone: with a native base of their own, every attribute that asyncio.Queue's
// methods read on the queue would miss the interpreter's fast paths (3.11 on).
struct QueueCore {
    PyObject_HEAD
    std::atomic<int> mode;
    rt::ProcessLock lock;  // guards what other threads change: pending, held, the mode's changes
    Ref loop;              // running: the loop of the handler's pump
    unsigned long loop_thread;
    Ref successor;            // passed on: a weak reference to where entries go (a queue it
                              // passed on to does not live on through it: once gone, entries go
                              // to TLogger.queue)
    std::vector<Ref> pending;         // running: from other threads, not on the loop's queue yet
    std::atomic<bool> delivery_due;   // running: pending entries wait for a delivery on the loop
    std::vector<Ref> held;            // waiting or closing: kept in order
    std::atomic<bool> draining;       // waiting: a thread writes what waited past the bound
    std::atomic<bool> close_begun;    // running: the handler's close has put the end marker
    bool pump_done, writer_done;      // under the lock
    std::atomic<long long> accepted, taken;  // running: entries put, and taken by the writer
};

QueueCore* as_core(PyObject* o) { return reinterpret_cast<QueueCore*>(o); }

extern rt::StaticType QueueCoreType;

// A queue's core, held while it is used.
class CoreOf {
public:
    explicit CoreOf(Ref core) noexcept : core_(std::move(core)) {}
    QueueCore* operator->() const noexcept { return as_core(core_.get()); }
    operator QueueCore*() const noexcept { return as_core(core_.get()); }

private:
    Ref core_;
};

// The core of one of the package's queues (is_log_queue), in a slot of its own that its __init__
// sets (read where it lies in an instance of the package's classes, by name in anything else that
// the methods are given); made anew for a queue that lost it.
CoreOf core(PyObject* q) {
    bool in_slot = is_log_queue(q);
    if (Ref found = in_slot ? slot_value(q, QueueSlot::core) : rt::optional_attr(q, name<"_tarvo_core">());
        found && PyObject_TypeCheck(found.get(), &QueueCoreType))
        return CoreOf(std::move(found));
    Ref fresh = rt::call(reinterpret_cast<PyObject*>(&QueueCoreType));
    if (in_slot) set_slot(q, QueueSlot::core, fresh.get());
    else rt::setattr(q, name<"_tarvo_core">(), fresh.get());
    return CoreOf(std::move(fresh));
}

PyObject* core_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    QueueCore* q = as_core(self);
    new (&q->mode) std::atomic<int>(waiting);
    new (&q->lock) rt::ProcessLock();
    new (&q->loop) Ref();
    new (&q->successor) Ref();
    new (&q->pending) std::vector<Ref>();
    new (&q->held) std::vector<Ref>();
    new (&q->accepted) std::atomic<long long>(0);
    new (&q->taken) std::atomic<long long>(0);
    new (&q->delivery_due) std::atomic<bool>(false);
    new (&q->draining) std::atomic<bool>(false);
    new (&q->close_begun) std::atomic<bool>(false);
    q->loop_thread = 0;
    q->pump_done = q->writer_done = false;
    return self;
}

int core_traverse(PyObject* self, visitproc visit, void* arg) {
    QueueCore* q = as_core(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(q->loop.get());
    Py_VISIT(q->successor.get());
    for (const Ref& r : q->pending) Py_VISIT(r.get());
    for (const Ref& r : q->held) Py_VISIT(r.get());
    return 0;
}

int core_clear(PyObject* self) {
    QueueCore* q = as_core(self);
    std::vector<Ref> pending, held;
    Ref loop, successor;
    {
        std::lock_guard<rt::ProcessLock> locked(q->lock);
        pending.swap(q->pending);
        held.swap(q->held);
        loop = std::move(q->loop);
        successor = std::move(q->successor);
    }
    return 0;
}

void core_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    core_clear(self);
    QueueCore* q = as_core(self);
    q->pending.~vector();
    q->held.~vector();
    q->loop.~Ref();
    q->successor.~Ref();
    Py_TYPE(self)->tp_free(self);
}

// `item == marker`, as the pump asks it; an item whose comparison fails is no end marker (it is
// written, and the writer shows what it cannot render), and never fails the producer's put.
bool marks_the_end(PyObject* g, PyObject* item) {
    Ref marker = rt::getattr(global<"TLogger">(g).get(), name<"queue_sentinel_eof">());
    try {
        return is_end_marker(item, marker.get());
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

Ref list_of(std::vector<Ref>& items) {
    Ref list = rt::owned(PyList_New(Py_ssize_t(items.size())));
    for (size_t i = 0; i < items.size(); ++i) PyList_SET_ITEM(list.get(), Py_ssize_t(i), items[i].release());
    items.clear();
    return list;
}

// asyncio.Queue's own put_nowait and get_nowait.
void base_put(PyObject* self, PyObject* item) { asyncio_put(self, item); }

// What the asyncio part of the queue holds, taken out in order (only its loop's thread, or a thread
// that has it to itself, may call this), end markers left out.
std::vector<Ref> take_queued(PyObject* g, PyObject* self) {
    std::vector<Ref> items;
    for (;;) {
        Ref size = rt::call_method(self, name<"qsize">());
        if (!rt::truth(size.get())) return items;
        Ref item = rt::call(process().queue_get.get(), {self});
        if (!marks_the_end(g, item.get())) items.push_back(std::move(item));
    }
}

long long behind(QueueCore* q) noexcept { return q->accepted.load() - q->taken.load(); }

void put_logged(PyObject* g, PyObject* self, PyObject* item);
void abandon(PyObject* g, PyObject* self);

// The pending entries of other threads onto the loop's queue, in their order: before any entry the
// loop's thread puts after them.
void deliver(PyObject* self) {
    CoreOf q = core(self);
    std::vector<Ref> batch;
    {
        std::lock_guard<rt::ProcessLock> locked(q->lock);
        if (q->mode.load() != running) return;
        batch.swap(q->pending);
        q->delivery_due = false;
    }
    for (Ref& item : batch) base_put(self, item.get());
}

// A flood from the loop's own thread, which cannot wait for the writer (it runs there): what the
// pump has not taken yet, and this entry, are written at once, in their order.
void overflow(PyObject* g, PyObject* self) {
    CoreOf q = core(self);
    std::vector<Ref> items = take_queued(g, self);
    q->accepted -= (long long)items.size();
    Ref entries = list_of(items);
    write_at_once(g, entries.get());
}

// Another thread, while the log is far behind: it waits a little, with the interpreter let go,
// so that the loop catches up and memory stays bounded.
void wait_for_the_writer(QueueCore* q) {
    if (behind(q) <= high_water) return;
    double deadline = monotonic_seconds() + 1.0;
    while (behind(q) > resume_at && q->mode.load() == running && monotonic_seconds() < deadline) {
        Py_BEGIN_ALLOW_THREADS
        usleep(1000);
        Py_END_ALLOW_THREADS
    }
}

bool loop_closed(PyObject* loop) {
    Ref closed = Ref::steal(PyObject_CallMethod(loop, "is_closed", nullptr));
    if (!closed) {
        PyErr_Clear();
        return false;
    }
    return closed.get() == Py_True;
}

// False when the queue is not running any more: the entry goes by the new state.
bool put_running(PyObject* g, PyObject* self, QueueCore* q, PyObject* item) {
    if (PyThread_get_thread_ident() == q->loop_thread) {
        Ref current = rt::call(process().running_loop.get());
        if (current.get() != q->loop.get() && loop_closed(q->loop.get())) {
            abandon(g, self);  // its loop was closed without a close of the handler
            return false;
        }
        if (q->delivery_due.load()) deliver(self);
        base_put(self, item);
        if (++q->accepted - q->taken.load() > running_bound && !q->close_begun) overflow(g, self);
        return true;
    }
    wait_for_the_writer(q);
    bool schedule;
    {
        std::lock_guard<rt::ProcessLock> locked(q->lock);
        if (q->mode.load() != running) return false;
        q->pending.push_back(Ref::incref(item));
        schedule = !q->delivery_due.exchange(true);
    }
    ++q->accepted;
    if (!schedule) return true;
    try {
        Ref delivery = rt::getattr(self, name<"_deliver">());
        rt::call_method(q->loop.get(), name<"call_soon_threadsafe">(), {delivery.get()});
    } catch (PyErr& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        abandon(g, self);  // the loop is closed: nothing will deliver them
    }
    return true;
}

// False when the queue is not waiting any more.
bool put_waiting(PyObject* g, QueueCore* q, PyObject* item) {
    if (marks_the_end(g, item)) return true;  // no pump reads this queue: there is nothing to end
    std::vector<Ref> past_bound;
    bool at_once;
    {
        std::lock_guard<rt::ProcessLock> locked(q->lock);
        if (q->mode.load() != waiting) return false;
        // Asked under the lock: a queue that a handler's start passes on stops waiting before that
        // handler's pump runs, so an entry that met it waiting is never written ahead of those it held.
        at_once = process().handler_ran.load();
        if (!at_once) q->held.push_back(Ref::incref(item));
        if (Py_ssize_t(q->held.size()) > waiting_bound && !q->draining) {
            past_bound.swap(q->held);
            q->draining = true;
        }
    }
    if (at_once) {
        Ref one = rt::owned(PyList_New(1));
        PyList_SET_ITEM(one.get(), 0, Ref::incref(item).release());
        write_at_once(g, one.get());
        return true;
    }
    entry_waits(g);
    if (past_bound.empty()) return true;
    // One thread writes them; entries put meanwhile wait behind them, so the order stays.
    Ref entries = list_of(past_bound);
    try {
        write_at_once(g, entries.get());
    } catch (...) {
        q->draining = false;
        throw;
    }
    q->draining = false;
    return true;
}

// Another thread, while a close keeps more than `high_water` entries for after its writer: it
// waits, 1 s at most, for the close to write them.
void wait_for_the_close(QueueCore* q) {
    auto kept = [q] {
        std::lock_guard<rt::ProcessLock> locked(q->lock);
        return (long long)q->held.size();
    };
    if (PyThread_get_thread_ident() == q->loop_thread || kept() <= high_water) return;
    double deadline = monotonic_seconds() + 1.0;
    while (q->mode.load() == closing && monotonic_seconds() < deadline) {
        Py_BEGIN_ALLOW_THREADS
        usleep(1000);
        Py_END_ALLOW_THREADS
    }
}

bool put_closing(PyObject* g, QueueCore* q, PyObject* item) {
    if (marks_the_end(g, item)) return true;
    wait_for_the_close(q);
    std::lock_guard<rt::ProcessLock> locked(q->lock);
    if (q->mode.load() != closing) return false;
    q->held.push_back(Ref::incref(item));
    return true;
}

// How many passed-on queues this thread's put has gone through: queues that passed on to each
// other (a successor that was passed on back to this one) must not send an entry round for ever.
thread_local int passed_on_hops = 0;

struct PassedOnHop {
    PassedOnHop() noexcept { ++passed_on_hops; }
    ~PassedOnHop() { --passed_on_hops; }
    PassedOnHop(const PassedOnHop&) = delete;
    PassedOnHop& operator=(const PassedOnHop&) = delete;
};

void put_passed_on(PyObject* g, PyObject* self, QueueCore* q, PyObject* item) {
    if (marks_the_end(g, item)) return;
    PassedOnHop hop;
    if (passed_on_hops > 8) {  // a round of queues: the entry is written at once, not lost
        Ref one = rt::owned(PyList_New(1));
        PyList_SET_ITEM(one.get(), 0, Ref::incref(item).release());
        write_at_once(g, one.get());
        return;
    }
    Ref weak;
    {
        std::lock_guard<rt::ProcessLock> locked(q->lock);
        weak = q->successor;
    }
    Ref next = weak ? rt::referent(weak.get()) : Ref();
    if (next && is_log_queue(next.get())) return put_logged(g, next.get(), item);
    Ref current = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    if (current.get() != self && !is_log_queue(current.get())) {
        Ref entry = as_entry(item);  // a queue set by someone else takes entries only
        rt::call_method(current.get(), name<"put_nowait">(), {entry.get()});
        return;
    }
    if (current.get() != self) return put_logged(g, current.get(), item);
    Ref one = rt::owned(PyList_New(1));
    PyList_SET_ITEM(one.get(), 0, Ref::incref(item).release());
    write_at_once(g, one.get());
}

void put_logged(PyObject* g, PyObject* self, PyObject* item) {
    CoreOf q = core(self);
    for (;;) {
        switch (q->mode.load()) {
            case running:
                if (put_running(g, self, q, item)) return;
                break;
            case waiting:
                if (put_waiting(g, q, item)) return;
                break;
            case closing:
                if (put_closing(g, q, item)) return;
                break;
            default: return put_passed_on(g, self, q, item);
        }
    }
}

PyObject* put_nowait(PyObject* self, PyObject* item) {
    return rt::guard(
        [&]() -> PyObject* {
            PyObject* g = process().globals.get();
            capture_if_asked(g, item);
            keep_as_logged(g, item);
            put_logged(g, self, item);
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* deliver_method(PyObject* self, PyObject*) {
    return rt::guard(
        [&]() -> PyObject* {
            deliver(self);
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

// __init__(*args, **kwargs): asyncio.Queue's, then the queue's core.
PyObject* init_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return rt::guard(
        [&]() -> PyObject* {
            preset_queue_slots(self);
            Ref init = rt::getattr(process().queue_class.get(), name<"__init__">());
            Ref with_self = rt::owned(PySequence_Concat(rt::tuple({self}).get(), args));
            rt::owned(PyObject_Call(init.get(), with_self.get(), kwargs));
            (void)core(self);
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef queue_methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(init_method)), METH_VARARGS | METH_KEYWORDS,
     "asyncio.Queue's, and what the package's queue keeps beside it."},
    {"put_nowait", put_nowait, METH_O, "Puts an entry where it goes now, from any thread (see the class)."},
    {"put_threadsafe", put_nowait, METH_O, "put_nowait, which takes entries from any thread."},
    {"_deliver", deliver_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

rt::StaticType QueueCoreType("tarvo_loghandle.QueueCore", sizeof(QueueCore), [](rt::StaticType& t) {
    t.collected(core_dealloc, core_traverse, core_clear);
    t.tp_new = core_new;
    t.tp_doc = "What one of the package's queues keeps beside asyncio.Queue's.";
});

// What the queue held (the pump had not taken), and what it is given from now on, is kept.
void stop_running(PyObject* g, PyObject* self) {
    CoreOf q = core(self);
    std::vector<Ref> queued = take_queued(g, self);
    std::lock_guard<rt::ProcessLock> locked(q->lock);
    if (q->mode.load() != running) return;
    queued.insert(queued.end(), std::make_move_iterator(q->pending.begin()), std::make_move_iterator(q->pending.end()));
    q->pending.clear();
    queued.insert(queued.end(), std::make_move_iterator(q->held.begin()), std::make_move_iterator(q->held.end()));
    q->held.swap(queued);
    q->mode = closing;
}

// A running queue whose loop was closed without the handler's close: nothing reads it any more.
void abandon(PyObject* g, PyObject* self) {
    stop_running(g, self);
    finish_closing(g, self, true);
}

Ref make_queue_type(PyObject* g, const char* qualname, PyObject* doc, PyObject* slots) {
    Ref ns = rt::owned(PyDict_New());
    rt::bind(ns.get(), "__module__", global<"__name__">(g).get());
    rt::bind(ns.get(), "__qualname__", rt::str(qualname).get());
    rt::bind(ns.get(), "__doc__", doc);
    rt::bind(ns.get(), "__slots__", slots);
    Ref queue_class = rt::getattr(global<"asyncio">(g).get(), name<"Queue">());
    // Methods of asyncio.Queue's instances, as a C type's are (the self they are given is checked).
    for (PyMethodDef* def = queue_methods; def->ml_name; ++def) {
        Ref method = rt::owned(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(queue_class.get()), def));
        rt::check_int(PyDict_SetItemString(ns.get(), def->ml_name, method.get()));
    }
    Ref bases = rt::tuple({queue_class.get()});
    return rt::call(reinterpret_cast<PyObject*>(&PyType_Type), {rt::str(qualname).get(), bases.get(), ns.get()});
}

void write_held(PyObject* g, PyObject* self) {
    CoreOf c = core(self);
    // The turn is taken first: what a handler that starts meanwhile writes comes after these.
    AtOnceTurn turn(g);
    std::vector<Ref> held;
    {
        std::lock_guard<rt::ProcessLock> locked(c->lock);
        held.swap(c->held);
    }
    if (held.empty()) return;
    Ref entries = list_of(held);
    turn.write(entries.get());
}

Ref write_at_exit(Bound a);
extern const rt::FunctionDef write_at_exit_def;

// A child that multiprocessing forked ends by os._exit, after threading's own exit: what waits in
// it is written then (threading._register_atexit, where the interpreter has it; a child that exits
// as usual writes it at its exit too, and finds nothing left).
void write_at_threading_exit(PyObject* g) {
    Ref threading = rt::import("threading");
    Ref register_atexit = rt::optional_attr(threading.get(), name<"_register_atexit">());
    if (!register_atexit) return;
    try {
        rt::call(register_atexit.get(), {rt::make_function(write_at_exit_def, g).get()});
    } catch (PyErr& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;  // threading is shutting down already
    }
}

// In a child after fork, with the interpreter's lock held: what TLogger.queue held is the parent's
// (it writes it), and so is the run that read it. The child's entries wait in a queue of its own
// for a handler of the child's, or are written at once.
Ref forget_parents_entries(Bound a) {
    PyObject* g = a.globals();
    Ref tlogger = global<"TLogger">(g);
    Ref q = rt::getattr(tlogger.get(), name<"queue">());
    write_at_threading_exit(g);
    if (!is_log_queue(q.get())) return rt::none();
    CoreOf c = core(q.get());
    c->lock.remake();  // a thread of the parent's may have held it
    std::vector<Ref> pending, held;
    pending.swap(c->pending);
    held.swap(c->held);
    c->draining = false;
    if (c->mode.load() == waiting) return rt::none();
    if (c->mode.load() == running) (void)take_queued(g, q.get());
    Ref successor = new_waiting_queue(g);
    c->successor = rt::owned(PyWeakref_NewRef(successor.get(), nullptr));
    c->mode = passed_on;
    rt::setattr(tlogger.get(), name<"queue">(), successor.get());
    return rt::none();
}

const rt::FunctionDef forget_parents_entries_def = {
    "forget_parents_log_entries",
    "forget_parents_log_entries",
    {},
    forget_parents_entries,
    rt::FunctionKind::plain,
    "In a child after fork: the log entries that waited in the parent, or that its handler had not "
    "written yet, are the parent's."};

// atexit: what waited for a handler that never came, and what a handler whose loop went away
// without its close left; then what the output still owes.
Ref write_at_exit(Bound a) {
    PyObject* g = a.globals();
    Ref q = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    if (is_log_queue(q.get())) {
        CoreOf c = core(q.get());
        if (c->mode.load() == waiting) {
            write_held(g, q.get());
        } else if (c->mode.load() == running && rt::call(process().running_loop.get()).get() != c->loop.get()) {
            abandon(g, q.get());
        } else if (c->mode.load() == closing) {
            finish_closing(g, q.get(), true);
        }
    }
    write_owed(g);
    return rt::none();
}

const rt::FunctionDef write_at_exit_def = {"write_waiting_entries",
                                           "write_waiting_entries",
                                           {},
                                           write_at_exit,
                                           rt::FunctionKind::plain,
                                           "At exit: the log entries that waited for a handler that never started (or "
                                           "whose loop went away), written at once."};

void make_queue_types(PyObject* g) {
    ProcessState& state = process();
    state.globals = Ref::incref(g);
    if (state.waiting_queue_type) return;
    follow_process_life(g);
    Ref queue_class = rt::getattr(global<"asyncio">(g).get(), name<"Queue">());
    state.queue_class = queue_class;
    state.queue_put = rt::getattr(queue_class.get(), name<"put_nowait">());
    state.queue_get = rt::getattr(queue_class.get(), name<"get_nowait">());
    find_asyncio_put(queue_class.get());
    state.bound_fields = rt::owned(PyContextVar_New("tarvo_loghandle.context.fields", nullptr));
    state.running_loop = rt::getattr(rt::import("asyncio.events").get(), name<"_get_running_loop">());
    Ref slots = queue_slot_names(queue_class.get());
    Ref waiting_type = make_queue_type(
        g, "WaitingQueue",
        name<"TLogger.queue while no LoggingHandler runs: entries wait for the first handler, or are written at once "
             "after a handler has run. put_nowait takes entries from any thread.">(),
        slots.get());
    Ref running_type = make_queue_type(
        g, "LogQueue",
        name<"TLogger.queue while a LoggingHandler runs: its pump reads it. put_nowait takes entries from any thread, "
             "and hands those of other threads to the handler's loop in their order.">(),
        slots.get());
    if (!find_queue_slots(waiting_type.get()) || !find_queue_slots(running_type.get()))
        rt::raise_format(PyExc_RuntimeError, "the slots of the package's queue classes are not where they were made");
    state.waiting_queue_type = std::move(waiting_type);
    state.running_queue_type = std::move(running_type);
    rt::call_method(rt::import("atexit").get(), name<"register">(), {rt::make_function(write_at_exit_def, g).get()});
    rt::call_kw(rt::getattr(rt::import("os").get(), name<"register_at_fork">()).get(),
                {rt::make_function(forget_parents_entries_def, g).get()}, rt::keywords<"after_in_child">());
}

}  // namespace

Ref queue_for_record_items(PyObject* g) {
    ProcessState& state = process();
    if (state.capturing.load(std::memory_order_relaxed)) return Ref();
    Ref queue = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    if (!state.running_queue_type ||
        !Py_IS_TYPE(queue.get(), reinterpret_cast<PyTypeObject*>(state.running_queue_type.get())))
        return Ref();
    Ref found = slot_value(queue.get(), QueueSlot::core);
    if (!found || !PyObject_TypeCheck(found.get(), &QueueCoreType) || as_core(found.get())->mode.load() != running)
        return Ref();
    return queue;
}

void put_record_item(PyObject* queue, PyObject* item) { put_logged(process().globals.get(), queue, item); }

bool is_log_queue(PyObject* q) {
    ProcessState& state = process();
    if (!state.waiting_queue_type) return false;
    PyTypeObject* type = Py_TYPE(q);
    return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(state.waiting_queue_type.get())) ||
           PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(state.running_queue_type.get()));
}

Ref new_waiting_queue(PyObject*) { return rt::call(process().waiting_queue_type.get()); }

Ref new_running_queue(PyObject*, PyObject* loop) {
    Ref q = rt::call(process().running_queue_type.get());
    CoreOf c = core(q.get());
    c->loop = Ref::incref(loop);
    c->loop_thread = PyThread_get_thread_ident();
    c->mode = running;
    return q;
}

void start_waiting(PyObject* g) {
    make_queue_types(g);
    if (process().handler_ran.load()) return;
    Ref current = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    if (is_log_queue(current.get()) && core(current.get())->mode.load() == waiting) return;
    Ref q = new_waiting_queue(g);
    pass_on(g, current.get(), q.get());
    rt::setattr(global<"TLogger">(g).get(), name<"queue">(), q.get());
    if (!is_log_queue(current.get())) pass_on(g, current.get(), q.get());  // what reached the old queue meanwhile
}

void write_waiting(PyObject* g) {
    Ref q = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    if (is_log_queue(q.get()) && core(q.get())->mode.load() == waiting) write_held(g, q.get());
    write_owed(g);
}

void handler_ran() noexcept { process().handler_ran = true; }

void pass_on(PyObject* g, PyObject* from, PyObject* into) {
    CoreOf to = core(into);
    if (!is_log_queue(from)) {
        Ref queue_class = rt::getattr(global<"asyncio">(g).get(), name<"Queue">());
        if (!rt::check_int(PyObject_IsInstance(from, queue_class.get()))) return;
        while (!rt::truth(rt::call_method(from, name<"empty">()).get())) {
            Ref item = rt::call_method(from, name<"get_nowait">());
            if (!marks_the_end(g, item.get())) put_logged(g, into, item.get());
        }
        return;
    }
    CoreOf q = core(from);
    // Only the thread that runs the handler's start or close gets here: nothing else takes from the
    // asyncio part of a queue, and only its loop's thread puts there.
    std::vector<Ref> items = q->mode.load() == running ? take_queued(g, from) : std::vector<Ref>();
    Ref weak_into = rt::owned(PyWeakref_NewRef(into, nullptr));
    bool schedule = false;
    {
        std::lock_guard<rt::ProcessLock> locked(q->lock);
        for (std::vector<Ref>* part : {&q->pending, &q->held}) {
            items.insert(items.end(), std::make_move_iterator(part->begin()), std::make_move_iterator(part->end()));
            part->clear();
        }
        q->mode = passed_on;
        q->successor = std::move(weak_into);
        std::lock_guard<rt::ProcessLock> locked_into(to->lock);
        std::vector<Ref>& front = to->mode.load() == running ? to->pending : to->held;
        front.insert(front.begin(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
        if (to->mode.load() == running && !items.empty() && !to->delivery_due.exchange(true)) schedule = true;
        if (to->mode.load() == running) to->accepted += (long long)items.size();
    }
    if (schedule) {
        Ref delivery = rt::getattr(into, name<"_deliver">());
        rt::call_method(to->loop.get(), name<"call_soon_threadsafe">(), {delivery.get()});
    }
    // A waiting queue after a handler has run keeps nothing: what it was given is written now.
    if (to->mode.load() == waiting && process().handler_ran.load()) write_held(g, into);
}

void close_begun(PyObject* q) {
    if (is_log_queue(q)) core(q)->close_begun = true;
}

void pump_ended(PyObject* g, PyObject* q) {
    if (!is_log_queue(q)) return;
    CoreOf c = core(q);
    if (c->mode.load() != running) return;
    stop_running(g, q);
    bool writer_done;
    {
        std::lock_guard<rt::ProcessLock> locked(c->lock);
        c->pump_done = true;
        writer_done = c->writer_done;
    }
    if (writer_done) finish_closing(g, q, true);
}

void writer_ended(PyObject* g, PyObject* q, bool output_stalled) {
    if (!is_log_queue(q)) return;
    CoreOf c = core(q);
    bool pump_done;
    {
        std::lock_guard<rt::ProcessLock> locked(c->lock);
        c->writer_done = true;
        pump_done = c->pump_done;
    }
    if (pump_done) finish_closing(g, q, !output_stalled);
}

void finish_closing(PyObject* g, PyObject* q, bool write) {
    if (!is_log_queue(q) || core(q)->mode.load() != closing) return;
    CoreOf c = core(q);
    Ref successor = new_waiting_queue(g);
    Ref weak = rt::owned(PyWeakref_NewRef(successor.get(), nullptr));
    // The turn is taken first: entries that reach the successor meanwhile are written after these.
    std::optional<AtOnceTurn> turn;
    if (write) turn.emplace(g);
    std::vector<Ref> held;
    {
        std::lock_guard<rt::ProcessLock> locked(c->lock);
        if (c->mode.load() != closing) return;
        held.swap(c->held);
        c->mode = passed_on;
        c->successor = std::move(weak);
    }
    Ref tlogger = global<"TLogger">(g);
    if (rt::getattr(tlogger.get(), name<"queue">()).get() == q)
        rt::setattr(tlogger.get(), name<"queue">(), successor.get());
    if (held.empty()) return;
    Ref entries = list_of(held);
    if (turn) return turn->write(entries.get());
    // The output took nothing: they are counted, and told with the next write that succeeds.
    count_unwritten(g, entries.get(), "the output took nothing for 5 s");
}

long long entries_held(PyObject* q) {
    if (!is_log_queue(q)) {
        Ref size = rt::call_method(q, name<"qsize">());
        return PyLong_AsLongLong(size.get());
    }
    CoreOf c = core(q);
    long long n;
    {
        std::lock_guard<rt::ProcessLock> locked(c->lock);
        n = (long long)(c->pending.size() + c->held.size());
    }
    if (c->mode.load() == running) {
        Ref size = rt::call_method(q, name<"qsize">());
        n += PyLong_AsLongLong(size.get());
    }
    return n;
}

void taken(PyObject* q, long long n) noexcept {
    if (is_log_queue(q)) core(q)->taken += n;
}

}  // namespace tlh
