// Native coroutine and generator types, and what they share with async generators.
#include "frame_object.hpp"

#include "function.hpp"
#include "protocol.hpp"

#include <new>

namespace rt {

Ref new_frame_object(PyTypeObject* type, FrameKind kind, Arguments&& args) {
    auto* self = PyObject_GC_New(FrameObject, type);
    if (!self) throw_error();
    new (&self->core) FrameCore();
    new (&self->arguments) Arguments(std::move(args));
    self->core.kind = kind;
    auto* fn = reinterpret_cast<NativeFunction*>(self->arguments.function.get());
    new (&self->name) Ref(fn->name);
    new (&self->qualname) Ref(fn->qualname);
    new (&self->finalizer) Ref();
    self->weakrefs = nullptr;
    self->hooks_called = false;
    self->closed = false;
    self->op_running = false;
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

int frame_traverse(PyObject* o, visitproc visit, void* arg) {
    FrameObject* self = as_frame(o);
    Py_VISIT(self->finalizer.get());
    Py_VISIT(self->arguments.function.get());
    for (const Ref& v : self->arguments.values) Py_VISIT(v.get());
    return traverse_core(self->core, visit, arg);
}

int frame_clear(PyObject* o) {
    FrameObject* self = as_frame(o);
    // The body borrows the arguments: its frame goes first, and what it held goes with it.
    drop_frame(self->core);
    self->finalizer.reset();
    clear_core(self->core);
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
    self->core.~FrameCore();
    self->arguments.~Arguments();
    self->name.~Ref();
    self->qualname.~Ref();
    self->finalizer.~Ref();
    PyObject_GC_Del(o);
    Py_TRASHCAN_END
}

namespace {

// A suspended body abandoned by its owner is closed, so that its cleanup runs, as for Python's.
// An unstarted coroutine only warns: its frame holds nothing and is freed by the deallocation.
void frame_finalize(PyObject* o) {
    FrameObject* self = as_frame(o);
    FrameCore& c = self->core;
    if (c.finished || !c.frame) return;
    Ref pending = fetch_exception();
    if (!c.started) {
        if (c.kind == FrameKind::coroutine &&
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", self->qualname.get()) < 0)
            PyErr_WriteUnraisable(o);
    } else if (!close_frame(c)) {
        PyErr_WriteUnraisable(o);
    }
    if (pending) restore_exception(pending);
}

PyObject* frame_send(PyObject* o, PyObject* arg) {
    return send_result(step(as_frame(o)->core, Borrowed(arg), Borrowed()));
}

PySendResult frame_am_send(PyObject* o, PyObject* arg, PyObject** out) {
    return step(as_frame(o)->core, Borrowed(arg), Borrowed()).into(out);
}

PyObject* frame_iternext(PyObject* o) {
    Step s = step(as_frame(o)->core, Borrowed(Py_None), Borrowed());
    // Exhausting a generator by iteration ends it quietly, as for Python's.
    if (s.kind == PYGEN_RETURN && s.value.get() == Py_None && as_frame(o)->core.kind == FrameKind::generator)
        return nullptr;
    return send_result(std::move(s));
}

PyObject* frame_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = thrown_exception(args, nargs);
    if (!exc) return nullptr;
    return send_result(step(as_frame(o)->core, Borrowed(), exc));
}

PyObject* frame_close(PyObject* o, PyObject*) { return close_frame(as_frame(o)->core).release(); }

// What coro.__await__() gives, as Python's coroutine_wrapper: the iterator over the coroutine's
// steps. A coroutine itself is not iterable.
struct CoroutineWrapper {
    PyObject_HEAD
    Ref coroutine;
};

extern StaticType CoroutineWrapperType;

CoroutineWrapper* as_wrapper(PyObject* w) { return reinterpret_cast<CoroutineWrapper*>(w); }
PyObject* wrapped(PyObject* w) { return as_wrapper(w)->coroutine.get(); }

PyObject* wrap(PyObject* coroutine) {
    auto* w = PyObject_GC_New(CoroutineWrapper, &CoroutineWrapperType);
    if (!w) return nullptr;
    new (&w->coroutine) Ref(Ref::incref(coroutine));
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

int wrapper_traverse(PyObject* w, visitproc visit, void* arg) {
    Py_VISIT(wrapped(w));
    return 0;
}
int wrapper_clear(PyObject* w) {
    as_wrapper(w)->coroutine.reset();
    return 0;
}
void wrapper_dealloc(PyObject* w) {
    PyObject_GC_UnTrack(w);
    as_wrapper(w)->coroutine.~Ref();
    PyObject_GC_Del(w);
}
PySendResult wrapper_am_send(PyObject* w, PyObject* arg, PyObject** out) { return frame_am_send(wrapped(w), arg, out); }
PyObject* wrapper_iternext(PyObject* w) {
    return send_result(step(as_frame(wrapped(w))->core, Borrowed(Py_None), Borrowed()));
}
PyObject* wrapper_send(PyObject* w, PyObject* arg) { return frame_send(wrapped(w), arg); }
PyObject* wrapper_throw(PyObject* w, PyObject* const* args, Py_ssize_t nargs) {
    return frame_throw(wrapped(w), args, nargs);
}
PyObject* wrapper_close(PyObject* w, PyObject*) { return frame_close(wrapped(w), nullptr); }

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyAsyncMethods wrapper_async = {nullptr, nullptr, nullptr, wrapper_am_send};

StaticType CoroutineWrapperType("native_coroutine_wrapper", sizeof(CoroutineWrapper), [](StaticType& t) {
    t.collected(wrapper_dealloc, wrapper_traverse, wrapper_clear);
    t.steps(&wrapper_async, wrapper_iternext, wrapper_methods);
});

PyObject* coroutine_await_method(PyObject* o, PyObject*) { return wrap(o); }

// `await coro` from Python code: a coroutine suspended in an await of its own already has an awaiter.
PyObject* coroutine_am_await(PyObject* o) {
    if (as_frame(o)->core.delegate) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return wrap(o);
}

int set_str(Ref& slot, PyObject* v) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "must be set to a string object");
        return -1;
    }
    slot = Ref::incref(v);
    return 0;
}
PyObject* get_running(PyObject* o, void*) { return PyBool_FromLong(as_frame(o)->core.running.load()); }
PyObject* get_awaiting(PyObject* o, void*) {
    const Ref& d = as_frame(o)->core.delegate;
    return (d ? d : Ref::incref(Py_None)).new_ref();
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", frame_get_name, frame_set_name, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, frame_set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", frame_get_name, frame_set_name, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, frame_set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_awaiting, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", frame_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_throw)), METH_FASTCALL, nullptr},
    {"close", frame_close, METH_NOARGS, nullptr},
    {"__await__", coroutine_await_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef generator_methods[] = {
    {"send", frame_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_throw)), METH_FASTCALL, nullptr},
    {"close", frame_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* frame_repr(PyObject* o) {
    const char* what = as_frame(o)->core.kind == FrameKind::coroutine ? "coroutine" : "generator";
    return PyUnicode_FromFormat("<native %s object %S at %p>", what, as_frame(o)->qualname.get(), o);
}

PyAsyncMethods coroutine_async = {coroutine_am_await, nullptr, nullptr, frame_am_send};
PyAsyncMethods generator_async = {nullptr, nullptr, nullptr, frame_am_send};

}  // namespace

PyObject* frame_get_name(PyObject* o, void*) { return as_frame(o)->name.new_ref(); }
PyObject* frame_get_qualname(PyObject* o, void*) { return as_frame(o)->qualname.new_ref(); }
int frame_set_name(PyObject* o, PyObject* v, void*) { return set_str(as_frame(o)->name, v); }
int frame_set_qualname(PyObject* o, PyObject* v, void*) { return set_str(as_frame(o)->qualname, v); }

void frame_type(StaticType& t, PyAsyncMethods* am, PyMethodDef* methods, PyGetSetDef* getset, reprfunc repr,
                destructor finalize) {
    t.collected(frame_dealloc, frame_traverse, frame_clear);
    t.tp_as_async = am;
    t.tp_repr = repr;
    t.tp_weaklistoffset = offsetof(FrameObject, weakrefs);
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_finalize = finalize;
}

StaticType CoroutineType("native_coroutine", sizeof(FrameObject), [](StaticType& t) {
    frame_type(t, &coroutine_async, coroutine_methods, coroutine_getset, frame_repr, frame_finalize);
});

StaticType GeneratorType("native_generator", sizeof(FrameObject), [](StaticType& t) {
    frame_type(t, &generator_async, generator_methods, generator_getset, frame_repr, frame_finalize);
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = frame_iternext;
});

}  // namespace rt
