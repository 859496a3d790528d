// Python's except and finally clauses in C++20 coroutine bodies.
//
// C++ has no co_await in a catch handler, so the body catches the exception into a Caught, leaves
// the handler, and then runs the clause inside an Except scope. While the scope lives,
// traceback.format_exc() sees the exception and exceptions raised meanwhile get it as __context__;
// it stays in force across the awaits of the clause, like Python's, because it marks the frame's
// own entry on the interpreter's stack of handled exceptions.
//
//     rt::Caught caught;
//     try { ... } catch (rt::PyErr& e) { caught = std::move(e); }
//     if (caught.matches(X)) { rt::Except handling(caught); ...; co_await ...; caught.reraise(); }
//
// try/finally: catch what leaves the try into a Caught, run the finally block inside
// `rt::Except finally(leaving)` (a no-op scope when nothing is pending), then `leaving.reraise_if_any()`.
#pragma once
#include "error.hpp"
#include "held.hpp"

#include <optional>

namespace rt {

// Held: an except clause that awaits keeps the exception across the await, where the collector
// must see it (its traceback holds the frames, and with them maybe the coroutine itself).
class Caught final : HeldNode {
public:
    Caught() noexcept : HeldNode(&show) { link(); }
    ~Caught() noexcept(false) {
        unlink();
        err_.reset();
    }
    Caught& operator=(PyErr&& e) {
        err_.emplace(std::move(e));
        return *this;
    }
    explicit operator bool() const noexcept { return err_.has_value(); }
    bool matches(PyObject* type) const noexcept { return err_ && err_->matches(type); }
    const PyErr& error() const noexcept { return *err_; }
    PyObject* value() const noexcept { return err_ ? err_->value() : nullptr; }
    // A bare `raise`: the same exception object, traceback kept.
    [[noreturn]] void reraise() const { throw *err_; }
    void reraise_if_any() const {
        if (err_) throw *err_;
    }

private:
    static int show(const HeldNode* node, visitproc visit, void* arg) {
        Py_VISIT(static_cast<const Caught*>(node)->value());
        return 0;
    }
    std::optional<PyErr> err_;
};

class Except {
public:
    explicit Except(const PyErr& err) noexcept { mark(err.value()); }
    // Marks the caught exception if there is one; otherwise a scope that changes nothing.
    explicit Except(const Caught& caught) noexcept {
        if (caught) mark(caught.value());
    }
    ~Except() noexcept(false);
    Except(const Except&) = delete;
    Except& operator=(const Except&) = delete;

private:
    void mark(PyObject* exc) noexcept;
    _PyErr_StackItem* item_ = nullptr;  // the entry marked: the running native frame's, or the caller's
    _PyErr_StackItem saved_{};          // what it held before (owned)
};

}  // namespace rt
