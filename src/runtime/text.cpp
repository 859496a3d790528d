#include "text.hpp"

namespace rt {

namespace {

// One str of n exact strs, in order.
Ref join_exact(PyObject* const* items, size_t n) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (size_t i = 0; i < n; ++i) {
        length += PyUnicode_GET_LENGTH(items[i]);
        widest = std::max(widest, Py_UCS4(PyUnicode_MAX_CHAR_VALUE(items[i])));
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

}  // namespace

Ref concat(std::initializer_list<PyObject*> parts) {
    constexpr size_t most = 16;
    if (parts.size() > most) raise(PyExc_SystemError, "concat: too many pieces");
    bool all_str = true;
    for (PyObject* p : parts) all_str = all_str && PyUnicode_CheckExact(p);
    if (all_str) return join_exact(parts.begin(), parts.size());
    Ref formatted[most];
    PyObject* items[most];
    size_t n = 0;
    for (PyObject* p : parts) {
        formatted[n] = fmt(p);
        items[n] = formatted[n].get();
        ++n;
    }
    return join_exact(items, n);
}

}  // namespace rt
