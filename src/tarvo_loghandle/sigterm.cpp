#include "sigterm.hpp"

namespace tlh {
namespace {

Ref closure_of(std::initializer_list<PyObject*> values) {
    Ref closure = rt::owned(PyTuple_New(Py_ssize_t(values.size())));
    Py_ssize_t i = 0;
    for (PyObject* v : values) PyTuple_SET_ITEM(closure.get(), i++, rt::owned(PyCell_New(v)).release());
    return closure;
}

void default_action(PyObject* signal) {
    rt::call_method(signal, name<"signal">(), {rt::getattr(signal, name<"SIGTERM">()).get(),
                                               rt::getattr(signal, name<"SIG_DFL">()).get()});
}

// Ends the process as SIGTERM's default action does: the exit a service manager expects to see.
void die_by_sigterm(PyObject* signal) {
    default_action(signal);
    rt::call_method(signal, name<"raise_signal">(), {rt::getattr(signal, name<"SIGTERM">()).get()});
}

// terminate(): the handler closed (what was logged is written, within the close's bounds), then
// SIGTERM's own end. closure: (handler,)
rt::Async terminate(Bound a) {
    PyObject* g = a.globals();
    debug(g, name<"log: SIGTERM: closing the handler, then ending as SIGTERM does">());
    Ref closing = rt::call_method(a.cell(0).get(), name<"aclose">());
    Caught failed;
    try {
        co_await rt::await(std::move(closing));
    } catch (PyErr& e) {
        Ref cancelled = rt::getattr(global<"asyncio">(g).get(), name<"CancelledError">());
        if (!e.matches(PyExc_Exception) && !e.matches(cancelled.get())) throw;
        failed = std::move(e);
    }
    if (failed) {
        rt::Except handling(failed);
        debug(g, rt::concat({name<"log: SIGTERM: the close failed: ">(), format_exc(g).get()}));
    }
    die_by_sigterm(rt::import("signal").get());
    co_return rt::none();
}

const rt::FunctionDef terminate_def = {"terminate", "log.<locals>.terminate", {}, rt::coroutine_entry<terminate>,
                                       rt::FunctionKind::coroutine};

// on_sigterm(signum, frame), run by Python between two instructions of the main thread: the close
// is started on the handler's loop. A second SIGTERM meanwhile ends the process at once, as the
// operator insists. closure: (handler, loop)
Ref on_sigterm(Bound a) {
    PyObject* g = a.globals();
    Ref signal = rt::import("signal");
    default_action(signal.get());
    try {
        Ref make = rt::make_function(terminate_def, g, closure_of({a.cell(0).get()}).get());
        Ref loop = a.cell(1);
        Ref create_task = rt::getattr(loop.get(), name<"create_task">());
        rt::call_method(loop.get(), name<"call_soon_threadsafe">(), {create_task.get(), rt::call(make.get()).get()});
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        die_by_sigterm(signal.get());  // the loop is gone: nothing can be written any more
    }
    return rt::none();
}

const rt::FunctionDef on_sigterm_def = {"on_sigterm", "log.<locals>.on_sigterm", {"signum", "frame"}, on_sigterm,
                                        rt::FunctionKind::plain};

}  // namespace

Ref arm_sigterm(PyObject* g, PyObject* handler) {
    Ref threading = rt::import("threading");
    Ref current = rt::call_method(threading.get(), name<"current_thread">());
    if (current.get() != rt::call_method(threading.get(), name<"main_thread">()).get()) return rt::none();
    Ref signal = rt::import("signal");
    Ref sigterm = rt::getattr(signal.get(), name<"SIGTERM">());
    Ref installed = rt::call_method(signal.get(), name<"getsignal">(), {sigterm.get()});
    if (installed.get() != rt::getattr(signal.get(), name<"SIG_DFL">()).get()) return rt::none();  // the application's
    Ref loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
    Ref armed = rt::make_function(on_sigterm_def, g, closure_of({handler, loop.get()}).get());
    rt::call_method(signal.get(), name<"signal">(), {sigterm.get(), armed.get()});
    return armed;
}

void disarm_sigterm(PyObject* armed) {
    if (armed == Py_None) return;
    Ref signal = rt::import("signal");
    Ref installed = rt::call_method(signal.get(), name<"getsignal">(), {rt::getattr(signal.get(), name<"SIGTERM">()).get()});
    if (installed.get() == armed) default_action(signal.get());
}

}  // namespace tlh
