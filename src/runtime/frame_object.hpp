// The Python object behind native coroutines, generators and async generators. It owns the
// C++ frame that runs the body and the call's arguments; what the body holds across its
// suspensions it shows to the collector through its core's list of Held objects.
#pragma once
#include "bound.hpp"
#include "coroutine_bodies.hpp"
#include "type.hpp"

namespace rt {

struct FrameObject {
    PyObject_HEAD
    FrameCore core;
    Arguments arguments;
    Ref name;
    Ref qualname;
    PyObject* weakrefs;  // CPython's list head: cleared by PyObject_ClearWeakRefs, never released
    // async generators only
    Ref finalizer;
    bool hooks_called;
    bool closed;
    bool op_running;
};

// A new object of `type` holding the call's arguments, not yet running anything.
Ref new_frame_object(PyTypeObject* type, FrameKind kind, Arguments&& args);
void frame_dealloc(PyObject* self);
int frame_traverse(PyObject* self, visitproc visit, void* arg);
int frame_clear(PyObject* self);
PyObject* frame_get_name(PyObject* self, void*);
PyObject* frame_get_qualname(PyObject* self, void*);
int frame_set_name(PyObject* self, PyObject* v, void*);
int frame_set_qualname(PyObject* self, PyObject* v, void*);
// Fills in what the types of native coroutines, generators and async generators share.
void frame_type(StaticType& t, PyAsyncMethods* am, PyMethodDef* methods, PyGetSetDef* getset, reprfunc repr,
                destructor finalize);

inline FrameObject* as_frame(PyObject* o) { return reinterpret_cast<FrameObject*>(o); }

// The object that runs Body for a call: it takes the arguments over first, so the body only borrows.
template <class Body, Body (*Make)(Bound)>
Ref start_frame(PyTypeObject* type, FrameKind kind, Bound call) {
    Ref obj = new_frame_object(type, kind, std::move(call.arguments()));
    FrameObject* self = as_frame(obj.get());
    Body body = Make(Bound(self->arguments));
    self->core.frame = body.body.attach(&self->core);
    return obj;
}

}  // namespace rt
