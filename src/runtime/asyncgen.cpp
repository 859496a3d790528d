// Native async generators: __anext__, asend, athrow and aclose are small awaitables over
// the shared step driver. A co_yield of the body completes the awaitable with the value;
// whatever an awaited object yields (futures) passes up to the task.
#include "call.hpp"
#include "frame_object.hpp"
#include "text.hpp"
#include "type.hpp"

namespace rt {

namespace {

enum class OpMode : unsigned char { send, throw_, close };
enum class OpState : unsigned char { init, iterating, done };

struct AsyncGenOp {
    PyObject_HEAD
    FrameObject* gen;
    PyObject* arg;  // the value to send, or the exception to throw
    OpMode mode;
    OpState state;
};

PyTypeObject AsyncGenOpType;

AsyncGenOp* as_op(PyObject* o) { return reinterpret_cast<AsyncGenOp*>(o); }

// asyncio finalises abandoned generators through the hooks it installs.
int call_first_iter_hook(FrameObject* gen) {
    if (gen->hooks_called) return 0;
    gen->hooks_called = true;
    PyObject* hooks = guard(
        [] {
            static PyObject* const sys = check(PyImport_ImportModule("sys"));  // kept for good
            return call_method(sys, name<"get_asyncgen_hooks">()).release();
        },
        static_cast<PyObject*>(nullptr));
    if (!hooks) return -1;
    PyObject* firstiter = PyTuple_GetItem(hooks, 0);
    PyObject* finalizer = PyTuple_GetItem(hooks, 1);
    if (!firstiter || !finalizer) {
        Py_DECREF(hooks);
        return -1;
    }
    if (finalizer != Py_None) gen->finalizer = Py_NewRef(finalizer);
    int rc = 0;
    if (firstiter != Py_None) {
        PyObject* r = PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject*>(gen));
        if (r) Py_DECREF(r);
        else rc = -1;
    }
    Py_DECREF(hooks);
    return rc;
}

PySendResult finish_op(AsyncGenOp* op, PySendResult r, PyObject** out) {
    FrameObject* gen = op->gen;
    if (r == PYGEN_NEXT && !gen->core.yielded_value) return PYGEN_NEXT;  // a future on its way to the task
    op->state = OpState::done;
    gen->op_running = false;
    if (r == PYGEN_NEXT) {
        if (op->mode != OpMode::close) return PYGEN_RETURN;  // the value of the co_yield
        Py_CLEAR(*out);
        PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
        return PYGEN_ERROR;
    }
    if (r == PYGEN_RETURN) {
        if (op->mode == OpMode::close) return PYGEN_RETURN;
        Py_CLEAR(*out);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    }
    if (op->mode == OpMode::close &&
        (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration))) {
        PyErr_Clear();
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

PySendResult op_step(AsyncGenOp* op, PyObject* arg, PyObject* exc, PyObject** out) {
    *out = nullptr;
    FrameObject* gen = op->gen;
    if (op->state == OpState::done) {
        PyErr_SetString(PyExc_RuntimeError, op->mode == OpMode::send
                                                 ? "cannot reuse already awaited __anext__()/asend()"
                                                 : "cannot reuse already awaited aclose()/athrow()");
        return PYGEN_ERROR;
    }
    if (op->state == OpState::init) {
        if (gen->op_running) {
            op->state = OpState::done;
            PyErr_SetString(PyExc_RuntimeError, op->mode == OpMode::send    ? "anext(): asynchronous generator is already running"
                                                : op->mode == OpMode::close ? "aclose(): asynchronous generator is already running"
                                                                            : "athrow(): asynchronous generator is already running");
            return PYGEN_ERROR;
        }
        if (gen->core.finished || (op->mode != OpMode::send && gen->closed)) {
            // Nothing left to run: anext() ends the iteration, athrow() and aclose() have nothing to do.
            op->state = OpState::done;
            if (op->mode != OpMode::send) {
                *out = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return PYGEN_ERROR;
        }
        if (op->mode == OpMode::close) gen->closed = true;  // first, so that shutdown_asyncgens sees it
        op->state = OpState::iterating;
        gen->op_running = true;
        if (!exc) {
            if (op->mode == OpMode::send) {
                if (arg == Py_None) arg = op->arg;
            } else {
                exc = op->arg;
            }
        }
    }
    PySendResult r = step(gen->core, arg, exc, out);
    return finish_op(op, r, out);
}

PySendResult op_am_send(PyObject* o, PyObject* arg, PyObject** out) { return op_step(as_op(o), arg, nullptr, out); }

PyObject* op_send(PyObject* o, PyObject* arg) {
    PyObject* out;
    PySendResult r = op_step(as_op(o), arg, nullptr, &out);
    return send_result(r, out);
}

PyObject* op_iternext(PyObject* o) { return op_send(o, Py_None); }

PyObject* op_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = thrown_exception(args, nargs);
    if (!exc) return nullptr;
    PyObject* out;
    PySendResult r = op_step(as_op(o), nullptr, exc, &out);
    Py_DECREF(exc);
    return send_result(r, out);
}

PyObject* op_close(PyObject* o, PyObject*) {
    AsyncGenOp* op = as_op(o);
    if (op->state == OpState::iterating) op->gen->op_running = false;
    op->state = OpState::done;
    Py_RETURN_NONE;
}

PyObject* self_await(PyObject* o, PyObject*) { return Py_NewRef(o); }

int op_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(as_op(o)->gen));
    Py_VISIT(as_op(o)->arg);
    return 0;
}

int op_clear(PyObject* o) {
    Py_CLEAR(as_op(o)->gen);
    Py_CLEAR(as_op(o)->arg);
    return 0;
}

void op_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    op_clear(o);
    PyObject_GC_Del(o);
}

// As Python's, the hooks are called when the first operation is made, not when it is awaited.
PyObject* new_op(PyObject* gen, OpMode mode, PyObject* arg) {
    if (call_first_iter_hook(as_frame(gen)) < 0) {
        Py_DECREF(arg);
        return nullptr;
    }
    auto* op = PyObject_GC_New(AsyncGenOp, &AsyncGenOpType);
    if (!op) {
        Py_DECREF(arg);
        return nullptr;
    }
    op->gen = as_frame(Py_NewRef(gen));
    op->arg = arg;
    op->mode = mode;
    op->state = OpState::init;
    PyObject_GC_Track(op);
    return reinterpret_cast<PyObject*>(op);
}

PyObject* gen_anext(PyObject* self) { return new_op(self, OpMode::send, Py_NewRef(Py_None)); }
PyObject* gen_anext_method(PyObject* self, PyObject*) { return gen_anext(self); }
PyObject* gen_asend(PyObject* self, PyObject* v) { return new_op(self, OpMode::send, Py_NewRef(v)); }
PyObject* gen_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* exc = thrown_exception(args, nargs);
    return exc ? new_op(self, OpMode::throw_, exc) : nullptr;
}
PyObject* gen_aclose(PyObject* self, PyObject*) {
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    return exit ? new_op(self, OpMode::close, exit) : nullptr;
}

// An abandoned generator goes to asyncio's finaliser, which schedules aclose(); without one
// it is closed here, and a body that would have to await to finish is reported.
void gen_finalize(PyObject* o) {
    FrameObject* self = as_frame(o);
    if (self->core.finished || !self->core.started) return;  // nothing to close; freed by the deallocation
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (self->finalizer && !self->closed) {
        PyObject* r = PyObject_CallOneArg(self->finalizer, o);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(o);
    } else {
        self->closed = true;
        PyObject* r = close_frame(self->core);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(o);
    }
    PyErr_Restore(t, v, tb);
}

PyObject* get_running(PyObject* o, void*) { return PyBool_FromLong(as_frame(o)->op_running); }

PyGetSetDef gen_getset[] = {
    {"__name__", frame_get_name, frame_set_name, nullptr, nullptr},
    {"__qualname__", frame_get_qualname, frame_set_qualname, nullptr, nullptr},
    {"ag_running", get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"asend", gen_asend, METH_O, nullptr},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_athrow)), METH_FASTCALL, nullptr},
    {"aclose", gen_aclose, METH_NOARGS, nullptr},
    {"__anext__", gen_anext_method, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef op_methods[] = {
    {"send", op_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(op_throw)), METH_FASTCALL, nullptr},
    {"close", op_close, METH_NOARGS, nullptr},
    {"__await__", self_await, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods gen_async = {nullptr, PyObject_SelfIter, gen_anext, nullptr};
PyAsyncMethods op_async = {PyObject_SelfIter, nullptr, nullptr, op_am_send};

PyObject* gen_repr(PyObject* o) {
    return PyUnicode_FromFormat("<native async_generator object %S at %p>", as_frame(o)->qualname, o);
}

}  // namespace

PyTypeObject AsyncGeneratorType =
    frame_type("native_async_generator", &gen_async, gen_methods, gen_getset, gen_repr, gen_finalize);
static const bool op_type_made =
    (AsyncGenOpType = step_iterator_type("native_async_generator_op", sizeof(AsyncGenOp), op_dealloc, op_traverse,
                                         op_clear, &op_async, op_iternext, op_methods),
     true);

int ready_async_generator_types() {
    (void)op_type_made;
    if (PyType_Ready(&AsyncGeneratorType) < 0) return -1;
    return PyType_Ready(&AsyncGenOpType);
}

}  // namespace rt
