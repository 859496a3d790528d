#include "common.hpp"

namespace tlh {

Ref annotations(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref d = rt::owned(PyDict_New());
    for (const auto& [name, value] : items) rt::check_int(PyDict_SetItemString(d.get(), name, value));
    return d;
}

Ref subscript(const Ref& generic, std::initializer_list<PyObject*> params) {
    if (params.size() == 1) return rt::owned(PyObject_GetItem(generic.get(), *params.begin()));
    return rt::owned(PyObject_GetItem(generic.get(), rt::tuple(params).get()));
}

}  // namespace tlh
