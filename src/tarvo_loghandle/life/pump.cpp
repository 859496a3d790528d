// pump(q, splitter): the only consumer of the process-wide log queue. Takes entries in batches
// and pushes each into the splitter until the batch with the end marker (what follows the marker
// in it is pushed too); tells the splitter how the stream ended, and the queue that it is no
// longer read.
#include "life/log_queue.hpp"
#include "life/record_items.hpp"

namespace tlh {
namespace {

// What the splitter is given for an item of the queue: a record's item becomes its LogEntry here.
// One that cannot be made (LogEntry refused the record's fields) is told, as logging tells a
// record that fails its handler, and the pump goes on.
Ref entry_to_push(PyObject* g, PyObject* item) {
    try {
        return as_entry(item);
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        rt::Except handling(e);
        debug(g, rt::concat({name<"pump could not make the entry of a logging record: ">(), format_exc(g).get()}));
        e.restore();
        PyErr_WriteUnraisable(nullptr);
        return Ref();
    }
}

// `x == marker`. An item whose comparison fails is no end marker: it is passed on like any other
// (the writer shows a line for what it cannot render), and the pump goes on.
bool ends_the_stream(PyObject* g, PyObject* x, PyObject* marker, long long i) {
    try {
        return is_end_marker(x, marker);
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        rt::Except handling(e);
        debug(g, rt::concat({rt::ascii("pump could not compare message #", i, " with the end marker: ").get(),
                             format_exc(g).get()}));
        return false;
    }
}

// list(subscribers.values())[0]; a dict's first value is taken without the list.
Ref first_value(PyObject* subscribers) {
    if (PyDict_CheckExact(subscribers)) {
        rt::Locked locked(subscribers);
        Py_ssize_t pos = 0;
        PyObject* value;
        if (PyDict_Next(subscribers, &pos, nullptr, &value)) return Ref::incref(value);
    }
    Ref values = rt::call_method(subscribers, name<"values">());
    Ref list = rt::owned(PySequence_List(values.get()));
    return rt::owned(PySequence_GetItem(list.get(), 0));
}

rt::Async pump(Bound a) {
    PyObject* g = a.globals();
    PyObject* q = a[0];
    PyObject* splitter = a[1];

    {
        Ref loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
        Ref loop_id = rt::owned(PyLong_FromVoidPtr(loop.get()));
        debug(g, rt::concat({name<"loop is ">(), loop_id.get()}));
    }
    debug(g, name<"pump started">());

    Caught caught;
    try {
        bool should_exit = false;
        rt::DecimalCount i;
        do {
            Ref batch = rt::call(global<"queue_get_multiple">(g).get(), {q});
            Ref xs = co_await rt::await(std::move(batch));
            for (Ref& x : rt::iterate(xs.get())) {
                debug(g, rt::ascii("pump got message #", i));
                Ref subscribers = rt::getattr(splitter, name<"subscribers">());
                if (rt::truth(subscribers.get())) {
                    Ref first = first_value(subscribers.get());
                    Ref size = rt::call_method(rt::getattr(first.get(), name<"queue">()).get(), name<"qsize">());
                    long long n = PyLong_CheckExact(size.get()) ? PyLong_AsLongLong(size.get()) : -1;
                    if (n >= 0) {
                        debug(g, rt::ascii("pump got message #", i, " - his q is ", n));
                    } else {  // not a plain int: shown as an f-string shows it
                        PyErr_Clear();
                        Ref prefix = rt::ascii("pump got message #", i, " - his q is ");
                        debug(g, rt::concat({prefix.get(), size.get()}));
                    }
                }
                Ref eof = rt::getattr(global<"TLogger">(g).get(), name<"queue_sentinel_eof">());
                bool end = ends_the_stream(g, x.get(), eof.get(), i.value());
                ++i;
                if (end) {
                    // What follows the marker in the batch was put after the close began: it is
                    // still written, by this handler, in its order.
                    if (!should_exit) debug(g, name<"pump exits due to sentinel">());
                    should_exit = true;
                    continue;
                }
                Ref made;  // a record's item: its LogEntry
                if (is_record_item(x.get()) && !(made = entry_to_push(g, x.get()))) continue;
                rt::call_method(splitter, name<"push">(), {made ? made.get() : x.get()});
            }
        } while (!should_exit);
    } catch (PyErr& e) {
        caught = std::move(e);
    }

    // Nothing reads the queue any more: it keeps what comes, for the close to write.
    pump_ended(g, q);
    if (caught.matches(global<"CancelledError">(g).get())) {
        rt::Except handling(caught);
        debug(g, name<"pump cancelled">());
        Ref finish = rt::call_method(splitter, name<"finish">());
        co_await rt::await(std::move(finish));
        co_return rt::none();  // cancellation ends the pump normally
    }
    if (caught) {
        rt::Except handling(caught);
        Ref finish;
        {
            Ref msg = rt::concat({name<"pump() exception ">(), format_exc(g).get()});
            debug(g, msg);
            finish = rt::call_method(splitter, name<"finish_error">(), {msg.get()});
        }
        co_await rt::await(std::move(finish));
        debug(g, name<"error shutdown for pump()">());
        caught.reraise();
    }

    Ref finish = rt::call_method(splitter, name<"finish">());
    co_await rt::await(std::move(finish));
    debug(g, name<"graceful shutdown for pump()">());
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef pump_def = {
    "pump",
    "pump",
    {"q", "splitter"},
    rt::coroutine_entry<pump>,
    rt::FunctionKind::coroutine,
    "Moves entries from the queue q into the splitter until the end marker; tells the splitter how the stream ended."};

}  // namespace tlh
