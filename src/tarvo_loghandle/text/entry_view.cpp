#include "text/entry_view.hpp"

#include "text/entry_context.hpp"

namespace tlh {

EntryView::EntryView(PyObject* g, PyObject* le) : g_(g), le_(le) {
    if (!rt::check_int(PyObject_IsInstance(le, global<"LogEntry">(g).get()))) rt::raise_with(PyExc_AssertionError, le);
}

// The fields bound where the entry was logged join its own after them (its own value wins where a
// name is given both ways).
const Ref& EntryView::kwargs() {
    if (kwargs_) return kwargs_;
    kwargs_ = rt::getattr(le_, name<"kwargs">());
    if (!PyDict_CheckExact(kwargs_.get()) || PyDict_GET_SIZE(kwargs_.get()) == 0) return kwargs_;
    Ref context = rt::dict_item(kwargs_.get(), entry_context_key());
    if (!context || !is_entry_context(context.get())) return kwargs_;
    Ref own = rt::owned(PyDict_Copy(kwargs_.get()));
    rt::check_int(PyDict_DelItem(own.get(), entry_context_key()));
    if (PyObject* fields = context_fields_of(context.get())) {
        // Nobody changes the bound dict: its items are borrowed while the context holds it.
        Py_ssize_t at = 0;
        PyObject *key, *value;
        while (PyDict_Next(fields, &at, &key, &value))
            if (!PyDict_SetDefault(own.get(), key, value)) rt::throw_error();
    }
    kwargs_ = std::move(own);
    trace_ = Ref::incref(context_trace_of(context.get()));
    return kwargs_;
}

const Ref& EntryView::filename() {
    if (!filename_) filename_ = rt::getattr(read(stack_info_, name<"stack_info">()).get(), name<"filename">());
    return filename_;
}

const Ref& EntryView::function() {
    if (!function_) function_ = rt::getattr(read(stack_info_, name<"stack_info">()).get(), name<"func_name">());
    return function_;
}

const Ref& EntryView::read_optional(Ref& slot, PyObject* o, PyObject* attribute) {
    if (!slot) {
        slot = rt::optional_attr(o, attribute);
        if (!slot) slot = rt::none();
    }
    return slot;
}

const Ref& EntryView::line() {
    return read_optional(line_, read(stack_info_, name<"stack_info">()).get(), name<"lineno">());
}

const Ref& EntryView::exception() { return read_optional(exception_, le_, name<"exception">()); }

Ref EntryView::traceback_text() {
    PyObject* exc = exception().get();
    if (exc == Py_None) return Ref();
    if (!PyExceptionInstance_Check(exc)) return rt::owned(PyObject_Repr(exc));  // made by hand: shown as it is
    Ref traceback = Ref::steal(PyException_GetTraceback(exc));
    if (!traceback) traceback = rt::none();
    Ref lines = rt::call_method(global<"traceback">(g_).get(), name<"format_exception">(),
                                {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, traceback.get()});
    Ref text = rt::owned(PyUnicode_Join(name<"">(), lines.get()));
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    while (n > 0 && PyUnicode_READ_CHAR(text.get(), n - 1) == '\n') --n;
    return rt::owned(PyUnicode_Substring(text.get(), 0, n));
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
