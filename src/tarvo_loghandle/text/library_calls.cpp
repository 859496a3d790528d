#include "text/library_calls.hpp"

#include "process_state.hpp"

#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tlh::library {
namespace {

// Whether f is the C function `function` of the extension module named `module`: a built-in
// function bound to a module made from a definition of that name, whose method table holds f's
// own entry under that name. Once one such function is seen, its C entry point identifies the rest.
bool c_function_of(PyObject* f, const char* module, const char* function, std::atomic<PyCFunction>& known) {
    if (!PyCFunction_Check(f)) return false;
    PyCFunction meth = PyCFunction_GET_FUNCTION(f);
    if (PyCFunction seen = known.load(std::memory_order_relaxed)) return meth == seen;
    PyObject* self = PyCFunction_GET_SELF(f);
    if (!self || !PyModule_Check(self)) return false;
    PyModuleDef* def = PyModule_GetDef(self);
    if (!def || !def->m_name || std::strcmp(def->m_name, module) != 0) return false;
    PyMethodDef* entry = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    for (PyMethodDef* m = def->m_methods; m && m->ml_name; ++m)
        if (m == entry && std::strcmp(m->ml_name, function) == 0) {
            known.store(meth, std::memory_order_relaxed);
            return true;
        }
    return false;
}

bool str_equals(PyObject* s, const char* text) {
    return s && PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// Whether the module's name is `module`, or, with a trailing ".", starts with it.
bool module_named(PyObject* name, const char* module) {
    if (!name || !PyUnicode_Check(name)) return false;
    size_t n = std::strlen(module);
    if (module[n - 1] != '.') return str_equals(name, module);
    Ref package = rt::str(std::string_view(module, n - 1));
    if (PyUnicode_Compare(name, package.get()) == 0) return true;
    return PyUnicode_Tailmatch(name, rt::str(module).get(), 0, PyUnicode_GET_LENGTH(name), -1) == 1;
}

// Whether the code's file is the frozen source of the module (posixpath from 3.11 on): a module
// that the frozen importer loaded, and "<frozen posixpath>".
bool frozen_source(PyObject* globals, PyObject* module_name, PyObject* code_file) {
    Ref module_spec = rt::dict_item(globals, name<"__spec__">());
    if (!module_spec || module_spec.get() == Py_None) return false;
    Ref origin = rt::optional_attr(module_spec.get(), name<"origin">());
    if (!origin || !str_equals(origin.get(), "frozen")) return false;
    Ref expected = rt::concat({name<"<frozen ">(), module_name, name<">">()});
    return PyUnicode_Compare(expected.get(), code_file) == 0;
}

// Whether f is the Python function `function` defined in the source of the module `module`: its
// code is named so, comes from the module's own file (or its frozen source), and runs in that module's globals.
// The first one seen is held for good (in the process's state), so that the next test is two comparisons.
bool python_function_of(PyObject* f, const char* module, const char* function, KnownFunction& known) {
    if (!PyFunction_Check(f)) return false;
    bool seen = known.known.load(std::memory_order_acquire);
    if (seen && PyFunction_GET_CODE(f) == known.code.get() && PyFunction_GET_GLOBALS(f) == known.globals.get())
        return true;
    Ref code = rt::getattr(f, name<"__code__">());
    Ref globals = rt::getattr(f, name<"__globals__">());
    if (!PyCode_Check(code.get()) || !PyDict_Check(globals.get())) return false;
    auto* c = reinterpret_cast<PyCodeObject*>(code.get());
    if (!str_equals(c->co_name, function)) return false;
    Ref file = rt::dict_item(globals.get(), name<"__file__">());
    Ref module_name = rt::dict_item(globals.get(), name<"__name__">());
    if (!file || !module_named(module_name.get(), module) || !PyUnicode_Check(file.get()) ||
        !PyUnicode_Check(c->co_filename) ||
        (PyUnicode_Compare(file.get(), c->co_filename) != 0 &&
         !frozen_source(globals.get(), module_name.get(), c->co_filename)))
        return false;
    if (!seen) {
        ProcessState& state = process();
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        if (!known.known.load(std::memory_order_relaxed)) {  // set once, also when threads race to set it
            known.code = std::move(code);
            known.globals = std::move(globals);
            known.known.store(true, std::memory_order_release);
        }
    }
    return true;
}

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

// time.time_ns() / 1000000000 as the genuine time_ns reads the clock: the real-time clock, rounded
// once, as Python's int / int is.
double now_seconds() {
    timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        rt::throw_error();
    }
    std::int64_t ns = std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    if (ns < 0) return -divide_rounded(std::uint64_t(-ns), 1000000000);
    return divide_rounded(std::uint64_t(ns), 1000000000);
}

Ref nanoseconds_per_second() { return rt::owned(PyLong_FromLong(1000000000)); }

Ref time_ns_function(PyObject* g) { return rt::attribute<"time_ns">(global<"time">(g).get()); }

}  // namespace

bool is_time_ns(PyObject* f) {
    static std::atomic<PyCFunction> known{nullptr};
    return c_function_of(f, "time", "time_ns", known);
}

bool is_fabs(PyObject* f) {
    static std::atomic<PyCFunction> known{nullptr};
    return c_function_of(f, "math", "fabs", known);
}

bool is_basename(PyObject* f) { return python_function_of(f, "posixpath", "basename", process().basename); }

bool is_colored(PyObject* f) { return python_function_of(f, "termcolor.", "colored", process().colored); }

bool is_python_function(PyObject* f, const char* module, const char* function) {
    KnownFunction once;
    return python_function_of(f, module, function, once);
}

bool is_linesof(PyObject* f) { return rt::made_from(f, linesof_def); }

Ref clock(PyObject* g) {
    Ref time_ns = time_ns_function(g);
    if (is_time_ns(time_ns.get())) return rt::owned(PyFloat_FromDouble(now_seconds()));
    Ref now = rt::call(time_ns.get());
    return rt::owned(PyNumber_TrueDivide(now.get(), nanoseconds_per_second().get()));
}

double clock_seconds(PyObject* g) {
    Ref time_ns = time_ns_function(g);
    if (is_time_ns(time_ns.get())) return now_seconds();
    Ref now = rt::call(time_ns.get());
    Ref seconds = rt::owned(PyNumber_TrueDivide(now.get(), nanoseconds_per_second().get()));
    double s = PyFloat_AsDouble(seconds.get());
    if (s == -1 && PyErr_Occurred()) rt::throw_error();
    return s;
}

Ref delay(PyObject* g, EntryView& e) {
    Ref time_ns = time_ns_function(g);
    if (is_time_ns(time_ns.get())) {
        double now = now_seconds();
        PyObject* timestamp = e.timestamp().get();
        if (PyFloat_CheckExact(timestamp)) return rt::owned(PyFloat_FromDouble(now - PyFloat_AS_DOUBLE(timestamp)));
        Ref seconds = rt::owned(PyFloat_FromDouble(now));
        return rt::owned(PyNumber_Subtract(seconds.get(), timestamp));
    }
    Ref now = rt::call(time_ns.get());
    Ref seconds = rt::owned(PyNumber_TrueDivide(now.get(), nanoseconds_per_second().get()));
    return rt::owned(PyNumber_Subtract(seconds.get(), e.timestamp().get()));
}

bool late(PyObject* g, PyObject* x) {
    Ref fabs = rt::attribute<"fabs">(global<"math">(g).get());
    if (PyFloat_CheckExact(x) && is_fabs(fabs.get())) return std::fabs(PyFloat_AS_DOUBLE(x)) > 1.0;
    Ref magnitude = rt::call(fabs.get(), {x});
    Ref threshold = rt::owned(PyFloat_FromDouble(1.0));
    return rt::truth(rt::owned(PyObject_RichCompare(magnitude.get(), threshold.get(), Py_GT)).get());
}

Ref base_name(PyObject* g, PyObject* path) {
    Ref basename = rt::attribute<"basename">(rt::attribute<"path">(global<"os">(g).get()).get());
    if (!PyUnicode_CheckExact(path) || !is_basename(basename.get())) return rt::call(basename.get(), {path});
    // posixpath.basename of a str: what follows the last "/" (the path itself when it has none).
    Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, -1);
    if (slash == -2) rt::throw_error();
    return slash < 0 ? Ref::incref(path) : rt::owned(PyUnicode_Substring(path, slash + 1, length));
}

Ref lines_of(PyObject* g, PyObject* text) {
    Ref linesof = global<"linesof">(g);
    if (is_linesof(linesof.get())) return split_lines(text);
    return rt::call(linesof.get(), {text});
}

}  // namespace tlh::library
