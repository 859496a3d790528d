#include "waiting.hpp"

#include "at_once.hpp"

#include <atomic>

namespace tlh {
namespace {

std::atomic<bool> ran{false};       // a handler's pump has run in this process
std::atomic<bool> draining{false};  // a thread writes the entries that waited past the bound
PyObject* waiting_type = nullptr;   // made by the first import, kept for the life of the process

bool is_waiting_queue(PyObject* q) {
    return waiting_type && PyObject_TypeCheck(q, reinterpret_cast<PyTypeObject*>(waiting_type));
}

bool is_end_marker(PyObject* g, PyObject* item) {
    return rt::getattr(global<"TLogger">(g).get(), name<"queue_sentinel_eof">()).get() == item;
}

bool is_queue(PyObject* g, PyObject* q) {
    Ref queue_class = rt::getattr(global<"asyncio">(g).get(), name<"Queue">());
    return rt::check_int(PyObject_IsInstance(q, queue_class.get()));
}

// What is queued on q (if it is an asyncio.Queue), in order, end markers left out: nothing reads
// q any more.
Ref take_entries(PyObject* g, PyObject* q) {
    Ref entries = rt::owned(PyList_New(0));
    if (!is_queue(g, q)) return entries;
    while (!rt::truth(rt::call_method(q, name<"empty">()).get())) {
        Ref item = rt::call_method(q, name<"get_nowait">());
        if (!is_end_marker(g, item.get())) rt::check_int(PyList_Append(entries.get(), item.get()));
    }
    return entries;
}

// Entries that are to wait in `q`: put there before the first handler runs, written at once after.
void deliver(PyObject* g, PyObject* q, PyObject* entries) {
    if (ran.load()) return write_at_once(g, entries);
    for (Ref& entry : rt::iterate(entries)) rt::call_method(q, name<"put_nowait">(), {entry.get()});
}

Ref put_nowait(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    PyObject* item = a[1];
    Ref current = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    // A handler took this queue's place (a thread that read TLogger.queue just before): the entry
    // goes where entries go now.
    if (current.get() != self) return rt::call_method(current.get(), name<"put_nowait">(), {item});
    if (is_end_marker(g, item)) return rt::none();  // no pump reads this queue: there is nothing to end
    if (ran.load()) {
        Ref one = rt::owned(PyList_New(1));
        PyList_SET_ITEM(one.get(), 0, Ref::incref(item).release());
        write_at_once(g, one.get());
        return rt::none();
    }
    PyObject* base = reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(waiting_type)->tp_base);
    rt::call(rt::getattr(base, name<"put_nowait">()).get(), {self, item});
    Py_ssize_t waiting = PyLong_AsSsize_t(rt::call_method(self, name<"qsize">()).get());
    if (waiting == -1 && PyErr_Occurred()) rt::throw_error();
    if (waiting > waiting_bound && !draining.exchange(true)) {
        // One thread writes them; entries put meanwhile wait behind them, so the order stays.
        try {
            write_at_once(g, take_entries(g, self).get());
        } catch (...) {
            draining = false;
            throw;
        }
        draining = false;
    }
    return rt::none();
}

const rt::FunctionDef put_nowait_def = {"put_nowait", "WaitingQueue.put_nowait", {"self", "item"}, put_nowait,
                                        rt::FunctionKind::plain,
    "Puts an entry where it goes while no handler runs: it waits for the first handler (written at once "
    "past 10000 waiting), or, after a handler has run, it is written at once."};

// atexit: what waited for a handler that never came.
Ref write_waiting(Bound a) {
    PyObject* g = a.globals();
    Ref q = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    if (is_waiting_queue(q.get())) write_at_once(g, take_entries(g, q.get()).get());
    return rt::none();
}

const rt::FunctionDef write_waiting_def = {"write_waiting_entries", "write_waiting_entries", {}, write_waiting,
                                           rt::FunctionKind::plain,
    "At exit: the log entries that waited for a handler that never started, written at once."};

void make_waiting_type(PyObject* g) {
    Ref ns = rt::owned(PyDict_New());
    rt::bind(ns.get(), "__module__", global<"__name__">(g).get());
    rt::bind(ns.get(), "__qualname__", name<"WaitingQueue">());
    rt::bind(ns.get(), "__doc__", name<"TLogger.queue while no LoggingHandler runs: entries wait for the first handler, "
                                        "or are written at once after a handler has run.">());
    rt::bind(ns.get(), "put_nowait", rt::make_function(put_nowait_def, g).get());
    Ref queue_class = rt::getattr(global<"asyncio">(g).get(), name<"Queue">());
    Ref bases = rt::tuple({queue_class.get()});
    waiting_type = rt::call(reinterpret_cast<PyObject*>(&PyType_Type), {name<"WaitingQueue">(), bases.get(), ns.get()})
                       .release();
    rt::call_method(rt::import("atexit").get(), name<"register">(), {rt::make_function(write_waiting_def, g).get()});
}

}  // namespace

void start_waiting(PyObject* g) {
    if (!waiting_type) make_waiting_type(g);
    if (ran.load()) return;
    Ref current = rt::getattr(global<"TLogger">(g).get(), name<"queue">());
    if (is_waiting_queue(current.get())) return;
    Ref q = rt::call(waiting_type);
    take_over(g, current.get(), q.get());
    rt::setattr(global<"TLogger">(g).get(), name<"queue">(), q.get());
    take_over(g, current.get(), q.get());  // what reached the old queue meanwhile
}

void handler_ran() noexcept { ran = true; }

void take_over(PyObject* g, PyObject* from, PyObject* into) {
    Ref entries = take_entries(g, from);
    for (Ref& entry : rt::iterate(entries.get())) rt::call_method(into, name<"put_nowait">(), {entry.get()});
}

void wait_again(PyObject* g, PyObject* queue, bool take) {
    Ref q = rt::call(waiting_type);
    rt::setattr(global<"TLogger">(g).get(), name<"queue">(), q.get());
    if (take) deliver(g, q.get(), take_entries(g, queue).get());
}

}  // namespace tlh
