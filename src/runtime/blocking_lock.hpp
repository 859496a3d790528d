// A lock for blocking work that threads share (writing to one file): a thread waits for it with
// the interpreter let go, for a bounded time, so that a holder stuck in a system call holds up
// nobody for ever; the thread that holds it is known, so that work which comes back to it (a
// finalizer or a __repr__ that logs while it writes) can tell instead of waiting for itself.
#pragma once
#include "ref.hpp"

#include <pythread.h>

#include <atomic>

namespace rt {

class BlockingLock {
public:
    // Whether it was taken within `seconds`.
    // Not noexcept: a thread that gets the interpreter back at exit may be ended by a forced unwind.
    bool acquire(double seconds) {
        PyThread_type_lock lock = get();
        int got = PyThread_acquire_lock(lock, NOWAIT_LOCK);
        if (!got) {
            auto wait = static_cast<PY_TIMEOUT_T>(seconds * 1e6);
            PyLockStatus status;
            Py_BEGIN_ALLOW_THREADS
            status = PyThread_acquire_lock_timed(lock, wait, 0);
            Py_END_ALLOW_THREADS
            got = status == PY_LOCK_ACQUIRED;
        }
        if (got) owner_.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
        return got;
    }
    void release() noexcept {
        owner_.store(0, std::memory_order_relaxed);
        PyThread_release_lock(get());
    }
    bool held_here() const noexcept { return owner_.load(std::memory_order_relaxed) == PyThread_get_thread_ident(); }
    // In a child after fork the thread that held it is gone: a lock of its own, free.
    void remake() noexcept {
        lock_.store(PyThread_allocate_lock());
        owner_.store(0);
    }

private:
    PyThread_type_lock get() noexcept {
        PyThread_type_lock lock = lock_.load(std::memory_order_acquire);
        if (lock) return lock;
        PyThread_type_lock made = PyThread_allocate_lock();
        if (lock_.compare_exchange_strong(lock, made)) return made;
        PyThread_free_lock(made);
        return lock;
    }
    std::atomic<PyThread_type_lock> lock_{nullptr};
    std::atomic<unsigned long> owner_{0};
};

// Holds a BlockingLock for a scope, if it was taken within the time given.
class Taken {
public:
    Taken(BlockingLock& lock, double seconds) : lock_(lock), taken_(lock.acquire(seconds)) {}
    ~Taken() {
        if (taken_) lock_.release();
    }
    explicit operator bool() const noexcept { return taken_; }
    Taken(const Taken&) = delete;
    Taken& operator=(const Taken&) = delete;

private:
    BlockingLock& lock_;
    bool taken_;
};

}  // namespace rt
