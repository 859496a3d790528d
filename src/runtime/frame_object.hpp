// The Python object behind native coroutines, generators and async generators.
#pragma once
#include "bodies.hpp"

namespace rt {

struct FrameObject {
    PyObject_HEAD
    FrameCore core;
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    // async generators only
    PyObject* finalizer;
    bool hooks_called;
    bool closed;
    bool op_running;
};

FrameObject* new_frame_object(PyTypeObject* type, FrameKind kind, PyObject* name, PyObject* qualname);
void frame_dealloc(PyObject* self);
int frame_traverse(PyObject* self, visitproc visit, void* arg);
int frame_clear(PyObject* self);
PyObject* frame_get_name(PyObject* self, void*);
PyObject* frame_get_qualname(PyObject* self, void*);

inline FrameObject* as_frame(PyObject* o) { return reinterpret_cast<FrameObject*>(o); }

// A new object of `type` that owns and runs the body's frame.
template <class Body>
Ref adopt(PyTypeObject* type, FrameKind kind, Body& body, PyObject* name, PyObject* qualname) {
    FrameObject* self = new_frame_object(type, kind, name, qualname);
    if (!self) throw_error();
    self->core.frame = body.body.attach(&self->core);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace rt
