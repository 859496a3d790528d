// Native functions: callable by vectorcall, introspectable like Python functions
// (__name__, __qualname__, __module__, __doc__, __annotations__, __annotate__ from 3.14 on,
// __signature__, __dict__), bound as methods when stored in a class, and recognised by
// asyncio.iscoroutinefunction and inspect.iscoroutinefunction when they make coroutines.
#pragma once
#include "annotations.hpp"
#include "call.hpp"
#include "coroutine_bodies.hpp"
#include "frame_object.hpp"
#include "text.hpp"

namespace rt {

using Entry = Ref (*)(Bound);

enum class FunctionKind : unsigned char { plain, coroutine, generator, async_generator };

struct FunctionDef {
    const char* name;
    const char* qualname;
    std::array<const char*, max_params> params;  // positional-or-keyword, no defaults; unused ones null
    Entry entry;
    FunctionKind kind;
    const char* doc = nullptr;  // __doc__; the signature (__text_signature__) is made from `params`
};

// Makes a function whose __module__ is globals["__name__"]; `closure` is a tuple of cells or NULL,
// `annotations` its annotations or NULL. The definition must outlive the function.
Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure = nullptr,
                  const Annotations* annotations = nullptr);

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref annotations;       // NULL until asked for or set
    Ref annotation_texts;  // their source texts, what 3.14's STRING format gives; NULL if unknown
    Ref dict;
    Ref globals;
    Ref closure;
    PyObject* weakrefs;  // CPython's list head: cleared by PyObject_ClearWeakRefs, never released
};

extern StaticType FunctionType;

// What a closure cell holds (a new reference), as a free variable reads it: NameError when empty.
Ref cell_contents(PyObject* cell);

// Whether `f` is a native function made from `def`: lets native code recognise its own functions
// and do their work without a call.
inline bool made_from(PyObject* f, const FunctionDef& def) noexcept {
    return Py_IS_TYPE(f, &FunctionType) && reinterpret_cast<NativeFunction*>(f)->def == &def;
}
// The closure of `f` if it is a native function made from `def`, else NULL.
inline PyObject* closure_if(PyObject* f, const FunctionDef& def) noexcept {
    if (!Py_IS_TYPE(f, &FunctionType)) return nullptr;
    auto* fn = reinterpret_cast<NativeFunction*>(f);
    return fn->def == &def ? fn->closure.get() : nullptr;
}

inline PyObject* Bound::globals() const noexcept { return function()->globals.get(); }

// Entries of functions whose call makes the object that runs their body.
template <Async (*Body)(Bound)>
Ref coroutine_entry(Bound b) {
    return start_frame<Async, Body>(&CoroutineType, FrameKind::coroutine, b);
}
template <Gen (*Body)(Bound)>
Ref generator_entry(Bound b) {
    return start_frame<Gen, Body>(&GeneratorType, FrameKind::generator, b);
}
template <AsyncGen (*Body)(Bound)>
Ref async_generator_entry(Bound b) {
    return start_frame<AsyncGen, Body>(&AsyncGeneratorType, FrameKind::async_generator, b);
}

}  // namespace rt
