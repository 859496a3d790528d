#include "life/sigterm.hpp"

#include "life/waiting_writer.hpp"
#include "process_state.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tlh {
namespace {

Ref closure_of(std::initializer_list<PyObject*> values) {
    Ref closure = rt::owned(PyTuple_New(Py_ssize_t(values.size())));
    Py_ssize_t i = 0;
    for (PyObject* v : values) PyTuple_SET_ITEM(closure.get(), i++, rt::owned(PyCell_New(v)).release());
    return closure;
}

void default_action(PyObject* signal) {
    rt::call_method(signal, name<"signal">(),
                    {rt::getattr(signal, name<"SIGTERM">()).get(), rt::getattr(signal, name<"SIG_DFL">()).get()});
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

const rt::FunctionDef terminate_def = {
    "terminate", "log.<locals>.terminate", {}, rt::coroutine_entry<terminate>, rt::FunctionKind::coroutine};

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

const rt::FunctionDef on_sigterm_def = {
    "on_sigterm", "log.<locals>.on_sigterm", {"signum", "frame"}, on_sigterm, rt::FunctionKind::plain};

// While entries wait for a first handler, SIGTERM is caught by a handler of the C level (Python's
// signal table still says SIG_DFL, so log() and the application install theirs as before, and
// theirs replaces it). It only wakes the thread that writes what waits (waiting_writer.hpp), which
// takes the interpreter, writes it and ends the process as SIGTERM does: the main thread may be
// anywhere then (in a sleep that began just after the signal, in native code) and need not run a
// Python handler. A second SIGTERM ends the process at once, and so does one in a process that has
// no such thread (a child that inherited the handler, before anything waited there).
extern "C" void on_waiting_sigterm(int) {
    if (process().sigterm.seen.fetch_add(1) == 0 && wake_for_sigterm()) return;
    end_as_sigterm();
}

bool is_main_thread() {
    Ref threading = rt::import("threading");
    Ref current = rt::call_method(threading.get(), name<"current_thread">());
    return current.get() == rt::call_method(threading.get(), name<"main_thread">()).get();
}

}  // namespace

void end_as_sigterm() noexcept {
    ::signal(SIGTERM, SIG_DFL);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);  // this thread's mask (pthread_sigmask is glibc 2.32's)
    ::kill(::getpid(), SIGTERM);
    for (;;) ::pause();
}

void arm_sigterm_for_waiting(PyObject*) noexcept {
    SigtermWatch& watch = process().sigterm;
    if (watch.tried.load(std::memory_order_relaxed)) return;
    try {
        if (!is_main_thread() || watch.tried.exchange(true)) return;
        Ref signal = rt::import("signal");
        Ref installed =
            rt::call_method(signal.get(), name<"getsignal">(), {rt::getattr(signal.get(), name<"SIGTERM">()).get()});
        if (installed.get() != rt::getattr(signal.get(), name<"SIG_DFL">()).get()) return;  // the application's
        struct sigaction now = {};
        if (sigaction(SIGTERM, nullptr, &now) != 0 || now.sa_handler != SIG_DFL) return;  // another library's
        struct sigaction ours = {};
        ours.sa_handler = on_waiting_sigterm;
        ours.sa_flags = SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        sigaction(SIGTERM, &ours, nullptr);
    } catch (PyErr&) {
        // no SIGTERM handler then: the entries still wait for a handler or the exit
    }
}

Ref arm_sigterm(PyObject* g, PyObject* handler) {
    if (!is_main_thread()) return rt::none();
    Ref signal = rt::import("signal");
    Ref sigterm = rt::getattr(signal.get(), name<"SIGTERM">());
    Ref installed = rt::call_method(signal.get(), name<"getsignal">(), {sigterm.get()});
    // SIG_DFL in Python's table: also while ours for the entries that wait is there, which this replaces
    if (installed.get() != rt::getattr(signal.get(), name<"SIG_DFL">()).get()) return rt::none();  // the application's
    Ref loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
    Ref armed = rt::make_function(on_sigterm_def, g, closure_of({handler, loop.get()}).get());
    rt::call_method(signal.get(), name<"signal">(), {sigterm.get(), armed.get()});
    return armed;
}

void disarm_sigterm(PyObject* armed) {
    if (armed == Py_None) return;
    Ref signal = rt::import("signal");
    Ref installed =
        rt::call_method(signal.get(), name<"getsignal">(), {rt::getattr(signal.get(), name<"SIGTERM">()).get()});
    if (installed.get() == armed) default_action(signal.get());
}

}  // namespace tlh
