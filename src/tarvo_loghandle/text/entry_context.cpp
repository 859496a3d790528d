#include "text/entry_context.hpp"

namespace tlh {
namespace {

struct EntryContext {
    PyObject_HEAD
    PyObject* fields;
    PyObject* trace;
};

EntryContext* as_context(PyObject* o) { return reinterpret_cast<EntryContext*>(o); }

// Not collected: no cycle can go through it. Its fields are the bound dict where every value is of
// a type that holds nothing else (str, int, ...), or else copies made for it of values as they
// were, whose containers hold only such copies and texts; its trace holds texts.
void context_dealloc(PyObject* o) {
    Py_XDECREF(as_context(o)->fields);
    Py_XDECREF(as_context(o)->trace);
    PyObject_Free(o);
}

PyObject* context_repr(PyObject* o) {
    PyObject* fields = as_context(o)->fields;
    PyObject* trace = as_context(o)->trace;
    return PyUnicode_FromFormat("EntryContext(fields=%R, trace=%R)", fields ? fields : Py_None,
                                trace ? trace : Py_None);
}

rt::StaticType EntryContextType("tarvo_loghandle.EntryContext", sizeof(EntryContext), [](rt::StaticType& t) {
    t.tp_dealloc = context_dealloc;
    t.tp_repr = context_repr;
    t.tp_doc = "The fields bound and the trace where an entry was logged, which its keyword values carry.";
});

}  // namespace

Ref entry_context(PyObject* fields, PyObject* trace) {
    auto* self = PyObject_New(EntryContext, &EntryContextType);
    if (!self) rt::throw_error();
    self->fields = Py_XNewRef(fields);
    self->trace = Py_XNewRef(trace);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

bool is_entry_context(PyObject* o) noexcept { return Py_IS_TYPE(o, &EntryContextType); }
PyObject* context_fields_of(PyObject* context) noexcept { return as_context(context)->fields; }
PyObject* context_trace_of(PyObject* context) noexcept { return as_context(context)->trace; }

}  // namespace tlh
