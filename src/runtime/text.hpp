// Strings: interned names made once, literals, and the text of values as f-strings render them.
#pragma once
#include "error.hpp"

#include <algorithm>
#include <bit>
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
namespace detail {
// Made while the extension is loaded (by an import, which holds the GIL), before any code of it
// runs: a use is then one load, with no guard to test first.
template <Literal L>
inline PyObject* const interned = intern(L.text);
}  // namespace detail
template <Literal L>
PyObject* name() {
    return detail::interned<L>;
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

// The number of decimal digits of v.
inline int decimal_digits(unsigned long long v) {
    static constexpr unsigned long long powers[] = {1ULL,
                                                    10ULL,
                                                    100ULL,
                                                    1000ULL,
                                                    10000ULL,
                                                    100000ULL,
                                                    1000000ULL,
                                                    10000000ULL,
                                                    100000000ULL,
                                                    1000000000ULL,
                                                    10000000000ULL,
                                                    100000000000ULL,
                                                    1000000000000ULL,
                                                    10000000000000ULL,
                                                    100000000000000ULL,
                                                    1000000000000000ULL,
                                                    10000000000000000ULL,
                                                    100000000000000000ULL,
                                                    1000000000000000000ULL,
                                                    10000000000000000000ULL};
    int guess = (std::bit_width(v | 1) * 1233) >> 12;  // bits * log10(2), from below: 1233 / 4096
    return guess + 1 - ((v | 1) < powers[guess]);
}

// Writes v in decimal at p, two digits a step; returns the end.
inline char* put_decimal(char* p, unsigned long long v) {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char* end = p + decimal_digits(v);
    char* q = end;
    for (; v >= 100; v /= 100) {
        q -= 2;
        std::memcpy(q, pairs + 2 * (v % 100), 2);
    }
    if (v >= 10) std::memcpy(q - 2, pairs + 2 * v, 2);
    else q[-1] = char('0' + v);
    return end;
}

// A count from 0 that keeps its decimal text as it goes, so that a diagnostic text written for
// every item copies the number instead of converting it.
class DecimalCount {
public:
    DecimalCount() noexcept { digits_[last] = '0'; }
    long long value() const noexcept { return value_; }
    const char* begin() const noexcept { return digits_ + first_; }
    size_t size() const noexcept { return size_t(last + 1 - first_); }
    DecimalCount& operator++() noexcept {
        ++value_;
        int i = last;
        while (i >= first_ && digits_[i] == '9') digits_[i--] = '0';
        if (i < first_) digits_[first_ = i] = '1';
        else ++digits_[i];
        return *this;
    }

private:
    static constexpr int last = 19;
    char digits_[last + 1];
    int first_ = last;
    long long value_ = 0;
};

// A str of ASCII literals and integers, as an f-string of them renders (diagnostic messages).
// Measured first, then written straight into the new str.
namespace detail {
inline unsigned long long magnitude(long long v) {
    return v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
}
template <size_t N>
constexpr size_t length(const char (&)[N]) {
    return N - 1;
}
inline size_t length(long long v) { return size_t(v < 0) + size_t(decimal_digits(magnitude(v))); }
inline size_t length(const DecimalCount& c) { return c.size(); }

template <size_t N>
inline void put(char*& p, const char (&s)[N]) {
    std::memcpy(p, s, N - 1);
    p += N - 1;
}
inline void put(char*& p, long long v) {
    if (v < 0) *p++ = '-';
    p = put_decimal(p, magnitude(v));
}
inline void put(char*& p, const DecimalCount& c) {
    std::memcpy(p, c.begin(), c.size());
    p += c.size();
}
}  // namespace detail
template <class... Parts>
Ref ascii(const Parts&... parts) {
    Ref text = owned(PyUnicode_New(Py_ssize_t((detail::length(parts) + ... + 0)), 127));
    char* p = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    (detail::put(p, parts), ...);
    return text;
}

}  // namespace rt
