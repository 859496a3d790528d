#include "outputs/descriptor_write.hpp"

#include "outputs/output_thread.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace tlh {
namespace {

// The turn of the processes that share an output, for one piece: a write lock on all of it, by
// fcntl's system call (glibc's own binds to 2.28, past the wheels' baseline). Record locks belong
// to a process (its threads take turns by the output's own lock), are never inherited by a child,
// and go with the process when it ends. An output that has none to give (EINVAL, ENOLCK), or a
// lock that would deadlock, is written without.
class SharedTurn {
public:
    SharedTurn(int fd, Turns turns) noexcept : fd_(fd) {
        struct flock whole = {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (turns == Turns::waited_for) {  // the kernel wakes it when the turn is free: no race lost
            int done;
            while ((done = int(syscall(SYS_fcntl, fd, F_SETLKW, &whole))) != 0 && errno == EINTR) {
            }
            held_ = done == 0;
            return;
        }
        double deadline = monotonic_seconds() + write_patience_s;
        for (;;) {
            if (syscall(SYS_fcntl, fd, F_SETLK, &whole) == 0) {
                held_ = true;
                return;
            }
            if (errno != EACCES && errno != EAGAIN && errno != EINTR) return;
            if (monotonic_seconds() >= deadline) return;  // its holder is stuck: not waited for any longer
            ::poll(nullptr, 0, 1);
        }
    }
    ~SharedTurn() {
        if (!held_) return;
        struct flock whole = {};
        whole.l_type = F_UNLCK;
        whole.l_whence = SEEK_SET;
        syscall(SYS_fcntl, fd_, F_SETLK, &whole);
    }
    SharedTurn(const SharedTurn&) = delete;
    SharedTurn& operator=(const SharedTurn&) = delete;

private:
    int fd_;
    bool held_ = false;
};

// One piece, in its turn: written until the system has taken all of it, or stops. Returns the
// errno that stopped it (EINTR: a signal, for the caller to look at), or 0.
int write_piece(int fd, WholeWrite& whole, Turns turns, OutputProgress* progress) noexcept {
    std::optional<SharedTurn> turn;
    if (turns != Turns::none) turn.emplace(fd, turns);
    size_t piece_end = whole.done() + whole.next().size();
    while (!whole.finished() && whole.done() < piece_end) {
        // Given up on by the handler's close, which has counted what was not written by then:
        // nothing more may be written, or it would be written and counted lost.
        if (progress && progress->abandoned.load()) return EAGAIN;
        std::string_view piece = whole.next();
        ssize_t n = ::write(fd, piece.data(), piece.size());
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        if (progress) {  // how long the output has taken nothing is the run's, across writes
            double none = 0;
            if (n > 0) {
                progress->bytes_taken += (unsigned long long)n;
                progress->idle_since = 0;
            } else {
                progress->idle_since.compare_exchange_strong(none, monotonic_seconds());
            }
        }
        if (!whole.took(n > 0 ? size_t(n) : 0)) return EAGAIN;
        if (n <= 0) {  // a non-blocking output that is full: waited for, a tenth of a second at a time
            pollfd room{fd, POLLOUT, 0};
            ::poll(&room, 1, 100);
        }
    }
    return 0;
}

PyObject* write_to_descriptor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return rt::guard(
        [&]() -> PyObject* {
            if (nargs != 4 || !PyLong_Check(args[0]) || !PyBytes_Check(args[1]))
                rt::raise(PyExc_TypeError, "write_to_descriptor(fd, data, piece_limit, executor)");
            int fd = int(PyLong_AsLong(args[0]));
            size_t limit = PyLong_AsSize_t(args[2]);
            if (PyErr_Occurred()) rt::throw_error();
            Ref data = Ref::incref(args[1]);
            OutputProgress* progress = args[3] != Py_None ? &progress_of(args[3]) : nullptr;
            WholeWrite whole({PyBytes_AS_STRING(data.get()), size_t(PyBytes_GET_SIZE(data.get()))}, limit);
            int err = write_pieces(fd, whole, is_shared_output(fd) ? Turns::waited_for : Turns::none, progress);
            if (!err) Py_RETURN_NONE;
            Ref error;
            if (err == EAGAIN) {
                error = rt::call(PyExc_BlockingIOError, {name<"the output took nothing for 2 s">()});
            } else {
                errno = err;
                PyErr_SetFromErrno(PyExc_OSError);
                error = rt::fetch_exception();
            }
            Ref done = rt::owned(PyLong_FromSize_t(whole.done()));
            return rt::tuple({done.get(), error.get()}).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef write_to_descriptor_def = {
    "write_to_descriptor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_to_descriptor)),
    METH_FASTCALL, "write_to_descriptor(fd, data, piece_limit, executor): the bytes written whole, on this thread."};

}  // namespace

bool is_shared_output(int fd) noexcept {
    struct stat st;
    if (fd < 0 || syscall(SYS_fstat, fd, &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

int write_pieces(int fd, WholeWrite& whole, Turns turns, OutputProgress* progress) {
    while (!whole.finished()) {
        int err;
        Py_BEGIN_ALLOW_THREADS
        err = write_piece(fd, whole, turns, progress);
        Py_END_ALLOW_THREADS
        if (err == EINTR) {
            if (PyErr_CheckSignals() < 0) rt::throw_error();
            continue;
        }
        if (err) return err;
    }
    return 0;
}

PyObject* descriptor_write_function() {
    static PyObject* const function = rt::check(PyCFunction_New(&write_to_descriptor_def, nullptr));
    return function;
}

}  // namespace tlh
