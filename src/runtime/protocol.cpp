#include "protocol.hpp"

#include "frame_object.hpp"

namespace rt {
namespace {

// Whether a Python coroutine is suspended in an await of its own (another awaiter drives it).
int python_coroutine_busy(PyObject* coro) {
    Ref awaiting = Ref::steal(PyObject_GetAttrString(coro, "cr_await"));
    if (!awaiting) return -1;
    return awaiting.get() != Py_None;
}

// A generator may be awaited only when types.coroutine made it (the iterable-coroutine flag).
int iterable_coroutine(PyObject* gen) {
    Ref code = Ref::steal(PyObject_GetAttrString(gen, "gi_code"));
    if (!code) return -1;
    Ref flags = Ref::steal(PyObject_GetAttrString(code.get(), "co_flags"));
    if (!flags) return -1;
    long f = PyLong_AsLong(flags.get());
    if (f == -1 && PyErr_Occurred()) return -1;
    return (f & CO_ITERABLE_COROUTINE) != 0;
}

// The iterator __await__ gives, checked as Python checks it.
Ref await_method_iterator(PyObject* target) {
    Ref it = Ref::steal(Py_TYPE(target)->tp_as_async->am_await(target));
    if (it && (PyCoro_CheckExact(it.get()) || !PyIter_Check(it.get()))) {
        PyErr_Format(PyExc_TypeError,
                     PyCoro_CheckExact(it.get()) ? "__await__() returned a coroutine"
                                                 : "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
        return Ref();
    }
    return it;
}

}  // namespace

Ref awaitable_iterator(Borrowed target) {
    PyObject* t = target.get();
    PyTypeObject* tp = Py_TYPE(t);
    if (tp == &CoroutineType || PyCoro_CheckExact(t)) {
        // Coroutines are their own iterators (ours step through am_send).
        int busy = tp == &CoroutineType ? bool(as_frame(t)->core.delegate) : python_coroutine_busy(t);
        if (busy < 0) return Ref();
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return Ref();
        }
        return target.ref();
    }
    if (PyGen_CheckExact(t)) {
        int ok = iterable_coroutine(t);
        if (ok < 0) return Ref();
        if (ok) return target.ref();
    } else if (tp->tp_as_async && tp->tp_as_async->am_await) {
        return await_method_iterator(t);
    }
#if PY_VERSION_HEX >= 0x030E0000
    PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", tp->tp_name);
#else
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", tp->tp_name);
#endif
    return Ref();
}

Ref replace_stop_iteration(FrameKind kind, Ref&& err) {
    PyObject* stopper = nullptr;
    if (PyErr_GivenExceptionMatches(err.get(), PyExc_StopIteration)) stopper = PyExc_StopIteration;
    else if (kind == FrameKind::async_generator && PyErr_GivenExceptionMatches(err.get(), PyExc_StopAsyncIteration))
        stopper = PyExc_StopAsyncIteration;
    if (!stopper) return std::move(err);
    Ref msg = Ref::steal(
        PyUnicode_FromFormat("%s raised %s", kind_name(kind), reinterpret_cast<PyTypeObject*>(stopper)->tp_name));
    Ref repl = msg ? Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, msg.get())) : Ref();
    if (!repl) return fetch_exception();
    PyException_SetCause(repl.get(), err.new_ref());  // takes it over; also suppresses the context display
    PyException_SetContext(repl.get(), err.release());  // takes it over
    return repl;
}

void set_stop_iteration(Ref&& value) {
    if (value.get() == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    if (!PyTuple_Check(value.get()) && !PyExceptionInstance_Check(value.get())) {
        PyErr_SetObject(PyExc_StopIteration, value.get());
        return;
    }
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

PyObject* send_result(Step&& s) {
    if (s.kind == PYGEN_RETURN) {
        set_stop_iteration(std::move(s.value));
        return nullptr;
    }
    return s.value.release();
}

Ref thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", nargs);
        return Ref();
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return Ref();
    }
    Ref traceback = tb != Py_None ? Ref::incref(tb) : Ref();
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return Ref();
        }
        val = typ;
        typ = reinterpret_cast<PyObject*>(Py_TYPE(val));
        if (!traceback) traceback = Ref::steal(PyException_GetTraceback(val));  // keep its own traceback
    } else if (!PyExceptionClass_Check(typ)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return Ref();
    }
    PyErr_Restore(Ref::incref(typ).release(), Ref::incref(val).release(), traceback.release());
    return fetch_exception();
}

}  // namespace rt
