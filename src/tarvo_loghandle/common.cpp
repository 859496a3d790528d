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

bool below_min_level(PyObject* g, PyObject* prefix, PyObject* module, PyObject* level_name) {
    PyObject* const level_kw = rt::keywords<"prefix", "module">();
    Ref min_level = rt::call_kw(global<"get_min_level">(g).get(), {prefix, module}, level_kw);
    Ref level = rt::call_method(global<"TLogger">(g).get(), name<"level_from_level_name">(), {level_name});
    return rt::truth(rt::owned(PyObject_RichCompare(level.get(), min_level.get(), Py_LT)).get());
}

}  // namespace tlh
