#include "life/waiting_writer.hpp"

#include "life/log_queue.hpp"
#include "life/sigterm.hpp"
#include "outputs/whole_write.hpp"
#include "process_state.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pythread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace tlh {
namespace {

// What the wake pipe carries: a new due time to wait for, or SIGTERM.
constexpr char nudge = 'n';
constexpr char sigterm = 'T';

bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// How long to wait for the wake pipe: until what waits is due, or for ever.
int wait_ms(double due) noexcept {
    if (!due) return -1;
    double left = due - monotonic_seconds();
    return left <= 0 ? 0 : int(left * 1000) + 1;
}

extern "C" void write_what_waits(void*) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);  // signals are the other threads'; SIGTERM comes by the pipe
    WaitingWriter& w = process().waiting_writer;
    const int wake = w.wake_pipe[0];
    for (;;) {
        pollfd readable{wake, POLLIN, 0};
        int ready = ::poll(&readable, 1, wait_ms(w.due.load()));
        bool terminating = false;
        if (ready > 0) {
            char got[64];
            ssize_t n = ::read(wake, got, sizeof got);
            for (ssize_t i = 0; i < n; ++i) terminating |= got[i] == sigterm;
        }
        // An interpreter that is going away writes what waits at its exit.
        if (!Py_IsInitialized() || finalizing()) {
            w.running_in.store(0);  // a SIGTERM from now on ends the process at once
            return;
        }
        double due = w.due.load();
        if (!terminating && !(due && monotonic_seconds() >= due)) continue;
        PyGILState_STATE held = PyGILState_Ensure();
        w.due.store(0);  // an entry held from now on asks for a write of its own
        try {
            write_waiting(process().globals.get());
        } catch (PyErr&) {
            // counted and told by the write where it can be; nothing more to do for them here
        }
        if (terminating) end_as_sigterm();
        PyGILState_Release(held);
    }
}

// The thread of this process, started if it is not there (a child after fork has none yet).
bool started(WaitingWriter& w) noexcept {
    pid_t here = ::getpid();
    if (w.running_in.load() == here) return true;
    std::lock_guard<rt::ProcessLock> locked(process().lock);
    if (w.running_in.load() == here) return true;
    if (w.start_failed_in == here) return false;
    for (int& fd : w.wake_pipe) {  // the parent's, inherited
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (::pipe2(w.wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        w.start_failed_in = here;
        return false;
    }
    // Python's own thread start: pthread_create binds to glibc 2.34 in the wheels' toolchain.
    if (PyThread_start_new_thread(write_what_waits, nullptr) == PYTHREAD_INVALID_THREAD_ID) {
        w.start_failed_in = here;
        return false;
    }
    w.running_in.store(here);
    return true;
}

void wake(WaitingWriter& w, char why) noexcept {
    ssize_t n = ::write(w.wake_pipe[1], &why, 1);  // a full pipe has a wake-up in it already
    (void)n;
}

}  // namespace

void entry_waits(PyObject* g) noexcept {
    WaitingWriter& w = process().waiting_writer;
    if (w.due.load(std::memory_order_relaxed)) return;
    if (finalizing() || !started(w)) return;
    arm_sigterm_for_waiting(g);  // once the thread is there to write what waits
    double none = 0;
    if (w.due.compare_exchange_strong(none, monotonic_seconds() + waiting_patience_s)) wake(w, nudge);
}

bool wake_for_sigterm() noexcept {
    WaitingWriter& w = process().waiting_writer;
    if (w.running_in.load() != ::getpid()) return false;
    wake(w, sigterm);
    return true;
}

}  // namespace tlh
