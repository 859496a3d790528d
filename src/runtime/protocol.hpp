// What Python's iteration and await protocols ask of native coroutines and generators, with
// Python's own errors and messages.
#pragma once
#include "frame.hpp"

namespace rt {

// The iterator that `await target` drives, with Python's errors for what cannot be awaited
// (a plain generator, a coroutine someone else awaits already); empty with the error set.
Ref awaitable_iterator(Borrowed target);

// A StopIteration (or, from an async generator, StopAsyncIteration) leaving a body would be
// taken for its end by whoever drives it: it becomes RuntimeError, as in Python. Returns the
// exception to raise instead (`err` itself when it is no such exception).
Ref replace_stop_iteration(FrameKind kind, Ref&& err);

// Sets StopIteration(value) as the error indicator: an instance, so that a tuple or an exception
// is not taken apart as the constructor's arguments.
void set_stop_iteration(Ref&& value);

// What send() and __next__ give for a step: the value yielded, or NULL with StopIteration(result)
// or the error set.
PyObject* send_result(Step&& s);

// The exception instance of a throw() call in either argument form; empty with the error set.
Ref thrown_exception(PyObject* const* args, Py_ssize_t nargs);

}  // namespace rt
