// Static type objects, filled in field by field.
#pragma once
#include "error.hpp"

#include <cstring>

namespace rt {

inline PyTypeObject blank_type() {
    PyTypeObject t;
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    return t;
}

// A garbage-collected type with the given size, slots of lifetime and collection.
inline PyTypeObject gc_type(const char* name, Py_ssize_t size, destructor dealloc, traverseproc traverse,
                            inquiry clear) {
    PyTypeObject t = blank_type();
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_dealloc = dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    return t;
}

// The type of an awaitable's own iterator (what `await` drives): stepped by am_send and __next__,
// with send, throw and close among its methods.
inline PyTypeObject step_iterator_type(const char* name, Py_ssize_t size, destructor dealloc, traverseproc traverse,
                                       inquiry clear, PyAsyncMethods* am, iternextfunc next, PyMethodDef* methods) {
    PyTypeObject t = gc_type(name, size, dealloc, traverse, clear);
    t.tp_as_async = am;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = next;
    t.tp_methods = methods;
    return t;
}

}  // namespace rt
