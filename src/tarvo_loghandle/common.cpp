#include "common.hpp"

namespace tlh {

Ref annotations(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    Ref d = rt::owned(PyDict_New());
    for (const auto& [name, value] : items) rt::check_int(PyDict_SetItemString(d.get(), name, value));
    return d;
}

}  // namespace tlh
