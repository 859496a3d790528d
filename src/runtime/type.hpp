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

}  // namespace rt
