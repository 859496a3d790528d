#include "package_base.hpp"

namespace tlh {

Ref split_lines(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return rt::owned(PyUnicode_Split(text, name<"\n">(), -1));
    return rt::call_method(text, name<"split">(), {name<"\n">()});
}

Ref not_str_text(PyObject* msg) {
    Ref type_text = rt::to_str(reinterpret_cast<PyObject*>(Py_TYPE(msg)));
    return rt::concat({name<"!!!!! not str: ">(), type_text.get()});
}

bool shown_by_level(PyObject* g, PyObject* entry) {
    PyObject* const level_kw = rt::keywords<"prefix", "module">();
    Ref level = rt::call_method(global<"TLogger">(g).get(), name<"level_from_level_name">(),
                                {rt::getattr(entry, name<"level">()).get()});
    Ref minimum =
        rt::call_kw(global<"get_min_level">(g).get(),
                    {rt::getattr(entry, name<"prefix">()).get(), rt::getattr(entry, name<"module">()).get()}, level_kw);
    return !rt::check_int(PyObject_RichCompareBool(level.get(), minimum.get(), Py_LT));
}

}  // namespace tlh
