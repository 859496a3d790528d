#include "frame.hpp"

#include "protocol.hpp"

#include <utility>

namespace rt {

const char* kind_name(FrameKind k) noexcept {
    switch (k) {
        case FrameKind::coroutine: return "coroutine";
        case FrameKind::generator: return "generator";
        default: return "async generator";
    }
}

namespace {

// Resumes the body and tells how it stopped.
Step resume_body(FrameCore& c) {
    HeldList* outer = c.held.enter();
    c.frame.resume();
    HeldList::leave(outer);
    if (!c.frame.done()) return {PYGEN_NEXT, std::move(c.yielded)};
    Ref err = std::move(c.error);
    Ref result = std::move(c.result);
    drop_frame(c);
    if (err) {
        restore_exception(replace_stop_iteration(c.kind, std::move(err)));
        return {PYGEN_ERROR, Ref()};
    }
    return {PYGEN_RETURN, result ? std::move(result) : Ref::incref(Py_None)};
}

// Closing the delegate for a close() of ours: its close() (if it has one), then GeneratorExit, or
// what its close raised, where the body resumes.
void close_delegate(FrameCore& c, Borrowed exc) {
    Ref closed = Ref::steal(PyObject_CallMethod(c.delegate.get(), "close", nullptr));
    if (!closed && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        closed = Ref::incref(Py_None);
    }
    c.resume_error = closed ? exc.ref() : fetch_exception();
}

// Throwing into the delegate: its throw() with the exception; what it yields passes up, what it
// returns or raises waits for the body. Returns the yielded value, or an empty Ref.
Ref throw_into_delegate(FrameCore& c, Borrowed exc) {
    Ref method = Ref::steal(PyObject_GetAttrString(c.delegate.get(), "throw"));
    if (!method) {
        c.resume_error = PyErr_ExceptionMatches(PyExc_AttributeError) ? (PyErr_Clear(), exc.ref()) : fetch_exception();
        return Ref();
    }
    Ref yielded = Ref::steal(PyObject_CallOneArg(method.get(), exc.get()));
    if (yielded) return yielded;
    Ref err = fetch_exception();
    if (!PyErr_GivenExceptionMatches(err.get(), PyExc_StopIteration)) {
        c.resume_error = std::move(err);
        return Ref();
    }
    Ref value = Ref::steal(PyObject_GetAttrString(err.get(), "value"));
    if (value) c.resume_value = std::move(value);
    else c.resume_error = fetch_exception();
    return Ref();
}

// Passes a send or throw on to the awaited delegate. Returns what the delegate yielded; empty when
// it is done, its outcome waiting in the core for the body to resume with.
Ref step_delegate(FrameCore& c, Borrowed arg, Borrowed exc) {
    Ref yielded;
    if (!exc) {
        PyObject* res = nullptr;
        PySendResult r = PyIter_Send(c.delegate.get(), arg.get(), &res);
        if (r == PYGEN_NEXT) return Ref::steal(res);
        if (r == PYGEN_RETURN) c.resume_value = Ref::steal(res);
        else c.resume_error = fetch_exception();
    } else if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
        close_delegate(c, exc);
    } else if ((yielded = throw_into_delegate(c, exc))) {
        return yielded;
    }
    c.delegate.reset();
    return Ref();
}

// The checks of a step before the body runs; an ERROR or RETURN step when it must not run.
bool refused(FrameCore& c, Borrowed arg, Borrowed exc, Step& out) {
    if (c.finished) {
        if (c.kind == FrameKind::coroutine) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else if (exc) {
            restore_exception(exc);
        } else {
            out = {PYGEN_RETURN, Ref::incref(Py_None)};
            return true;
        }
        out = {PYGEN_ERROR, Ref()};
        return true;
    }
    if (c.started) return false;
    if (exc) {  // raised before the first line runs: the body ends with it
        drop_frame(c);
        Ref err = exc.ref();
#if PY_VERSION_HEX < 0x030C0000
        err = replace_stop_iteration(c.kind, std::move(err));  // as if the body's first line had raised it
#endif
        restore_exception(err);
        out = {PYGEN_ERROR, Ref()};
        return true;
    }
    if (arg && arg.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(c.kind));
        out = {PYGEN_ERROR, Ref()};
        return true;
    }
    return false;
}

}  // namespace

Step step(FrameCore& c, Borrowed arg, Borrowed exc) {
    // Taken at once, so that a second thread that steps the same object meanwhile is refused.
    if (c.running.exchange(true, std::memory_order_acquire)) {
        PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(c.kind));
        return {PYGEN_ERROR, Ref()};
    }
    struct Done {
        std::atomic<bool>& running;
        ~Done() { running.store(false, std::memory_order_release); }
    } done{c.running};
    Step out{PYGEN_ERROR, Ref()};
    if (refused(c, arg, exc, out)) return out;
    if (Py_EnterRecursiveCall(" in a native coroutine")) return out;

    PyThreadState* ts = PyThreadState_Get();
    c.exc_state.previous_item = ts->exc_info;
    ts->exc_info = &c.exc_state;
    Ref yielded = c.delegate ? step_delegate(c, arg, exc) : Ref();
    if (yielded) {
        c.yielded_value = false;
        out = {PYGEN_NEXT, std::move(yielded)};
    } else {
        if (!c.delegate && !c.resume_value && !c.resume_error && c.started) {
            if (exc) c.resume_error = exc.ref();
            else c.resume_value = arg ? arg.ref() : Ref::incref(Py_None);
        }
        c.started = true;
        out = resume_body(c);
    }
    ts->exc_info = c.exc_state.previous_item;
    c.exc_state.previous_item = nullptr;
    Py_LeaveRecursiveCall();
    return out;
}

Ref close_frame(FrameCore& c) {
    if (c.finished) return Ref::incref(Py_None);
    if (!c.started) {
        drop_frame(c);
        return Ref::incref(Py_None);
    }
    Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) return Ref();
    Step s = step(c, Borrowed(), exit);
    if (s.kind == PYGEN_NEXT) {
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(c.kind));
        return Ref();
    }
    if (s.kind == PYGEN_RETURN) {
#if PY_VERSION_HEX >= 0x030D0000
        return std::move(s.value);  // from 3.13 on, close() gives what the body returned
#else
        return Ref::incref(Py_None);
#endif
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        return Ref::incref(Py_None);
    }
    return Ref();
}

void drop_frame(FrameCore& c) {
    c.finished = true;
    if (!c.frame) return;
    // Destroying the frame releases the C++ locals it still holds, which may run arbitrary code.
    Ref pending = fetch_exception();
    std::exchange(c.frame, nullptr).destroy();
    if (pending) restore_exception(pending);
}

int traverse_core(const FrameCore& c, visitproc visit, void* arg) {
    for (const Ref* r : {&c.delegate, &c.yielded, &c.resume_value, &c.resume_error, &c.result, &c.error})
        Py_VISIT(r->get());
    Py_VISIT(c.exc_state.exc_value);
#if PY_VERSION_HEX < 0x030B0000
    Py_VISIT(c.exc_state.exc_type);
    Py_VISIT(c.exc_state.exc_traceback);
#endif
    return c.held.traverse(visit, arg);
}

void clear_core(FrameCore& c) {
    Ref handled = Ref::steal(std::exchange(c.exc_state.exc_value, nullptr));
#if PY_VERSION_HEX < 0x030B0000
    Ref handled_type = Ref::steal(std::exchange(c.exc_state.exc_type, nullptr));
    Ref handled_traceback = Ref::steal(std::exchange(c.exc_state.exc_traceback, nullptr));
#endif
    for (Ref* r : {&c.delegate, &c.yielded, &c.resume_value, &c.resume_error, &c.result, &c.error}) r->reset();
}

bool Awaiter::start(Ref target) {
    FrameCore& c = *core_;
    Ref it = awaitable_iterator(target);
    if (!it) {
        c.resume_error = fetch_exception();
        return false;
    }
    PyObject* res = nullptr;
    PySendResult r = PyIter_Send(it.get(), Py_None, &res);
    if (r == PYGEN_NEXT) {
        c.delegate = std::move(it);
        c.yielded = Ref::steal(res);
        c.yielded_value = false;
        return true;
    }
    if (r == PYGEN_RETURN) c.resume_value = Ref::steal(res);
    else c.resume_error = fetch_exception();
    return false;
}

Ref Awaiter::await_resume() {
    FrameCore& c = *core_;
    if (!c.resume_error) return std::move(c.resume_value);
    Ref error = std::move(c.resume_error);
    if (end_is_empty_ && PyErr_GivenExceptionMatches(error.get(), PyExc_StopAsyncIteration)) return Ref();
    throw PyErr(std::move(error));
}

Ref YieldPoint::await_resume() const {
    if (core->resume_error) throw PyErr(std::move(core->resume_error));
    Ref v = std::move(core->resume_value);
    return v ? std::move(v) : Ref::incref(Py_None);
}

}  // namespace rt
