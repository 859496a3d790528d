// Native async generators: __anext__, asend, athrow and aclose are small awaitables over
// the shared step driver. A co_yield of the body completes the awaitable with the value;
// whatever an awaited object yields (futures) passes up to the task.
#include "call.hpp"
#include "frame_object.hpp"
#include "protocol.hpp"
#include "text.hpp"

#include <new>

namespace rt {

namespace {

enum class OpMode : unsigned char { send, throw_, close };
enum class OpState : unsigned char { init, iterating, done };

struct AsyncGenOp {
    PyObject_HEAD
    Ref gen;
    Ref arg;  // the value to send, or the exception to throw
    OpMode mode;
    OpState state;
};

extern StaticType AsyncGenOpType;

AsyncGenOp* as_op(PyObject* o) { return reinterpret_cast<AsyncGenOp*>(o); }
FrameObject* gen_of(AsyncGenOp* op) { return as_frame(op->gen.get()); }

// asyncio finalises abandoned generators through the hooks it installs.
int call_first_iter_hook(FrameObject* gen) {
    if (gen->hooks_called) return 0;
    gen->hooks_called = true;
    Ref hooks = Ref::steal(guard(
        [] {
            static PyObject* const sys = check(PyImport_ImportModule("sys"));  // kept for good
            return call_method(sys, name<"get_asyncgen_hooks">()).release();
        },
        static_cast<PyObject*>(nullptr)));
    if (!hooks) return -1;
    PyObject* firstiter = PyTuple_GetItem(hooks.get(), 0);
    PyObject* finalizer = PyTuple_GetItem(hooks.get(), 1);
    if (!firstiter || !finalizer) return -1;
    if (finalizer != Py_None) gen->finalizer = Ref::incref(finalizer);
    if (firstiter == Py_None) return 0;
    return Ref::steal(PyObject_CallOneArg(firstiter, reinterpret_cast<PyObject*>(gen))) ? 0 : -1;
}

Step finish_op(AsyncGenOp* op, Step&& s) {
    FrameObject* gen = gen_of(op);
    if (s.kind == PYGEN_NEXT && !gen->core.yielded_value) return std::move(s);  // a future on its way to the task
    op->state = OpState::done;
    gen->op_running = false;
    if (s.kind == PYGEN_NEXT) {
        if (op->mode != OpMode::close) return {PYGEN_RETURN, std::move(s.value)};  // the value of the co_yield
        PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
        return {PYGEN_ERROR, Ref()};
    }
    if (s.kind == PYGEN_RETURN) {
        if (op->mode == OpMode::close) return std::move(s);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return {PYGEN_ERROR, Ref()};
    }
    if (op->mode == OpMode::close &&
        (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration))) {
        PyErr_Clear();
        return {PYGEN_RETURN, Ref::incref(Py_None)};
    }
    return std::move(s);
}

const char* already_running(OpMode mode) {
    switch (mode) {
        case OpMode::send: return "anext(): asynchronous generator is already running";
        case OpMode::close: return "aclose(): asynchronous generator is already running";
        default: return "athrow(): asynchronous generator is already running";
    }
}

// The first step of an operation: refused while another runs, nothing to do on a finished
// generator; else the generator runs, with the operation's own value or exception.
bool begin_op(AsyncGenOp* op, Borrowed& arg, Borrowed& exc, Step& out) {
    FrameObject* gen = gen_of(op);
    if (gen->op_running) {
        op->state = OpState::done;
        PyErr_SetString(PyExc_RuntimeError, already_running(op->mode));
        out = {PYGEN_ERROR, Ref()};
        return false;
    }
    if (gen->core.finished || (op->mode != OpMode::send && gen->closed)) {
        // Nothing left to run: anext() ends the iteration, athrow() and aclose() have nothing to do.
        op->state = OpState::done;
        if (op->mode != OpMode::send) {
            out = {PYGEN_RETURN, Ref::incref(Py_None)};
        } else {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            out = {PYGEN_ERROR, Ref()};
        }
        return false;
    }
    if (op->mode == OpMode::close) gen->closed = true;  // first, so that shutdown_asyncgens sees it
    op->state = OpState::iterating;
    gen->op_running = true;
    if (!exc) {
        if (op->mode != OpMode::send) exc = op->arg;
        else if (arg.get() == Py_None) arg = op->arg;
    }
    return true;
}

Step op_step(AsyncGenOp* op, Borrowed arg, Borrowed exc) {
    if (op->state == OpState::done) {
        PyErr_SetString(PyExc_RuntimeError, op->mode == OpMode::send
                                                ? "cannot reuse already awaited __anext__()/asend()"
                                                : "cannot reuse already awaited aclose()/athrow()");
        return {PYGEN_ERROR, Ref()};
    }
    Step out{PYGEN_ERROR, Ref()};
    if (op->state == OpState::init && !begin_op(op, arg, exc, out)) return out;
    return finish_op(op, step(gen_of(op)->core, arg, exc));
}

PySendResult op_am_send(PyObject* o, PyObject* arg, PyObject** out) {
    return op_step(as_op(o), Borrowed(arg), Borrowed()).into(out);
}
PyObject* op_send(PyObject* o, PyObject* arg) { return send_result(op_step(as_op(o), Borrowed(arg), Borrowed())); }
PyObject* op_iternext(PyObject* o) { return op_send(o, Py_None); }
PyObject* op_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = thrown_exception(args, nargs);
    if (!exc) return nullptr;
    return send_result(op_step(as_op(o), Borrowed(), exc));
}

PyObject* op_close(PyObject* o, PyObject*) {
    AsyncGenOp* op = as_op(o);
    if (op->state == OpState::iterating) gen_of(op)->op_running = false;
    op->state = OpState::done;
    Py_RETURN_NONE;
}

PyObject* self_await(PyObject* o, PyObject*) { return Ref::incref(o).release(); }

int op_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(as_op(o)->gen.get());
    Py_VISIT(as_op(o)->arg.get());
    return 0;
}

int op_clear(PyObject* o) {
    as_op(o)->gen.reset();
    as_op(o)->arg.reset();
    return 0;
}

void op_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    as_op(o)->gen.~Ref();
    as_op(o)->arg.~Ref();
    PyObject_GC_Del(o);
}

// As Python's, the hooks are called when the first operation is made, not when it is awaited.
PyObject* new_op(PyObject* gen, OpMode mode, Ref&& arg) {
    if (call_first_iter_hook(as_frame(gen)) < 0) return nullptr;
    auto* op = PyObject_GC_New(AsyncGenOp, &AsyncGenOpType);
    if (!op) return nullptr;
    new (&op->gen) Ref(Ref::incref(gen));
    new (&op->arg) Ref(std::move(arg));
    op->mode = mode;
    op->state = OpState::init;
    PyObject_GC_Track(op);
    return reinterpret_cast<PyObject*>(op);
}

PyObject* gen_anext(PyObject* self) { return new_op(self, OpMode::send, Ref::incref(Py_None)); }
PyObject* gen_anext_method(PyObject* self, PyObject*) { return gen_anext(self); }
PyObject* gen_asend(PyObject* self, PyObject* v) { return new_op(self, OpMode::send, Ref::incref(v)); }
PyObject* gen_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = thrown_exception(args, nargs);
    return exc ? new_op(self, OpMode::throw_, std::move(exc)) : nullptr;
}
PyObject* gen_aclose(PyObject* self, PyObject*) {
    Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    return exit ? new_op(self, OpMode::close, std::move(exit)) : nullptr;
}

// An abandoned generator goes to asyncio's finaliser, which schedules aclose(); without one
// it is closed here, and a body that would have to await to finish is reported.
void gen_finalize(PyObject* o) {
    FrameObject* self = as_frame(o);
    if (self->core.finished || !self->core.started) return;  // nothing to close; freed by the deallocation
    Ref pending = fetch_exception();
    bool done;
    if (self->finalizer && !self->closed) {
        done = bool(Ref::steal(PyObject_CallOneArg(self->finalizer.get(), o)));
    } else {
        self->closed = true;
        done = bool(close_frame(self->core));
    }
    if (!done) PyErr_WriteUnraisable(o);
    if (pending) restore_exception(pending);
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
    return PyUnicode_FromFormat("<native async_generator object %S at %p>", as_frame(o)->qualname.get(), o);
}

StaticType AsyncGenOpType("native_async_generator_op", sizeof(AsyncGenOp), [](StaticType& t) {
    t.collected(op_dealloc, op_traverse, op_clear);
    t.steps(&op_async, op_iternext, op_methods);
});

}  // namespace

StaticType AsyncGeneratorType("native_async_generator", sizeof(FrameObject), [](StaticType& t) {
    frame_type(t, &gen_async, gen_methods, gen_getset, gen_repr, gen_finalize);
});

}  // namespace rt
