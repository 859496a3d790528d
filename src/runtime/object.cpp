#include "object.hpp"

namespace rt {

Ref concat(std::initializer_list<PyObject*> parts) {
    static PyObject* const empty = intern("");
    Ref list = owned(PyList_New(Py_ssize_t(parts.size())));
    Py_ssize_t i = 0;
    for (PyObject* p : parts) PyList_SET_ITEM(list.get(), i++, fmt(p).release());
    return owned(PyUnicode_Join(empty, list.get()));
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
