#include "text.hpp"

namespace rt {

Ref concat(std::initializer_list<PyObject*> parts) {
    constexpr size_t most = 16;
    if (parts.size() > most) raise(PyExc_SystemError, "concat: too many pieces");
    PyObject* items[most];
    Ref formatted[most];
    size_t n = 0;
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (PyObject* p : parts) {
        if (!PyUnicode_CheckExact(p)) {
            formatted[n] = fmt(p);
            p = formatted[n].get();
        }
        items[n++] = p;
        length += PyUnicode_GET_LENGTH(p);
        widest = std::max(widest, Py_UCS4(PyUnicode_MAX_CHAR_VALUE(p)));
    }
    Ref joined = owned(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(items[i]);
        if (len && PyUnicode_CopyCharacters(joined.get(), at, items[i], 0, len) < 0) throw_error();
        at += len;
    }
    return joined;
}

}  // namespace rt
