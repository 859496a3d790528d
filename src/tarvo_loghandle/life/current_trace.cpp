#include "life/current_trace.hpp"

#include "text/trace_ids.hpp"

namespace tlh {
namespace {

// The API may log while it is asked (a warning through logging, whose record is put here again).
thread_local bool asking = false;

// An id as exactly `digits` lower-case hex digits; null for what is no such non-negative int.
Ref hex_digits(PyObject* v, PyObject* format, Py_ssize_t digits) {
    if (!PyLong_Check(v)) return Ref();
    Ref exact = rt::owned(PyNumber_Index(v));  // an int subclass's own __format__ is not asked
    Ref text = rt::owned(PyObject_Format(exact.get(), format));
    if (PyUnicode_GET_LENGTH(text.get()) != digits || PyUnicode_READ_CHAR(text.get(), 0) == '-') return Ref();
    return text;
}

Ref ask(PyObject* api) {
    Ref span = rt::call_method(api, name<"get_current_span">());
    if (!rt::truth(rt::call_method(span.get(), name<"is_recording">()).get())) return Ref();
    Ref context = rt::call_method(span.get(), name<"get_span_context">());
    if (!rt::truth(rt::getattr(context.get(), name<"is_valid">()).get())) return Ref();
    Ref trace_id = hex_digits(rt::getattr(context.get(), name<"trace_id">()).get(), name<"032x">(), 32);
    Ref span_id = hex_digits(rt::getattr(context.get(), name<"span_id">()).get(), name<"016x">(), 16);
    Ref flags = hex_digits(rt::getattr(context.get(), name<"trace_flags">()).get(), name<"02x">(), 2);
    if (!trace_id || !span_id || !flags) return Ref();
    return trace_ids(trace_id.get(), span_id.get(), flags.get());
}

}  // namespace

Ref current_trace() {
    // One look in sys.modules while OpenTelemetry is not imported.
    Ref api = rt::dict_item(PyImport_GetModuleDict(), name<"opentelemetry.trace">());
    if (!api || asking) return Ref();
    asking = true;
    try {
        Ref ids = ask(api.get());
        asking = false;
        return ids;
    } catch (PyErr& e) {
        asking = false;
        if (!e.matches(PyExc_Exception)) throw;
        return Ref();
    }
}

}  // namespace tlh
