// The extension's static types, built one way: a StaticType is filled in by its builder while the
// extension is loaded, and ready_types() readies every one of them, in the order they were made.
//
//     StaticType CoroutineType("native_coroutine", sizeof(FrameObject), [](StaticType& t) {
//         t.collected(frame_dealloc, frame_traverse, frame_clear);
//         t.tp_repr = frame_repr;
//     });
#pragma once
#include "error.hpp"

namespace rt {

// The version tag of a type (what CPython changes whenever the type or one of its bases changes),
// or 0 where it has none now.
inline unsigned int version_tag(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

struct StaticType : PyTypeObject {
    using Build = void (*)(StaticType&);
    StaticType(const char* name, Py_ssize_t size, Build build);
    StaticType(const StaticType&) = delete;
    StaticType& operator=(const StaticType&) = delete;

    // Instances are collected: they traverse and clear what they hold.
    void collected(destructor dealloc, traverseproc traverse, inquiry clear);
    // The type of an awaitable's own iterator (what `await` drives): stepped by am_send and
    // __next__, with send, throw and close among its methods.
    void steps(PyAsyncMethods* am, iternextfunc next, PyMethodDef* methods);

    // PyType_Ready of every static type made so far.
    static void ready_all();

private:
    StaticType* next_made_;
};

}  // namespace rt
