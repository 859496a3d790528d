// The arguments of a call, and the view of them that a function body works with.
#pragma once
#include "ref.hpp"

#include <array>

namespace rt {

constexpr size_t max_params = 4;
// Locals of a coroutine or generator body that live across its suspensions: held by the Python
// object, where the garbage collector sees them, rather than in the C++ frame, where it cannot.
constexpr size_t max_frame_locals = 4;

struct NativeFunction;

// The function that was called and its arguments, bound to the parameters by name. A plain call
// keeps them on the C stack; a coroutine, generator or async generator object owns them for as
// long as its body can run, and shows them to the collector.
struct Arguments {
    Ref function;
    std::array<Ref, max_params> values;
};

// What a body sees of its call; it borrows everything from the call or the frame object.
class Bound {
public:
    explicit Bound(Arguments& args, Ref* frame_locals = nullptr) noexcept : args_(&args), locals_(frame_locals) {}

    PyObject* operator[](size_t i) const noexcept { return args_->values[i].get(); }
    NativeFunction* function() const noexcept { return reinterpret_cast<NativeFunction*>(args_->function.get()); }
    PyObject* globals() const noexcept;
    // The i-th closure cell's object (new reference), as a free variable reads it.
    Ref cell(size_t i) const;
    void set_cell(size_t i, PyObject* v) const;
    // A frame-held local (coroutine, generator and async generator bodies only).
    Ref& local(size_t i) const noexcept { return locals_[i]; }
    Arguments& arguments() const noexcept { return *args_; }

private:
    Arguments* args_;
    Ref* locals_;
};

}  // namespace rt
