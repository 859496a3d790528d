#include "object.hpp"

namespace rt {

Ref concat(std::initializer_list<PyObject*> parts) {
    static PyObject* const empty = intern("");
    constexpr size_t most = 16;
    if (parts.size() > most) raise(PyExc_SystemError, "concat: too many pieces");
    PyObject* items[most];
    Ref formatted[most];
    size_t n = 0;
    for (PyObject* p : parts) {
        if (PyUnicode_CheckExact(p)) {
            items[n] = p;
        } else {
            formatted[n] = fmt(p);
            items[n] = formatted[n].get();
        }
        ++n;
    }
    return owned(_PyUnicode_JoinArray(empty, items, Py_ssize_t(n)));
}

Ref global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
    static PyObject* const builtins = PyModule_GetDict(check(PyImport_ImportModule("builtins")));
    v = PyDict_GetItemWithError(builtins, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace rt

namespace rt {

void unpack(PyObject* obj, size_t n, Ref* out) {
    if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && size_t(Py_SIZE(obj)) == n) {
        PyObject** items = PyTuple_CheckExact(obj) ? &PyTuple_GET_ITEM(obj, 0) : &PyList_GET_ITEM(obj, 0);
        for (size_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
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
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    }
    if (PyErr_Occurred()) throw_error();
}

static Ref import_level(PyObject* globals, const char* module, PyObject* fromlist, int level) {
    Ref name = owned(PyUnicode_FromString(module));
    return owned(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist, level));
}

void import_from(PyObject* globals, const char* module, std::initializer_list<const char*> names, int level) {
    Ref fromlist = owned(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, owned(PyUnicode_FromString(n)).release());
    Ref mod = import_level(globals, module, fromlist.get(), level);
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* n = PyTuple_GET_ITEM(fromlist.get(), i);
        PyObject* v = PyObject_GetAttr(mod.get(), n);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            raise_format(PyExc_ImportError, "cannot import name '%U' from '%s'", n, module);
        }
        Ref value = Ref::steal(v);
        check_int(PyDict_SetItem(globals, n, value.get()));
    }
}

void import_module(PyObject* globals, const char* module) {
    Ref mod = import_level(globals, module, nullptr, 0);
    bind(globals, module, mod.get());
}

void import_star(PyObject* globals, const char* module, int level) {
    static PyObject* const star = Py_BuildValue("(s)", "*");
    Ref mod = import_level(globals, module, star, level);
    PyObject* all = PyObject_GetAttrString(mod.get(), "__all__");
    Ref names;
    if (all) {
        names = Ref::steal(all);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        Ref d = getattr(mod.get(), intern("__dict__"));
        Ref keys = owned(PyDict_Keys(d.get()));
        Ref pub = owned(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* k = PyList_GET_ITEM(keys.get(), i);
            if (PyUnicode_Check(k) && PyUnicode_READ_CHAR(k, 0) != '_') check_int(PyList_Append(pub.get(), k));
        }
        names = pub;
    }
    for (Ref& name : iterate(names.get())) {
        Ref value = getattr(mod.get(), name.get());
        check_int(PyDict_SetItem(globals, name.get(), value.get()));
    }
}

}  // namespace rt

namespace rt {

Ref aiter(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!t->tp_as_async || !t->tp_as_async->am_aiter)
        raise_format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s", t->tp_name);
    Ref it = owned(t->tp_as_async->am_aiter(obj));
    PyTypeObject* it_t = Py_TYPE(it.get());
    if (!it_t->tp_as_async || !it_t->tp_as_async->am_anext)
        raise_format(PyExc_TypeError, "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                     it_t->tp_name);
    return it;
}

Ref anext(PyObject* iterator) { return owned(Py_TYPE(iterator)->tp_as_async->am_anext(iterator)); }

}  // namespace rt
