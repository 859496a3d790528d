// Calls, attributes and truth, throwing PyErr instead of returning NULL.
#pragma once
#include "error.hpp"

#include <initializer_list>
#include <vector>

namespace rt {

inline Ref none() { return Ref::incref(Py_None); }
inline Ref boolean(bool b) { return Ref::incref(b ? Py_True : Py_False); }
inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = owned(PyTuple_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Ref::incref(o).release());
    return t;
}

// What a weak reference refers to (a reference of our own), or None once it is gone.
inline Ref referent(PyObject* weakref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target;
    check_int(PyWeakref_GetRef(weakref, &target));
    return target ? Ref::steal(target) : none();
#else
    return Ref::incref(check(PyWeakref_GetObject(weakref)));
#endif
}

inline Ref getattr(PyObject* o, PyObject* name) { return owned(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check_int(PyObject_SetAttr(o, name, v)); }
// getattr(o, name, <nothing>): an empty Ref when o has no such attribute; other errors are raised.
inline Ref optional_attr(PyObject* o, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    check_int(PyObject_GetOptionalAttr(o, name, &v));
    return Ref::steal(v);
#else
    // The lookup that types with the generic getattr answer without raising and clearing an
    // AttributeError (CPython's own, public since 3.13).
    PyObject* v = nullptr;
    check_int(_PyObject_LookupAttr(o, name, &v));
    return Ref::steal(v);
#endif
}

// hasattr(o, name): only an AttributeError means no; other errors are raised.
inline bool has_attr(PyObject* o, PyObject* name) { return bool(optional_attr(o, name)); }
inline bool truth(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }

// Python's `a == b` (no identity shortcut), then its truth.
inline bool equal(PyObject* a, PyObject* b) {
    Ref r = owned(PyObject_RichCompare(a, b, Py_EQ));
    return truth(r.get());
}

// Calls with positional arguments (borrowed pointers).
inline Ref call(PyObject* f, std::initializer_list<PyObject*> args) {
    return owned(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}
inline Ref call(PyObject* f) { return owned(PyObject_CallNoArgs(f)); }
// Calls with positional arguments followed by keyword arguments whose names are the tuple `kwnames`.
inline Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    size_t nkw = size_t(PyTuple_GET_SIZE(kwnames));
    return owned(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size() - nkw, kwnames));
}

// o.name(args...) without a bound-method object. The slot before `o` is the scratch slot that
// PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee use.
inline Ref call_method(PyObject* o, PyObject* name, std::initializer_list<PyObject*> args) {
    constexpr size_t small = 8;
    PyObject* fixed[small];
    std::vector<PyObject*> large;
    PyObject** stack = fixed;
    if (args.size() + 2 > small) {
        large.resize(args.size() + 2);
        stack = large.data();
    }
    stack[0] = nullptr;
    stack[1] = o;
    size_t n = 1;
    for (PyObject* a : args) stack[1 + n++] = a;
    return owned(PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call_method(PyObject* o, PyObject* name) { return call_method(o, name, {}); }

}  // namespace rt
