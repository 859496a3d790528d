// Small helpers over the C API that throw PyErr instead of returning NULL.
#pragma once
#include "error.hpp"

#include <charconv>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace rt {

// An interned string made once and kept for the life of the process.
inline PyObject* intern(const char* s) {
    PyObject* p = PyUnicode_InternFromString(s);
    if (!p) throw_error();
    return p;
}
// `static` at the use site makes the string once: NAME("debug")
#define RT_NAME(s) ([]() -> PyObject* { static PyObject* const k = ::rt::intern(s); return k; }())

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref str(std::string_view s) { return owned(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()))); }
inline Ref integer(long long v) { return owned(PyLong_FromLongLong(v)); }
inline Ref to_str(PyObject* o) { return owned(PyObject_Str(o)); }
inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = owned(PyTuple_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

inline Ref getattr(PyObject* o, PyObject* name) { return owned(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { check_int(PyObject_SetAttr(o, name, v)); }
inline bool truth(PyObject* o) { return check_int(PyObject_IsTrue(o)) != 0; }

// Calls with positional arguments (borrowed pointers).
inline Ref call(PyObject* f, std::initializer_list<PyObject*> args) {
    return owned(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}
inline Ref call(PyObject* f) { return owned(PyObject_CallNoArgs(f)); }
// Calls with positional arguments followed by keyword arguments whose names are the tuple `kwnames`.
inline Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    size_t nkw = size_t(PyTuple_GET_SIZE(kwnames));
    return owned(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size() - nkw, kwnames));
}
inline Ref call_method(PyObject* o, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[8];
    stack[0] = o;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return owned(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref call_method(PyObject* o, PyObject* name) { return call_method(o, name, {}); }

inline Ref import(const char* name) { return owned(PyImport_ImportModule(name)); }

// Builds a str from up to 16 pieces, each str or converted with format(x, ""), as an f-string does.
Ref concat(std::initializer_list<PyObject*> parts);

// A str of ASCII literals and integers, as an f-string of them renders (diagnostic messages).
namespace detail {
inline void put(char*& p, char* end, const char* s) {
    size_t n = std::strlen(s);
    if (n > size_t(end - p)) n = size_t(end - p);
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
    return owned(PyUnicode_FromStringAndSize(buf, p - buf));
}
// format(x, "") as an f-string replacement field does.
inline Ref fmt(PyObject* x) {
    if (PyUnicode_CheckExact(x)) return Ref::borrow(x);
    return owned(PyObject_Format(x, nullptr));
}

// A name of a module's globals, looked up at each use as Python code does, builtins last.
Ref global(PyObject* globals, PyObject* name);

}  // namespace rt

namespace rt {
// A zeroed static type object to fill in field by field.
inline PyTypeObject blank_type() {
    PyTypeObject t;
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    return t;
}
}  // namespace rt

namespace rt {
// `a, b, ... = obj`, with Python's messages for a wrong count; tuples and lists take the fast path.
void unpack(PyObject* obj, size_t n, Ref* out);
// `from module import names...` (level 0 absolute, 1 relative to the package of `globals`),
// binding each name in `globals`.
void import_from(PyObject* globals, const char* module, std::initializer_list<const char*> names, int level = 0);
// `import module` for a top-level module, bound in `globals`.
void import_module(PyObject* globals, const char* module);
// `from module import *`, as Python binds it: the names of __all__, else the public ones.
void import_star(PyObject* globals, const char* module, int level);
// Binds a name in a module's globals.
inline void bind(PyObject* globals, const char* name, PyObject* value) {
    check_int(PyDict_SetItemString(globals, name, value));
}
}  // namespace rt

namespace rt {
// The asynchronous iterator of `async for x in obj`, and the awaitable of its next step.
Ref aiter(PyObject* obj);
Ref anext(PyObject* iterator);
}  // namespace rt

namespace rt {
// `for (Ref x : rt::iterate(obj))`, as Python's for loop: an error while iterating is thrown.
class Iterate {
public:
    explicit Iterate(PyObject* iterable) : it_(owned(PyObject_GetIter(iterable))) {}
    class iterator {
    public:
        explicit iterator(PyObject* it) : it_(it) { advance(); }
        iterator() = default;
        Ref& operator*() { return current_; }
        iterator& operator++() {
            advance();
            return *this;
        }
        bool operator!=(const iterator& o) const { return current_.get() != o.current_.get(); }

    private:
        void advance() {
            current_ = Ref::steal(PyIter_Next(it_));
            if (!current_ && PyErr_Occurred()) throw_error();
        }
        PyObject* it_ = nullptr;
        Ref current_;
    };
    iterator begin() { return iterator(it_.get()); }
    iterator end() { return iterator(); }

private:
    Ref it_;
};
inline Iterate iterate(PyObject* iterable) { return Iterate(iterable); }
}  // namespace rt
