#include "type.hpp"

#include <cstring>

namespace rt {
namespace {

// The types made so far, the last first. Made while the extension's static objects are, so it is
// a function-local static: its own construction comes before the first type's.
StaticType*& last_made() {
    static StaticType* last = nullptr;
    return last;
}

}  // namespace

StaticType::StaticType(const char* name, Py_ssize_t size, Build build) {
    std::memset(static_cast<PyTypeObject*>(this), 0, sizeof(PyTypeObject));
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(static_cast<PyTypeObject*>(this)), 1);
    tp_name = name;
    tp_basicsize = size;
    tp_flags = Py_TPFLAGS_DEFAULT;
    build(*this);
    next_made_ = last_made();
    last_made() = this;
}

void StaticType::collected(destructor dealloc, traverseproc traverse, inquiry clear) {
    tp_dealloc = dealloc;
    tp_flags |= Py_TPFLAGS_HAVE_GC;
    tp_traverse = traverse;
    tp_clear = clear;
}

void StaticType::steps(PyAsyncMethods* am, iternextfunc next, PyMethodDef* methods) {
    tp_as_async = am;
    tp_iter = PyObject_SelfIter;
    tp_iternext = next;
    tp_methods = methods;
}

void StaticType::ready_all() {
    // In the order they were made: a type is readied after the ones made before it.
    StaticType* order[64];
    size_t n = 0;
    for (StaticType* t = last_made(); t && n < 64; t = t->next_made_) order[n++] = t;
    while (n > 0) check_int(PyType_Ready(order[--n]));
}

}  // namespace rt
