#include "iterate.hpp"

namespace rt {

void unpack(PyObject* obj, size_t n, Ref* out) {
#ifdef Py_GIL_DISABLED
    bool fast = PyTuple_CheckExact(obj);  // a list may change in another thread while it is read
#else
    bool fast = PyTuple_CheckExact(obj) || PyList_CheckExact(obj);
#endif
    if (fast && size_t(Py_SIZE(obj)) == n) {
        PyObject** items = PyTuple_CheckExact(obj) ? &PyTuple_GET_ITEM(obj, 0) : &PyList_GET_ITEM(obj, 0);
        for (size_t i = 0; i < n; ++i) out[i] = Ref::incref(items[i]);
        return;
    }
    PyObject* it = PyObject_GetIter(obj);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        throw_error();
    }
    Ref iter = Ref::steal(it);
    for (size_t i = 0; i < n; ++i) {
        PyObject* v = PyIter_Next(it);
        if (!v) {
            if (PyErr_Occurred()) throw_error();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
        }
        out[i] = Ref::steal(v);
    }
    if (Ref extra = Ref::steal(PyIter_Next(it)))
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    if (PyErr_Occurred()) throw_error();
}

Ref aiter(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!t->tp_as_async || !t->tp_as_async->am_aiter)
        raise_format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", t->tp_name);
    Ref it = owned(t->tp_as_async->am_aiter(obj));
    PyTypeObject* it_t = Py_TYPE(it.get());
    if (!it_t->tp_as_async || !it_t->tp_as_async->am_anext)
        raise_format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                     it_t->tp_name);
    return it;
}

Ref anext(PyObject* iterator) { return owned(Py_TYPE(iterator)->tp_as_async->am_anext(iterator)); }

}  // namespace rt
