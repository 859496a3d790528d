#include "frame.hpp"

#include <utility>

namespace rt {

namespace {

PyObject* take(PyObject*& slot) noexcept { return std::exchange(slot, nullptr); }

const char* kind_name(FrameKind k) noexcept {
    switch (k) {
        case FrameKind::coroutine: return "coroutine";
        case FrameKind::generator: return "generator";
        default: return "async generator";
    }
}

}  // namespace

PyObject* replace_stop_iteration(FrameKind kind, PyObject* err) {
    PyObject* stopper = nullptr;
    if (PyErr_GivenExceptionMatches(err, PyExc_StopIteration))
        stopper = PyExc_StopIteration;
    else if (kind == FrameKind::async_generator && PyErr_GivenExceptionMatches(err, PyExc_StopAsyncIteration))
        stopper = PyExc_StopAsyncIteration;
    if (!stopper) return err;
    PyObject* msg = PyUnicode_FromFormat("%s raised %s", kind_name(kind), reinterpret_cast<PyTypeObject*>(stopper)->tp_name);
    PyObject* repl = msg ? PyObject_CallOneArg(PyExc_RuntimeError, msg) : nullptr;
    Py_XDECREF(msg);
    if (!repl) {
        Py_DECREF(err);
        return fetch_exception();
    }
    Py_INCREF(err);
    PyException_SetCause(repl, err);   // steals; also suppresses the context display
    PyException_SetContext(repl, err);  // steals
    return repl;
}

namespace {

// Resumes the body and reports how it stopped.
PySendResult resume_body(FrameCore& c, PyObject** out) {
    c.frame.resume();
    if (!c.frame.done()) {
        *out = take(c.yielded);
        return PYGEN_NEXT;
    }
    PyObject* err = take(c.error);
    PyObject* result = take(c.result);
    drop_frame(c);
    if (err) {
        Py_XDECREF(result);
        err = replace_stop_iteration(c.kind, err);
        restore_exception(err);
        Py_DECREF(err);
        *out = nullptr;
        return PYGEN_ERROR;
    }
    *out = result ? result : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Passes a send or throw on to the awaited delegate. Returns true with *out set when the
// delegate yielded; otherwise its outcome waits in the core for the body to resume with.
bool step_delegate(FrameCore& c, PyObject* arg, PyObject* exc, PyObject** out) {
    PyObject* res = nullptr;
    if (!exc) {
        PySendResult r = PyIter_Send(c.delegate, arg, &res);
        if (r == PYGEN_NEXT) {
            *out = res;
            return true;
        }
        if (r == PYGEN_RETURN)
            c.resume_value = res;
        else
            c.resume_error = fetch_exception();
    } else if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // Closing: close the delegate, then raise GeneratorExit (or what close raised) in the body.
        PyObject* r = PyObject_CallMethod(c.delegate, "close", nullptr);
        if (!r && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            r = Py_NewRef(Py_None);
        }
        if (r) {
            Py_DECREF(r);
            c.resume_error = Py_NewRef(exc);
        } else {
            c.resume_error = fetch_exception();
        }
    } else {
        PyObject* meth = PyObject_GetAttrString(c.delegate, "throw");
        if (!meth) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                c.resume_error = fetch_exception();
            } else {
                PyErr_Clear();
                c.resume_error = Py_NewRef(exc);
            }
        } else {
            res = PyObject_CallOneArg(meth, exc);
            Py_DECREF(meth);
            if (res) {
                *out = res;
                return true;
            }
            PyObject* err = fetch_exception();
            if (PyErr_GivenExceptionMatches(err, PyExc_StopIteration)) {
                PyObject* v = PyObject_GetAttrString(err, "value");
                Py_DECREF(err);
                if (v) c.resume_value = v;
                else c.resume_error = fetch_exception();
            } else {
                c.resume_error = err;
            }
        }
    }
    Py_CLEAR(c.delegate);
    return false;
}

}  // namespace

PySendResult step(FrameCore& c, PyObject* arg, PyObject* exc, PyObject** out) {
    *out = nullptr;
    // Taken at once, so that a second thread that steps the same object meanwhile is refused.
    if (c.running.exchange(true, std::memory_order_acquire)) {
        PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(c.kind));
        return PYGEN_ERROR;
    }
    struct Done {
        std::atomic<bool>& running;
        ~Done() { running.store(false, std::memory_order_release); }
    } done{c.running};
    if (c.finished) {
        if (c.kind == FrameKind::coroutine) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else if (exc) {
            restore_exception(exc);
        } else {
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        return PYGEN_ERROR;
    }
    if (!c.started) {
        if (exc) {  // raised before the first line runs: the body ends with it
            drop_frame(c);
            PyObject* err = Py_NewRef(exc);
#if PY_VERSION_HEX < 0x030C0000
            err = replace_stop_iteration(c.kind, err);  // as if the body's first line had raised it
#endif
            restore_exception(err);
            Py_DECREF(err);
            return PYGEN_ERROR;
        }
        if (arg && arg != Py_None) {
            PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(c.kind));
            return PYGEN_ERROR;
        }
    }
    if (Py_EnterRecursiveCall(" in a native coroutine")) return PYGEN_ERROR;

    PyThreadState* ts = PyThreadState_Get();
    c.exc_state.previous_item = ts->exc_info;
    ts->exc_info = &c.exc_state;

    PySendResult r;
    if (c.delegate && step_delegate(c, arg, exc, out)) {
        c.yielded_value = false;
        r = PYGEN_NEXT;
    } else {
        if (!c.delegate && !c.resume_value && !c.resume_error && c.started) {
            if (exc) c.resume_error = Py_NewRef(exc);
            else c.resume_value = Py_NewRef(arg ? arg : Py_None);
        }
        c.started = true;
        r = resume_body(c, out);
    }

    ts->exc_info = c.exc_state.previous_item;
    c.exc_state.previous_item = nullptr;
    Py_LeaveRecursiveCall();
    return r;
}

PyObject* close_frame(FrameCore& c) {
    if (c.finished) Py_RETURN_NONE;
    if (!c.started) {
        drop_frame(c);
        Py_RETURN_NONE;
    }
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* out;
    PySendResult r = step(c, nullptr, exit, &out);
    Py_DECREF(exit);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(c.kind));
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
#if PY_VERSION_HEX >= 0x030D0000
        return out;  // from 3.13 on, close() gives what the body returned
#else
        Py_DECREF(out);
        Py_RETURN_NONE;
#endif
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void drop_frame(FrameCore& c) {
    c.finished = true;
    if (!c.frame) return;
    // Destroying the frame releases the C++ locals it still holds, which may run arbitrary code.
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    std::exchange(c.frame, nullptr).destroy();
    PyErr_Restore(t, v, tb);
}

int traverse_core(FrameCore& c, visitproc visit, void* arg) {
    Py_VISIT(c.delegate);
    Py_VISIT(c.yielded);
    Py_VISIT(c.resume_value);
    Py_VISIT(c.resume_error);
    Py_VISIT(c.result);
    Py_VISIT(c.error);
    Py_VISIT(c.exc_state.exc_value);
#if PY_VERSION_HEX < 0x030B0000
    Py_VISIT(c.exc_state.exc_type);
    Py_VISIT(c.exc_state.exc_traceback);
#endif
    return 0;
}

void clear_core(FrameCore& c) {
    Py_CLEAR(c.exc_state.exc_value);
#if PY_VERSION_HEX < 0x030B0000
    Py_CLEAR(c.exc_state.exc_type);
    Py_CLEAR(c.exc_state.exc_traceback);
#endif
    Py_CLEAR(c.delegate);
    Py_CLEAR(c.yielded);
    Py_CLEAR(c.resume_value);
    Py_CLEAR(c.resume_error);
    Py_CLEAR(c.result);
    Py_CLEAR(c.error);
}

bool Awaiter::start(Ref target) {
    FrameCore& c = *core_;
    PyObject* it = awaitable_iterator(target.get());
    if (!it) {
        c.resume_error = fetch_exception();
        return false;
    }
    PyObject* res = nullptr;
    PySendResult r = PyIter_Send(it, Py_None, &res);
    if (r == PYGEN_NEXT) {
        c.delegate = it;
        c.yielded = res;
        c.yielded_value = false;
        return true;
    }
    Py_DECREF(it);
    if (r == PYGEN_RETURN)
        c.resume_value = res;
    else
        c.resume_error = fetch_exception();
    return false;
}

Ref Awaiter::await_resume() {
    FrameCore& c = *core_;
    if (c.resume_error) throw PyErr(Ref::steal(take(c.resume_error)));
    return Ref::steal(take(c.resume_value));
}

Ref YieldPoint::await_resume() const {
    if (core->resume_error) throw PyErr(Ref::steal(take(core->resume_error)));
    PyObject* v = take(core->resume_value);
    return Ref::steal(v ? v : Py_NewRef(Py_None));
}

PyObject* stop_iteration(PyObject* value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
        Py_DECREF(value);
        return nullptr;
    }
    // An instance keeps tuples and exceptions from being taken apart as constructor arguments.
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

PyObject* send_result(PySendResult r, PyObject* out) {
    if (r == PYGEN_RETURN) return stop_iteration(out);
    return out;
}

PyObject* thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* tbref = tb != Py_None ? Py_NewRef(tb) : nullptr;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            Py_XDECREF(tbref);
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        val = typ;
        typ = reinterpret_cast<PyObject*>(Py_TYPE(val));
        if (!tbref) tbref = PyException_GetTraceback(val);  // keep its own traceback
    } else if (!PyExceptionClass_Check(typ)) {
        Py_XDECREF(tbref);
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    Py_INCREF(typ);
    Py_INCREF(val);
    PyErr_Restore(typ, val, tbref);
    return fetch_exception();
}

}  // namespace rt
