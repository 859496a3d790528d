#include "except.hpp"

#include <utility>

namespace rt {

// The item is CPython's: it owns the references its fields hold. Ours go in, and the ones saved
// come back when the scope ends, ours released.
void Except::mark(PyObject* exc) noexcept {
    item_ = PyThreadState_Get()->exc_info;
    saved_ = *item_;
    item_->exc_value = Ref::incref(exc).release();
#if PY_VERSION_HEX < 0x030B0000
    item_->exc_type = Ref::incref(reinterpret_cast<PyObject*>(Py_TYPE(exc))).release();
    item_->exc_traceback = PyException_GetTraceback(exc);
#endif
}

Except::~Except() noexcept(false) {
    if (!item_ || !may_touch_objects()) return;
    Ref ours = Ref::steal(std::exchange(item_->exc_value, saved_.exc_value));
#if PY_VERSION_HEX < 0x030B0000
    Ref our_type = Ref::steal(std::exchange(item_->exc_type, saved_.exc_type));
    Ref our_traceback = Ref::steal(std::exchange(item_->exc_traceback, saved_.exc_traceback));
#endif
}

}  // namespace rt
