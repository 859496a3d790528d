#include "common.hpp"

namespace tlh {

Ref split_lines(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return rt::owned(PyUnicode_Split(text, name<"\n">(), -1));
    return rt::call_method(text, name<"split">(), {name<"\n">()});
}

Ref not_str_text(PyObject* msg) {
    Ref type_text = rt::to_str(reinterpret_cast<PyObject*>(Py_TYPE(msg)));
    return rt::concat({name<"!!!!! not str: ">(), type_text.get()});
}


}  // namespace tlh
