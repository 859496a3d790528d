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

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());  // normalised, traceback attached
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type = Ref::steal(type), exc = Ref::steal(value), traceback = Ref::steal(tb);
    if (traceback && exc) PyException_SetTraceback(exc.get(), traceback.get());
    return exc;
#endif
}

void restore_exception(Borrowed exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.ref().release());
#else
    Ref type = Ref::incref(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
    PyErr_Restore(type.release(), exc.ref().release(), PyException_GetTraceback(exc.get()));
#endif
}

PyErr PyErr::fetch() {
    Ref exc = fetch_exception();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = fetch_exception();
    }
    return PyErr(std::move(exc));
}

void PyErr::restore() const noexcept { restore_exception(exc_); }

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
    Ref exc = Ref::steal(PyObject_CallOneArg(type, arg));
    if (exc) PyErr_SetObject(type, exc.get());
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
