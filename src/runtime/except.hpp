// The exception being handled, as an `except` clause makes it.
//
// Inside the scope, traceback.format_exc() sees the caught exception and exceptions
// raised meanwhile get it as __context__. C++ has no co_await in a catch handler, so a
// native coroutine keeps the caught PyErr, leaves the handler, and opens this scope;
// it stays in force across the awaits of the clause, like Python's.
//
//     std::optional<PyErr> caught;
//     try { ... } catch (PyErr& e) { caught.emplace(std::move(e)); }
//     if (caught) { Except handling(*caught); ...; co_await ...; handling.reraise(); }
#pragma once
#include "frame.hpp"

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
    FrameCore* frame_;
    PyObject* previous_;  // owned: the frame's previous handled exception
    PyObject* saved_;     // owned: what was handled when the scope began
    unsigned long step_ = 0;
};

// Makes `exc` (or nothing, for NULL) the exception the interpreter sees as handled.
void set_handled(PyObject* exc) noexcept;
// The exception the interpreter sees as handled now (new reference, or NULL).
PyObject* get_handled() noexcept;

}  // namespace rt
