// The exception being handled, as an `except` clause makes it.
//
// Inside the scope, traceback.format_exc() sees the caught exception and exceptions
// raised meanwhile get it as __context__. C++ has no co_await in a catch handler, so a
// native coroutine keeps the caught PyErr, leaves the handler, and opens this scope;
// it stays in force across the awaits of the clause, like Python's, because it marks the
// frame's own entry on the interpreter's stack of handled exceptions.
//
//     std::optional<PyErr> caught;
//     try { ... } catch (PyErr& e) { caught.emplace(std::move(e)); }
//     if (caught) { Except handling(*caught); ...; co_await ...; handling.reraise(); }
#pragma once
#include "error.hpp"

namespace rt {

class Except {
public:
    explicit Except(const PyErr& err) noexcept;
    ~Except();
    Except(const Except&) = delete;
    Except& operator=(const Except&) = delete;

    const PyErr& error() const noexcept { return err_; }
    // A bare `raise`: the same exception object, traceback kept.
    [[noreturn]] void reraise() const { throw err_; }

private:
    PyErr err_;
    _PyErr_StackItem* item_;  // the entry marked: the running native frame's, or the caller's
    _PyErr_StackItem saved_;  // what it held before (owned)
};

}  // namespace rt
