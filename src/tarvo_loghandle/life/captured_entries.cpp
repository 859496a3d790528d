#include "life/captured_entries.hpp"

#include "life/current_trace.hpp"
#include "life/logged_values.hpp"
#include "process_state.hpp"

#include <mutex>

namespace tlh {

Ref captured_entry_type() {
    ProcessState& state = process();
    if (!state.captured_entry_type) {
        Ref collections = rt::import("collections");
        state.captured_entry_type = rt::call_method(
            collections.get(), name<"namedtuple">(),
            {name<"CapturedEntry">(), name<"level logger message fields context exception module time trace">()});
        rt::setattr(state.captured_entry_type.get(), name<"__module__">(), name<"tarvo_loghandle.pytest_plugin">());
    }
    return state.captured_entry_type;
}

namespace {

// The captures that run are a tuple, replaced as a whole: a put takes it under the lock without
// making anything there (which could run Python code that logs).
Ref captures_now() {
    ProcessState& state = process();
    std::lock_guard<rt::ProcessLock> locked(state.lock);
    return state.captures;
}

void set_captures(Ref captures) {
    ProcessState& state = process();
    int running = int(PyTuple_GET_SIZE(captures.get()));
    {
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        std::swap(state.captures, captures);
        state.capturing.store(running);
    }
}

}  // namespace

// Started and stopped by the test's own thread, one at a time.
void start_capture(PyObject* list) {
    captured_entry_type();
    Ref now = captures_now();
    Ref more = now ? rt::owned(PySequence_Concat(now.get(), rt::tuple({list}).get())) : rt::tuple({list});
    set_captures(std::move(more));
}

void stop_capture(PyObject* list) {
    Ref now = captures_now();
    if (!now) return;
    Ref left = rt::owned(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(now.get()); ++i)
        if (PyTuple_GET_ITEM(now.get(), i) != list)
            rt::check_int(PyList_Append(left.get(), PyTuple_GET_ITEM(now.get(), i)));
    set_captures(rt::owned(PyList_AsTuple(left.get())));
}

namespace {

void capture(PyObject* g, PyObject* entry, PyObject* lists) {
    if (!rt::check_int(PyObject_IsInstance(entry, global<"LogEntry">(g).get()))) return;
    Ref prefix = rt::getattr(entry, name<"prefix">());
    Ref logger = rt::owned(PyUnicode_Join(name<".">(), prefix.get()));
    Ref kwargs = rt::getattr(entry, name<"kwargs">());
    Ref fields = rt::owned(PyDict_Check(kwargs.get()) ? PyDict_Copy(kwargs.get()) : PyDict_New());
    Ref bound = bound_fields_now();
    Ref context = rt::owned(bound ? PyDict_Copy(bound.get()) : PyDict_New());
    Ref exception = rt::optional_attr(entry, name<"exception">());
    Ref trace = current_trace();
    Ref captured = rt::call(
        captured_entry_type().get(),
        {rt::getattr(entry, name<"level">()).get(), logger.get(), rt::getattr(entry, name<"msg">()).get(), fields.get(),
         context.get(), exception ? exception.get() : Py_None, rt::getattr(entry, name<"module">()).get(),
         rt::getattr(entry, name<"timestamp">()).get(), trace ? trace.get() : Py_None});
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(lists); ++i)
        rt::check_int(PyList_Append(PyTuple_GET_ITEM(lists, i), captured.get()));
}

}  // namespace

void capture_if_asked(PyObject* g, PyObject* entry) {
    ProcessState& state = process();
    if (!state.capturing.load(std::memory_order_relaxed)) return;
    Ref lists = captures_now();
    if (!lists) return;
    try {
        capture(g, entry, lists.get());
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;  // what is not an entry: the writer shows it
    }
}

}  // namespace tlh
