#include "sigterm.hpp"

#include "log_queue.hpp"
#include "process_state.hpp"

#include <signal.h>

#include <atomic>

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

// The waiting entries' handler, installed in Python's signal table (run between two instructions of
// the main thread) and, beneath it, a C handler of ours that passes the first SIGTERM on to
// Python's and ends the process at the second: a main thread stuck in native code never runs the
// Python handler, and the operator's second SIGTERM must still work.
struct sigaction python_action;
std::atomic<int> sigterms{0};

extern "C" void count_sigterm(int signum, siginfo_t* info, void* context) {
    if (sigterms.fetch_add(1) == 0) {
        if (python_action.sa_flags & SA_SIGINFO) python_action.sa_sigaction(signum, info, context);
        else if (python_action.sa_handler != SIG_DFL && python_action.sa_handler != SIG_IGN)
            python_action.sa_handler(signum);
        return;
    }
    ::signal(SIGTERM, SIG_DFL);
    ::raise(SIGTERM);
}

// on_waiting_sigterm(signum, frame): what waits for a first handler is written, then SIGTERM's end.
Ref on_waiting_sigterm(Bound a) {
    PyObject* g = a.globals();
    Ref signal = rt::import("signal");
    default_action(signal.get());  // a second SIGTERM meanwhile ends the process at once
    try {
        write_waiting(g);
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        debug(g, name<"SIGTERM: the entries that waited could not be written">());
    }
    die_by_sigterm(signal.get());
    return rt::none();
}

const rt::FunctionDef on_waiting_sigterm_def = {"on_sigterm", "write_waiting_entries.<locals>.on_sigterm",
                                                {"signum", "frame"}, on_waiting_sigterm, rt::FunctionKind::plain};

bool is_main_thread() {
    Ref threading = rt::import("threading");
    Ref current = rt::call_method(threading.get(), name<"current_thread">());
    return current.get() == rt::call_method(threading.get(), name<"main_thread">()).get();
}

}  // namespace

void arm_sigterm_for_waiting(PyObject* g) noexcept {
    static std::atomic<bool> tried{false};
    if (tried.load(std::memory_order_relaxed)) return;
    try {
        if (!is_main_thread() || tried.exchange(true)) return;
        Ref signal = rt::import("signal");
        Ref sigterm = rt::getattr(signal.get(), name<"SIGTERM">());
        Ref installed = rt::call_method(signal.get(), name<"getsignal">(), {sigterm.get()});
        if (installed.get() != rt::getattr(signal.get(), name<"SIG_DFL">()).get()) return;  // the application's
        Ref handler = rt::make_function(on_waiting_sigterm_def, g);
        rt::call_method(signal.get(), name<"signal">(), {sigterm.get(), handler.get()});
        process().waiting_sigterm = std::move(handler);
        struct sigaction ours = {};
        ours.sa_sigaction = count_sigterm;
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        sigaction(SIGTERM, &ours, &python_action);
    } catch (PyErr&) {
        // no SIGTERM handler then: the entries still wait for a handler or the exit
    }
}

Ref arm_sigterm(PyObject* g, PyObject* handler) {
    if (!is_main_thread()) return rt::none();
    Ref signal = rt::import("signal");
    Ref sigterm = rt::getattr(signal.get(), name<"SIGTERM">());
    Ref installed = rt::call_method(signal.get(), name<"getsignal">(), {sigterm.get()});
    bool free = installed.get() == rt::getattr(signal.get(), name<"SIG_DFL">()).get() ||
                installed.get() == process().waiting_sigterm.get();  // ours, for the entries that waited
    if (!free) return rt::none();  // the application's
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
