// Strings: interned names made once, literals, and the text of values as f-strings render them.
#pragma once
#include "error.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace rt {

// An interned string kept for the life of the process.
inline PyObject* intern(const char* s) { return check(PyUnicode_InternFromString(s)); }

// A string literal as a template argument: name<"debug">() is one interned str per spelling.
template <size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};
template <Literal L>
PyObject* name() {
    static PyObject* const k = intern(L.text);
    return k;
}

// The names of a call's keyword arguments (vectorcall's kwnames), made of interned names: the callee
// matches interned names by identity, others by comparing text.
template <Literal... L>
PyObject* keywords() {
    static PyObject* const k = check(PyTuple_Pack(sizeof...(L), name<L>()...));
    return k;
}

inline Ref str(std::string_view s) { return owned(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()))); }
inline Ref integer(long long v) { return owned(PyLong_FromLongLong(v)); }
inline Ref to_str(PyObject* o) { return owned(PyObject_Str(o)); }

// format(x, "") as an f-string replacement field does.
inline Ref fmt(PyObject* x) {
    if (PyUnicode_CheckExact(x)) return Ref::incref(x);
    return owned(PyObject_Format(x, nullptr));
}

// Builds a str from up to 16 pieces, each str or converted with format(x, ""), as an f-string does.
Ref concat(std::initializer_list<PyObject*> parts);

// A str of ASCII literals and integers, as an f-string of them renders (diagnostic messages).
namespace detail {
template <size_t N>
inline void put(char*& p, char* end, const char (&s)[N]) {
    size_t n = std::min(N - 1, size_t(end - p));
    std::memcpy(p, s, n);
    p += n;
}
inline void put(char*& p, char* end, long long v) { p = std::to_chars(p, end, v).ptr; }
}  // namespace detail
template <class... Parts>
Ref ascii(const Parts&... parts) {
    char buf[256];
    char* p = buf;
    (detail::put(p, buf + sizeof buf, parts), ...);
    Ref text = owned(PyUnicode_New(p - buf, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), buf, size_t(p - buf));
    return text;
}

}  // namespace rt
