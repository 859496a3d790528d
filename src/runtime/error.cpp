#include "error.hpp"

#include <cstdarg>
#include <new>

namespace rt {

namespace detail {
std::atomic<bool> exiting{false};
std::atomic<unsigned long> exiting_thread{0};
}  // namespace detail

bool may_touch_objects_at_exit() noexcept {
    return PyThread_get_thread_ident() == detail::exiting_thread.load(std::memory_order_relaxed) && PyGILState_Check();
}

PyObject* fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
}

void restore_exception(PyObject* exc) noexcept {
    Py_INCREF(Py_TYPE(exc));
    Py_INCREF(exc);
    PyErr_Restore(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
}

PyErr PyErr::fetch() {
    PyObject* exc = fetch_exception();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = fetch_exception();
    }
    return PyErr(Ref::steal(exc));
}

void PyErr::restore() const noexcept { restore_exception(exc_.get()); }

void throw_error() { throw PyErr::fetch(); }

void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw_error();
}

void raise_none(PyObject* type) {
    PyErr_SetNone(type);
    throw_error();
}

void raise_with(PyObject* type, PyObject* arg) {
    // An instance with exactly this one argument: PyErr_SetObject would unpack a tuple, drop None
    // and raise an exception instance as itself.
    PyObject* exc = PyObject_CallOneArg(type, arg);
    if (exc) {
        PyErr_SetObject(type, exc);
        Py_DECREF(exc);
    }
    throw_error();
}

void raise_format(PyObject* type, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(type, fmt, va);
    va_end(va);
    throw_error();
}

void set_error_from_current() {
    if (handling_foreign_exception()) throw;
    try {
        throw;
    } catch (const PyErr& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace rt
