#include "except.hpp"

namespace rt {

void Except::mark(PyObject* exc) noexcept {
    item_ = PyThreadState_Get()->exc_info;
    saved_ = *item_;
    item_->exc_value = Py_NewRef(exc);
#if PY_VERSION_HEX < 0x030B0000
    item_->exc_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    item_->exc_traceback = PyException_GetTraceback(exc);
#endif
}

Except::~Except() noexcept(false) {
    if (!item_ || !may_touch_objects()) return;
    Py_XSETREF(item_->exc_value, saved_.exc_value);
#if PY_VERSION_HEX < 0x030B0000
    Py_XSETREF(item_->exc_type, saved_.exc_type);
    Py_XSETREF(item_->exc_traceback, saved_.exc_traceback);
#endif
}

}  // namespace rt
