#include "entry_view.hpp"

namespace tlh {

EntryView::EntryView(PyObject* g, PyObject* le) : g_(g), le_(le) {
    if (!rt::check_int(PyObject_IsInstance(le, global<"LogEntry">(g).get()))) rt::raise_with(PyExc_AssertionError, le);
}

const Ref& EntryView::filename() {
    if (!filename_) filename_ = rt::getattr(read(stack_info_, name<"stack_info">()).get(), name<"filename">());
    return filename_;
}

const Ref& EntryView::function() {
    if (!function_) function_ = rt::getattr(read(stack_info_, name<"stack_info">()).get(), name<"func_name">());
    return function_;
}

bool EntryView::below_min_level() {
    PyObject* const level_kw = rt::keywords<"prefix", "module">();
    Ref min_level = rt::call_kw(global<"get_min_level">(g_).get(), {prefix().get(), module().get()}, level_kw);
    Ref number = rt::call_method(global<"TLogger">(g_).get(), name<"level_from_level_name">(), {level().get()});
    return rt::truth(rt::owned(PyObject_RichCompare(number.get(), min_level.get(), Py_LT)).get());
}

Ref EntryView::message_text() {
    PyObject* msg = message().get();
    if (msg == Py_None) return Ref::incref(name<"">());
    if (PyUnicode_Check(msg)) return Ref::incref(msg);
    return not_str_text(msg);
}

}  // namespace tlh
