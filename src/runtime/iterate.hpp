// Python's iteration from C++: for loops, unpacking, and the steps of `async for`.
#pragma once
#include "error.hpp"

namespace rt {

// `for (Ref x : rt::iterate(obj))`, as Python's for loop: an error while iterating is thrown.
class Iterate {
public:
    explicit Iterate(PyObject* iterable) : it_(owned(PyObject_GetIter(iterable))) {}
    class iterator {
    public:
        explicit iterator(PyObject* it) : it_(it) { advance(); }
        iterator() = default;
        Ref& operator*() { return current_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const iterator& o) const { return current_.get() != o.current_.get(); }

    private:
        void advance() {
            current_ = Ref::steal(PyIter_Next(it_));
            if (!current_ && PyErr_Occurred()) throw_error();
        }
        PyObject* it_ = nullptr;
        Ref current_;
    };
    iterator begin() { return iterator(it_.get()); }
    iterator end() { return iterator(); }

private:
    Ref it_;
};
inline Iterate iterate(PyObject* iterable) { return Iterate(iterable); }

// `a, b, ... = obj`, with Python's messages for a wrong count; tuples and lists take the fast path.
void unpack(PyObject* obj, size_t n, Ref* out);

// The asynchronous iterator of `async for x in obj`, and the awaitable of its next step.
Ref aiter(PyObject* obj);
Ref anext(PyObject* iterator);

}  // namespace rt
