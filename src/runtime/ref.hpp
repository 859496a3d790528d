// References to Python objects, with who owns them in their types.
//
//   Ref       owns one reference. A new reference from the C API is taken over with Ref::steal, a
//             borrowed one is kept with Ref::incref; handing ours to the C API (which steals) is
//             Ref::release. It is released when the Ref goes.
//   Borrowed  names an object that someone else keeps alive for as long as it is used; it never
//             releases anything. A Ref lends itself as a Borrowed.
//
// A function that takes over a reference takes a Ref&&; one that gives a new reference returns a
// Ref; one that only looks at an object takes a Borrowed (or a PyObject*, where the C API's own
// signature asks for one). Nothing converts implicitly from a PyObject*.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace rt {

namespace detail {
// Set once the interpreter runs its exit functions, with the thread that runs them. From then on
// a daemon thread may be ended by a forced unwind whenever it waits for the GIL: inside a
// destructor (noexcept) that would abort the process, and on the unwinding path it holds no GIL.
extern std::atomic<bool> exiting;
extern std::atomic<unsigned long> exiting_thread;
}  // namespace detail

// Whether this thread may release or change objects now. Once the interpreter exits, only the
// exiting thread may (holding the GIL): any other thread leaves objects as they are (leaked), so
// that no destructor of ours runs a finalizer, Python code that could meet the GIL hand-off.
bool may_touch_objects_at_exit() noexcept;
[[gnu::always_inline]] inline bool may_touch_objects() noexcept {
    if (!detail::exiting.load(std::memory_order_relaxed)) [[likely]]
        return true;
    return may_touch_objects_at_exit();
}

// Drops one reference, unless this thread is being torn down without the GIL at exit. Not
// noexcept, and neither are the destructors that call it: a decref may run a finalizer, Python
// code that can be ended by a forced unwind at exit, which must be let through, not aborted on.
// Inlined everywhere: it runs for nearly every temporary.
[[gnu::always_inline]] inline void release_ref(PyObject* p) {
    if (may_touch_objects()) Py_DECREF(p);
}

class Borrowed;

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref incref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) {
        std::swap(p_, o.p_);
        return *this;
    }
    // Emptied before the reference is dropped: what the drop runs (a finalizer, a collection)
    // never finds a reference that is going.
    [[gnu::always_inline]] ~Ref() noexcept(false) {
        if (PyObject* p = std::exchange(p_, nullptr)) release_ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() {
        if (PyObject* p = std::exchange(p_, nullptr)) release_ref(p);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject* p) noexcept : p_(p) {}
    Borrowed(const Ref& r) noexcept : p_(r.get()) {}  // NOLINT: a Ref lends itself

    PyObject* get() const noexcept { return p_; }
    // A reference of our own to the same object.
    Ref ref() const noexcept { return Ref::incref(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace rt
