#include "common.hpp"

namespace tlh {

Ref annotations(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref d = rt::owned(PyDict_New());
    for (const auto& [name, value] : items) rt::check_int(PyDict_SetItemString(d.get(), name, value));
    return d;
}

Ref subscript(const Ref& generic, std::initializer_list<PyObject*> params) {
    if (params.size() == 1) return rt::owned(PyObject_GetItem(generic.get(), *params.begin()));
    Ref key = rt::owned(PyTuple_New(Py_ssize_t(params.size())));
    Py_ssize_t i = 0;
    for (PyObject* p : params) PyTuple_SET_ITEM(key.get(), i++, Py_NewRef(p));
    return rt::owned(PyObject_GetItem(generic.get(), key.get()));
}

}  // namespace tlh
