#include "except.hpp"

namespace rt {

PyObject* get_handled() noexcept {
    PyObject *t, *v, *tb;
    PyErr_GetExcInfo(&t, &v, &tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    if (v == Py_None) Py_CLEAR(v);
    return v;
}

void set_handled(PyObject* exc) noexcept {
    if (!exc) {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
        return;
    }
    Py_INCREF(Py_TYPE(exc));
    Py_INCREF(exc);
    PyErr_SetExcInfo(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
}

Except::Except(const PyErr& err) noexcept
    : err_(err), frame_(current_frame()), previous_(nullptr), saved_(get_handled()) {
    if (frame_) {
        previous_ = frame_->handled;
        frame_->handled = Py_NewRef(err_.value());
        step_ = frame_->steps;
    }
    set_handled(err_.value());
}

Except::~Except() {
    PyObject* saved = saved_;
    if (frame_) {
        Py_XDECREF(frame_->handled);
        frame_->handled = previous_;
        if (!frame_->running) {  // the frame is being destroyed from outside: leave the caller's state alone
            Py_XDECREF(saved);
            return;
        }
        if (step_ != frame_->steps) {
            // Resumed since the scope began: what was handled then belongs to an earlier caller.
            Py_XDECREF(saved);
            saved = Py_XNewRef(previous_ ? previous_ : frame_->outer_handled);
        }
    }
    set_handled(saved);
    Py_XDECREF(saved);
}

}  // namespace rt
