// cls(*args, **kwargs) from C, as type.__call__ makes an instance, without the keyword dict that
// calling a class from C builds and its __init__ takes apart again.
#pragma once
#include "error.hpp"

#include <initializer_list>

namespace rt {

// Calls `cls` (a class, or anything callable) with args[0..nargs) and then the keyword arguments
// named by the tuple `kwnames` (or null, distinct names as vectorcall asks), which follow them in
// `args`. A plain class, one whose
// call is type's own, made by object.__new__ and initialised by an __init__ written in Python (a
// dataclass, say), is called in those two steps with one vectorcall of the __init__; any other
// callable is called as it is.
Ref make_instance(PyObject* cls, PyObject* const* args, size_t nargs, PyObject* kwnames);

// The same, with the positional arguments followed by the keyword arguments in one list.
inline Ref make_instance(PyObject* cls, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    size_t nkw = kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0;
    return make_instance(cls, args.begin(), args.size() - nkw, kwnames);
}

namespace detail {
// Reads what CPython makes the tp_init of a class whose __init__ is of Python; once, while the
// runtime's types are readied.
void find_python_init_slot();
}  // namespace detail

}  // namespace rt
