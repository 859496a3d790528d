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

FrameObject* new_frame_object(PyTypeObject* type, FrameKind kind, std::coroutine_handle<> frame,
                              PyObject* name, PyObject* qualname);
void frame_dealloc(PyObject* self);
int frame_traverse(PyObject* self, visitproc visit, void* arg);
int frame_clear(PyObject* self);
extern PyGetSetDef frame_getset[];

inline FrameObject* as_frame(PyObject* o) { return reinterpret_cast<FrameObject*>(o); }

}  // namespace rt
