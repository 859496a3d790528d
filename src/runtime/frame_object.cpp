// Native coroutine and generator types, and what they share with async generators.
#include "frame_object.hpp"
#include "function.hpp"
#include "type.hpp"

#include <new>

namespace rt {

Ref new_frame_object(PyTypeObject* type, FrameKind kind, Arguments&& args) {
    auto* self = PyObject_GC_New(FrameObject, type);
    if (!self) throw_error();
    new (&self->core) FrameCore();
    new (&self->arguments) Arguments(std::move(args));
    for (Ref& local : self->locals) new (&local) Ref();
    self->core.kind = kind;
    auto* fn = reinterpret_cast<NativeFunction*>(self->arguments.function.get());
    self->name = Py_NewRef(fn->name);
    self->qualname = Py_NewRef(fn->qualname);
    self->weakrefs = nullptr;
    self->finalizer = nullptr;
    self->hooks_called = false;
    self->closed = false;
    self->op_running = false;
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

int frame_traverse(PyObject* o, visitproc visit, void* arg) {
    FrameObject* self = as_frame(o);
    Py_VISIT(self->finalizer);
    Py_VISIT(self->arguments.function.get());
    for (const Ref& v : self->arguments.values) Py_VISIT(v.get());
    for (const Ref& v : self->locals) Py_VISIT(v.get());
    return traverse_core(self->core, visit, arg);
}

int frame_clear(PyObject* o) {
    FrameObject* self = as_frame(o);
    // The body borrows the arguments and the locals: its frame goes first.
    drop_frame(self->core);
    Py_CLEAR(self->finalizer);
    clear_core(self->core);
    for (Ref& v : self->locals) v.reset();
    for (Ref& v : self->arguments.values) v.reset();
    self->arguments.function.reset();
    return 0;
}

// In the order of CPython's gen_dealloc: weak references are cleared while the object is
// untracked, then it is tracked again for its finalizer, which may keep it (asyncio's
// async-generator hook does). Only then is it torn down, under the trashcan, so that a long
// chain of objects that own each other is freed without deep C recursion.
void frame_dealloc(PyObject* o) {
    FrameObject* self = as_frame(o);
    PyObject_GC_UnTrack(o);
    if (self->weakrefs) PyObject_ClearWeakRefs(o);
    PyObject_GC_Track(o);
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
    PyObject_GC_UnTrack(o);
    Py_TRASHCAN_BEGIN(o, frame_dealloc)
    frame_clear(o);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    self->core.~FrameCore();
    self->arguments.~Arguments();
    for (Ref& local : self->locals) local.~Ref();
    PyObject_GC_Del(o);
    Py_TRASHCAN_END
}

// A suspended body abandoned by its owner is closed, so that its cleanup runs, as for Python's.
// An unstarted coroutine only warns: its frame holds nothing and is freed by the deallocation.
static void frame_finalize(PyObject* o) {
    FrameObject* self = as_frame(o);
    FrameCore& c = self->core;
    if (c.finished || !c.frame) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (!c.started) {
        if (c.kind == FrameKind::coroutine &&
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", self->qualname) < 0)
            PyErr_WriteUnraisable(o);
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


// What coro.__await__() gives, as Python's coroutine_wrapper: the iterator over the coroutine's
// steps. A coroutine itself is not iterable.
namespace {

struct CoroutineWrapper {
    PyObject_HEAD
    PyObject* coroutine;
};

PyTypeObject CoroutineWrapperType;

FrameObject* wrapped(PyObject* w) { return as_frame(reinterpret_cast<CoroutineWrapper*>(w)->coroutine); }

PyObject* wrap(PyObject* coroutine) {
    auto* w = PyObject_GC_New(CoroutineWrapper, &CoroutineWrapperType);
    if (!w) return nullptr;
    w->coroutine = Py_NewRef(coroutine);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

int wrapper_traverse(PyObject* w, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<CoroutineWrapper*>(w)->coroutine);
    return 0;
}
int wrapper_clear(PyObject* w) {
    Py_CLEAR(reinterpret_cast<CoroutineWrapper*>(w)->coroutine);
    return 0;
}
void wrapper_dealloc(PyObject* w) {
    PyObject_GC_UnTrack(w);
    wrapper_clear(w);
    PyObject_GC_Del(w);
}
PySendResult wrapper_am_send(PyObject* w, PyObject* arg, PyObject** out) {
    return step(wrapped(w)->core, arg, nullptr, out);
}
PyObject* wrapper_iternext(PyObject* w) {
    PyObject* out;
    PySendResult r = step(wrapped(w)->core, Py_None, nullptr, &out);
    return send_result(r, out);
}
PyObject* wrapper_send(PyObject* w, PyObject* arg) { return frame_send(reinterpret_cast<PyObject*>(wrapped(w)), arg); }
PyObject* wrapper_throw(PyObject* w, PyObject* const* args, Py_ssize_t nargs) {
    return frame_throw(reinterpret_cast<PyObject*>(wrapped(w)), args, nargs);
}
PyObject* wrapper_close(PyObject* w, PyObject*) { return close_frame(wrapped(w)->core); }

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};

}  // namespace

static PyObject* coroutine_await_method(PyObject* o, PyObject*) { return wrap(o); }

// `await coro` from Python code: a coroutine suspended in an await of its own already has an awaiter.
static PyObject* coroutine_am_await(PyObject* o) {
    if (as_frame(o)->core.delegate) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return wrap(o);
}

// Whether a Python coroutine is suspended in an await of its own (another awaiter drives it).
static int python_coroutine_busy(PyObject* coro) {
    PyObject* awaiting = PyObject_GetAttrString(coro, "cr_await");
    if (!awaiting) return -1;
    int busy = awaiting != Py_None;
    Py_DECREF(awaiting);
    return busy;
}

// A generator may be awaited only when types.coroutine made it (the iterable-coroutine flag).
static int iterable_coroutine(PyObject* gen) {
    PyObject* code = PyObject_GetAttrString(gen, "gi_code");
    if (!code) return -1;
    PyObject* flags = PyObject_GetAttrString(code, "co_flags");
    Py_DECREF(code);
    if (!flags) return -1;
    long f = PyLong_AsLong(flags);
    Py_DECREF(flags);
    if (f == -1 && PyErr_Occurred()) return -1;
    return (f & CO_ITERABLE_COROUTINE) != 0;
}

PyObject* awaitable_iterator(PyObject* target) {
    PyTypeObject* tp = Py_TYPE(target);
    if (tp == &CoroutineType || PyCoro_CheckExact(target)) {
        // Coroutines are their own iterators (ours step through am_send).
        int busy = tp == &CoroutineType ? as_frame(target)->core.delegate != nullptr : python_coroutine_busy(target);
        if (busy < 0) return nullptr;
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(target);
    }
    if (PyGen_CheckExact(target)) {
        int ok = iterable_coroutine(target);
        if (ok < 0) return nullptr;
        if (ok) return Py_NewRef(target);
    } else if (tp->tp_as_async && tp->tp_as_async->am_await) {
        PyObject* it = tp->tp_as_async->am_await(target);
        if (it && (PyCoro_CheckExact(it) || !PyIter_Check(it))) {
            PyErr_Format(PyExc_TypeError,
                         PyCoro_CheckExact(it) ? "__await__() returned a coroutine"
                                               : "__await__() returned non-iterator of type '%.100s'",
                         Py_TYPE(it)->tp_name);
            Py_CLEAR(it);
        }
        return it;
    }
#if PY_VERSION_HEX >= 0x030E0000
    PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", tp->tp_name);
#else
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
#endif
    return nullptr;
}

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
int frame_set_name(PyObject* o, PyObject* v, void*) { return set_str(as_frame(o)->name, v); }
int frame_set_qualname(PyObject* o, PyObject* v, void*) { return set_str(as_frame(o)->qualname, v); }
static PyObject* get_running(PyObject* o, void*) { return PyBool_FromLong(as_frame(o)->core.running.load()); }
static PyObject* get_awaiting(PyObject* o, void*) {
    PyObject* d = as_frame(o)->core.delegate;
    return Py_NewRef(d ? d : Py_None);
}

static PyGetSetDef coroutine_getset[] = {
    {"__name__", frame_get_name, frame_set_name, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, frame_set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyGetSetDef generator_getset[] = {
    {"__name__", frame_get_name, frame_set_name, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, frame_set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_awaiting, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef coroutine_methods[] = {
    {"send", frame_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_throw)), METH_FASTCALL, nullptr},
    {"close", frame_close, METH_NOARGS, nullptr},
    {"__await__", coroutine_await_method, METH_NOARGS, nullptr},
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

static PyAsyncMethods coroutine_async = {coroutine_am_await, nullptr, nullptr, frame_am_send};
static PyAsyncMethods generator_async = {nullptr, nullptr, nullptr, frame_am_send};

PyTypeObject frame_type(const char* name, PyAsyncMethods* am, PyMethodDef* methods, PyGetSetDef* getset,
                        reprfunc repr, destructor finalize) {
    PyTypeObject t = gc_type(name, sizeof(FrameObject), frame_dealloc, frame_traverse, frame_clear);
    t.tp_as_async = am;
    t.tp_repr = repr;
    t.tp_weaklistoffset = offsetof(FrameObject, weakrefs);
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_finalize = finalize;
    return t;
}

static PyTypeObject generator_type() {
    PyTypeObject t = frame_type("native_generator", &generator_async, generator_methods, generator_getset, frame_repr,
                                frame_finalize);
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = frame_iternext;
    return t;
}

PyTypeObject CoroutineType = frame_type("native_coroutine", &coroutine_async, coroutine_methods, coroutine_getset,
                                        frame_repr, frame_finalize);
PyTypeObject GeneratorType = generator_type();
static const bool wrapper_type_made =
    (CoroutineWrapperType = step_iterator_type("native_coroutine_wrapper", sizeof(CoroutineWrapper), wrapper_dealloc,
                                               wrapper_traverse, wrapper_clear, &wrapper_async, wrapper_iternext,
                                               wrapper_methods),
     true);

int ready_frame_types() {
    (void)wrapper_type_made;
    for (PyTypeObject* t : {&CoroutineType, &GeneratorType, &CoroutineWrapperType})
        if (PyType_Ready(t) < 0) return -1;
    return 0;
}

}  // namespace rt
