// One C++ exception type carries a Python exception across C++ frames.
//
// It holds the normalised exception instance (with its traceback attached), so raising
// it again restores the identical object. Slot functions convert back at the boundary
// with guard(); nothing C++ unwinds into the interpreter.
#pragma once
#include "ref.hpp"

#include <exception>

namespace rt {

// Not a std::exception: releasing the exception object may run Python code (a finalizer), and
// std::exception's destructor is noexcept.
class PyErr {
public:
    explicit PyErr(Ref exc) noexcept : exc_(std::move(exc)) {}

    // Takes the interpreter's error indicator; a missing one becomes SystemError.
    static PyErr fetch();
    // Sets the error indicator to this very exception, traceback included.
    void restore() const noexcept;

    PyObject* value() const noexcept { return exc_.get(); }
    const Ref& ref() const noexcept { return exc_; }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_.get(), type); }

private:
    Ref exc_;
};

// Takes the error indicator as one exception instance, traceback attached; empty if none is set.
Ref fetch_exception();
// Sets the error indicator to an exception instance, keeping its traceback.
void restore_exception(Borrowed exc) noexcept;

[[noreturn]] void throw_error();
[[noreturn]] void raise(PyObject* type, const char* msg);
[[noreturn]] void raise_none(PyObject* type);
// raise type(arg): one exception instance whose only argument is arg, whatever arg is.
[[noreturn]] void raise_with(PyObject* type, PyObject* arg);
[[noreturn]] void raise_format(PyObject* type, const char* fmt, ...);

inline PyObject* check(PyObject* p) {
    if (!p) throw_error();
    return p;
}
inline Ref owned(PyObject* p) { return Ref::steal(check(p)); }
inline int check_int(int r) {
    if (r < 0) throw_error();
    return r;
}

// Whether the exception being handled is no C++ exception: the forced unwind that ends a thread
// (pthread_exit, which CPython calls on a daemon thread that wants the GIL at exit), which must be
// let through, never swallowed. C++ cannot hold such an exception in an exception_ptr.
inline bool handling_foreign_exception() noexcept { return !std::current_exception(); }

// Converts the C++ exception being handled into Python error state. A forced unwind is not an
// error: it is rethrown and must be let through.
void set_error_from_current();

// Runs f at a C API boundary: a thrown exception becomes the error indicator and `fail` is returned.
// Not noexcept: a forced unwind that ends this thread has to pass through.
template <class F, class R>
R guard(F&& f, R fail) {
    try {
        return f();
    } catch (...) {
        set_error_from_current();
        return fail;
    }
}

}  // namespace rt
