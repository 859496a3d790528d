// The arguments of a call, and the view of them that a function body works with.
#pragma once
#include "ref.hpp"

#include <array>

namespace rt {

constexpr size_t max_params = 4;

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
    explicit Bound(Arguments& args) noexcept : args_(&args) {}

    PyObject* operator[](size_t i) const noexcept { return args_->values[i].get(); }
    NativeFunction* function() const noexcept { return reinterpret_cast<NativeFunction*>(args_->function.get()); }
    PyObject* globals() const noexcept;
    // The i-th closure cell's object (new reference), as a free variable reads it.
    Ref cell(size_t i) const;
    void set_cell(size_t i, PyObject* v) const;
    Arguments& arguments() const noexcept { return *args_; }

private:
    Arguments* args_;
};

}  // namespace rt
