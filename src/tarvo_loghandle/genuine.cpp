#include "genuine.hpp"

#include <time.h>

#include <cmath>
#include <cstdint>

namespace tlh::genuine {

PyObject* colored = nullptr;
PyObject* basename = nullptr;
PyObject* fabs = nullptr;
PyObject* time_ns = nullptr;
PyObject* linesof = nullptr;

namespace {

void keep(PyObject*& slot, Ref value) { Py_XSETREF(slot, value.release()); }

// n / d correctly rounded (ties to even), for 0 <= n < 2^63 and 0 < d < 2^63: what Python's
// true division of two ints gives. Operands up to 2^53 are exact as doubles, so one IEEE division
// rounds once; larger ones are divided as integers with enough bits to round once by hand.
double divide_rounded(std::uint64_t n, std::uint64_t d) {
    constexpr std::uint64_t exact = std::uint64_t(1) << 53;
    if (n <= exact && d <= exact) return double(n) / double(d);
    unsigned __int128 scaled = static_cast<unsigned __int128>(n) << 64;
    unsigned __int128 q = scaled / d;
    bool sticky = scaled % d != 0;
    std::uint64_t high = std::uint64_t(q >> 64);
    int bits = high ? 128 - __builtin_clzll(high) : 64 - __builtin_clzll(std::uint64_t(q) | 1);
    int shift = bits - 54;  // keep 53 bits and the rounding bit
    if (shift > 0) {
        sticky = sticky || (q & ((static_cast<unsigned __int128>(1) << shift) - 1)) != 0;
        q >>= shift;
    } else {
        q <<= -shift;
    }
    std::uint64_t mantissa = std::uint64_t(q >> 1);
    if ((q & 1) && (sticky || (mantissa & 1))) ++mantissa;
    return std::ldexp(double(mantissa), shift + 1 - 64);
}

}  // namespace

void remember(PyObject* g) {
    keep(colored, rt::getattr(global<"termcolor">(g).get(), name<"colored">()));
    // basename_of is posixpath.basename; elsewhere the function is always called.
    Ref path = rt::getattr(global<"os">(g).get(), name<"path">());
    if (equal(rt::getattr(path.get(), name<"__name__">()).get(), name<"posixpath">()))
        keep(basename, rt::getattr(path.get(), name<"basename">()));
    keep(fabs, rt::getattr(global<"math">(g).get(), name<"fabs">()));
    keep(time_ns, rt::getattr(global<"time">(g).get(), name<"time_ns">()));
    keep(linesof, global<"linesof">(g));
}

double now_seconds() {
    timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) rt::throw_error();
    std::int64_t ns = std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    if (ns < 0) return -divide_rounded(std::uint64_t(-ns), 1000000000);
    return divide_rounded(std::uint64_t(ns), 1000000000);
}

Ref basename_of(PyObject* path) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, -1);
    if (slash == -2) rt::throw_error();
    return slash < 0 ? Ref::incref(path) : rt::owned(PyUnicode_Substring(path, slash + 1, length));
}

}  // namespace tlh::genuine
