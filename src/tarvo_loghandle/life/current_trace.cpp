#include "life/current_trace.hpp"

#include "text/trace_ids.hpp"

#include <string_view>

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

Ref ids_of(PyObject* context) {
    if (!rt::truth(rt::getattr(context, name<"is_valid">()).get())) return Ref();
    Ref trace_id = hex_digits(rt::getattr(context, name<"trace_id">()).get(), name<"032x">(), 32);
    Ref span_id = hex_digits(rt::getattr(context, name<"span_id">()).get(), name<"016x">(), 16);
    Ref flags = hex_digits(rt::getattr(context, name<"trace_flags">()).get(), name<"02x">(), 2);
    if (!trace_id || !span_id || !flags) return Ref();
    return trace_ids(trace_id.get(), span_id.get(), flags.get());
}

#ifndef Py_GIL_DISABLED
// The ids of the span context met last: the entries of a request mostly follow each other in one
// span. OpenTelemetry's SpanContext is a tuple whose attributes read its items, so the same object
// gives the same ids while its type is unchanged (its version tag).
struct LastContext {
    Ref context;
    Ref ids;
    unsigned int type_version = 0;
};

LastContext& last_context() {
    static auto* last = new LastContext();  // left to the end of the process: no Python at exit
    return *last;
}

bool opentelemetrys_span_context(PyTypeObject* type) {
    if (!PyType_IsSubtype(type, &PyTuple_Type) || std::string_view(type->tp_name) != "SpanContext") return false;
    Ref module = rt::optional_attr(reinterpret_cast<PyObject*>(type), name<"__module__">());
    return module && PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "opentelemetry.trace.span") == 0;
}
#endif

Ref ask(PyObject* api) {
    Ref span = rt::call_method(api, name<"get_current_span">());
    if (!rt::truth(rt::call_method(span.get(), name<"is_recording">()).get())) return Ref();
    Ref context = rt::call_method(span.get(), name<"get_span_context">());
#ifndef Py_GIL_DISABLED
    LastContext& last = last_context();
    PyTypeObject* type = Py_TYPE(context.get());
    if (context.get() == last.context.get() && last.type_version && rt::version_tag(type) == last.type_version)
        return last.ids;
    Ref ids = ids_of(context.get());
    if (ids && opentelemetrys_span_context(type) && rt::version_tag(type)) last = {context, ids, rt::version_tag(type)};
    return ids;
#else
    return ids_of(context.get());
#endif
}

// sys.modules["opentelemetry.trace"], searched again only after sys.modules has changed (an import).
Ref imported_api() {
    PyObject* modules = PyImport_GetModuleDict();
#ifdef Py_GIL_DISABLED
    return rt::dict_item(modules, name<"opentelemetry.trace">());  // another thread may import meanwhile
#else
    static rt::Remembered memory;
    if (memory.knows(modules)) return Ref::incref(memory.value);
    Ref api = rt::dict_item(modules, name<"opentelemetry.trace">());
    memory.keep(modules, api.get());
    return api;
#endif
}

}  // namespace

Ref current_trace() {
    Ref api = imported_api();
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
