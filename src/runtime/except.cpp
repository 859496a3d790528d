#include "except.hpp"

namespace rt {

Except::Except(const PyErr& err) noexcept : err_(err), item_(PyThreadState_Get()->exc_info), saved_(*item_) {
    PyObject* exc = err_.value();
    item_->exc_value = Py_NewRef(exc);
#if PY_VERSION_HEX < 0x030B0000
    item_->exc_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    item_->exc_traceback = PyException_GetTraceback(exc);
#endif
}

Except::~Except() {
    Py_XSETREF(item_->exc_value, saved_.exc_value);
#if PY_VERSION_HEX < 0x030B0000
    Py_XSETREF(item_->exc_type, saved_.exc_type);
    Py_XSETREF(item_->exc_traceback, saved_.exc_traceback);
#endif
}

}  // namespace rt
