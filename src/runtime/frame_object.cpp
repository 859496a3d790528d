// Native coroutine and generator types, and what they share with async generators.
#include "frame_object.hpp"
#include "object.hpp"

#include <new>

namespace rt {

FrameObject* new_frame_object(PyTypeObject* type, FrameKind kind, PyObject* name, PyObject* qualname) {
    auto* self = PyObject_GC_New(FrameObject, type);
    if (!self) return nullptr;
    new (&self->core) FrameCore();
    self->core.kind = kind;
    self->name = Py_NewRef(name);
    self->qualname = Py_NewRef(qualname);
    self->weakrefs = nullptr;
    self->finalizer = nullptr;
    self->hooks_called = false;
    self->closed = false;
    self->op_running = false;
    PyObject_GC_Track(self);
    return self;
}

Ref make_coroutine(Async body, PyObject* name, PyObject* qualname) {
    return adopt(&CoroutineType, FrameKind::coroutine, body, name, qualname);
}
Ref make_generator(Gen body, PyObject* name, PyObject* qualname) {
    return adopt(&GeneratorType, FrameKind::generator, body, name, qualname);
}

int frame_traverse(PyObject* o, visitproc visit, void* arg) {
    FrameObject* self = as_frame(o);
    Py_VISIT(self->finalizer);
    return traverse_core(self->core, visit, arg);
}

int frame_clear(PyObject* o) {
    FrameObject* self = as_frame(o);
    Py_CLEAR(self->finalizer);
    clear_core(self->core);
    return 0;
}

void frame_dealloc(PyObject* o) {
    FrameObject* self = as_frame(o);
    PyObject_GC_UnTrack(o);
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
    Py_TRASHCAN_BEGIN(o, frame_dealloc)
    if (self->weakrefs) PyObject_ClearWeakRefs(o);
    drop_frame(self->core);
    frame_clear(o);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    self->core.~FrameCore();
    PyObject_GC_Del(o);
    Py_TRASHCAN_END
}

// A suspended body abandoned by its owner is closed, so that its cleanup runs, as for Python's.
static void frame_finalize(PyObject* o) {
    FrameObject* self = as_frame(o);
    FrameCore& c = self->core;
    if (c.finished) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (!c.started) {
        if (c.kind == FrameKind::coroutine &&
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", self->qualname) < 0)
            PyErr_WriteUnraisable(o);
        drop_frame(c);
    } else {
        PyObject* r = close_frame(c);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(o);
    }
    PyErr_Restore(t, v, tb);
}

static PyObject* frame_send(PyObject* o, PyObject* arg) {
    PyObject* out;
    PySendResult r = step(as_frame(o)->core, arg, nullptr, &out);
    return send_result(r, out);
}

static PySendResult frame_am_send(PyObject* o, PyObject* arg, PyObject** out) {
    return step(as_frame(o)->core, arg, nullptr, out);
}

static PyObject* frame_iternext(PyObject* o) {
    PyObject* out;
    PySendResult r = step(as_frame(o)->core, Py_None, nullptr, &out);
    if (r == PYGEN_RETURN) {
        // Exhausting a generator by iteration ends it quietly, as for Python's.
        if (out == Py_None && as_frame(o)->core.kind == FrameKind::generator) {
            Py_DECREF(out);
            return nullptr;
        }
        return stop_iteration(out);
    }
    return out;
}

static PyObject* frame_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = thrown_exception(args, nargs);
    if (!exc) return nullptr;
    PyObject* out;
    PySendResult r = step(as_frame(o)->core, nullptr, exc, &out);
    Py_DECREF(exc);
    return send_result(r, out);
}

static PyObject* frame_close(PyObject* o, PyObject*) { return close_frame(as_frame(o)->core); }

static PyObject* self_iter(PyObject* o) { return Py_NewRef(o); }
static PyObject* self_await(PyObject* o, PyObject*) { return Py_NewRef(o); }

PyObject* frame_get_name(PyObject* o, void*) { return Py_NewRef(as_frame(o)->name); }
PyObject* frame_get_qualname(PyObject* o, void*) { return Py_NewRef(as_frame(o)->qualname); }
static int set_str(PyObject*& slot, PyObject* v) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "must be set to a string object");
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(v));
    return 0;
}
static int set_name(PyObject* o, PyObject* v, void*) { return set_str(as_frame(o)->name, v); }
static int set_qualname(PyObject* o, PyObject* v, void*) { return set_str(as_frame(o)->qualname, v); }
static PyObject* get_running(PyObject* o, void*) { return PyBool_FromLong(as_frame(o)->core.running); }
static PyObject* get_awaiting(PyObject* o, void*) {
    PyObject* d = as_frame(o)->core.delegate;
    return Py_NewRef(d ? d : Py_None);
}

static PyGetSetDef coroutine_getset[] = {
    {"__name__", frame_get_name, set_name, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyGetSetDef generator_getset[] = {
    {"__name__", frame_get_name, set_name, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_awaiting, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef coroutine_methods[] = {
    {"send", frame_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_throw)), METH_FASTCALL, nullptr},
    {"close", frame_close, METH_NOARGS, nullptr},
    {"__await__", self_await, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyMethodDef generator_methods[] = {
    {"send", frame_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_throw)), METH_FASTCALL, nullptr},
    {"close", frame_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyObject* frame_repr(PyObject* o) {
    const char* what = as_frame(o)->core.kind == FrameKind::coroutine ? "coroutine" : "generator";
    return PyUnicode_FromFormat("<native %s object %S at %p>", what, as_frame(o)->qualname, o);
}

static PyAsyncMethods coroutine_async = {self_iter, nullptr, nullptr, frame_am_send};
static PyAsyncMethods generator_async = {nullptr, nullptr, nullptr, frame_am_send};

static PyTypeObject make_type(const char* name, PyAsyncMethods* am, PyMethodDef* methods, PyGetSetDef* getset) {
    PyTypeObject t = blank_type();
    t.tp_name = name;
    t.tp_basicsize = sizeof(FrameObject);
    t.tp_dealloc = frame_dealloc;
    t.tp_as_async = am;
    t.tp_repr = frame_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = frame_traverse;
    t.tp_clear = frame_clear;
    t.tp_weaklistoffset = offsetof(FrameObject, weakrefs);
    t.tp_iter = self_iter;
    t.tp_iternext = frame_iternext;
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_finalize = frame_finalize;
    return t;
}

PyTypeObject CoroutineType = make_type("native_coroutine", &coroutine_async, coroutine_methods, coroutine_getset);
PyTypeObject GeneratorType = make_type("native_generator", &generator_async, generator_methods, generator_getset);

}  // namespace rt
