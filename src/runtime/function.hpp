// Native functions: callable by vectorcall, introspectable like Python functions
// (__name__, __qualname__, __module__, __doc__, __annotations__, __dict__), bound as methods
// when stored in a class, and recognised by asyncio.iscoroutinefunction when they make coroutines.
#pragma once
#include "bodies.hpp"
#include "object.hpp"

#include <array>

namespace rt {

constexpr size_t max_params = 4;

struct NativeFunction;

// The arguments of one call, bound to the parameters by name, with the function that was called.
// Owning, so that a coroutine body can keep it.
class Bound {
public:
    PyObject* operator[](size_t i) const noexcept { return args_[i].get(); }
    NativeFunction* function() const noexcept { return reinterpret_cast<NativeFunction*>(fn_.get()); }
    PyObject* globals() const noexcept;
    // The i-th closure cell's object (new reference), as a free variable reads it.
    Ref cell(size_t i) const;
    void set_cell(size_t i, PyObject* v) const;
    PyObject* cell_object(size_t i) const noexcept;

private:
    friend PyObject* call_native(PyObject*, PyObject* const*, size_t, PyObject*);
    Ref fn_;
    std::array<Ref, max_params> args_;
};

using Entry = Ref (*)(Bound);

enum class FunctionKind : unsigned char { plain, coroutine, generator, async_generator };

struct FunctionDef {
    const char* name;
    const char* qualname;
    std::array<const char*, max_params> params;  // positional-or-keyword, no defaults; unused ones null
    Entry entry;
    FunctionKind kind;
};

// Adapters from body functions to entries: the entry makes the object that runs the body.
template <Async (*Body)(Bound)>
Ref coroutine_entry(Bound b);
template <Gen (*Body)(Bound)>
Ref generator_entry(Bound b);
template <AsyncGen (*Body)(Bound)>
Ref async_generator_entry(Bound b);

// Makes a function whose __module__ is globals["__name__"]; `closure` is a tuple of cells or NULL,
// `annotations` a dict or NULL. The definition must outlive the function.
Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure = nullptr,
                  PyObject* annotations = nullptr);

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* dict;
    PyObject* globals;
    PyObject* closure;
    PyObject* weakrefs;
};

extern PyTypeObject FunctionType;

inline PyObject* Bound::globals() const noexcept { return function()->globals; }
inline PyObject* Bound::cell_object(size_t i) const noexcept {
    return PyCell_GET(PyTuple_GET_ITEM(function()->closure, Py_ssize_t(i)));
}

template <Async (*Body)(Bound)>
Ref coroutine_entry(Bound b) {
    NativeFunction* fn = b.function();
    return make_coroutine(Body(std::move(b)), fn->name, fn->qualname);
}
template <Gen (*Body)(Bound)>
Ref generator_entry(Bound b) {
    NativeFunction* fn = b.function();
    return make_generator(Body(std::move(b)), fn->name, fn->qualname);
}
template <AsyncGen (*Body)(Bound)>
Ref async_generator_entry(Bound b) {
    NativeFunction* fn = b.function();
    return make_async_generator(Body(std::move(b)), fn->name, fn->qualname);
}

}  // namespace rt
