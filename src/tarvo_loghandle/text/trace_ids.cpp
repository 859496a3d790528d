#include "text/trace_ids.hpp"

namespace tlh {
namespace {

struct TraceIds {
    PyObject_HEAD
    PyObject* trace_id;
    PyObject* span_id;
    PyObject* flags;
};

TraceIds* as_ids(PyObject* o) { return reinterpret_cast<TraceIds*>(o); }

// It holds only str objects: no cycle can go through it.
void ids_dealloc(PyObject* o) {
    Py_XDECREF(as_ids(o)->trace_id);
    Py_XDECREF(as_ids(o)->span_id);
    Py_XDECREF(as_ids(o)->flags);
    PyObject_Free(o);
}

PyObject* ids_repr(PyObject* o) {
    return PyUnicode_FromFormat("TraceIds(trace_id='%U', span_id='%U', trace_flags='%U')", as_ids(o)->trace_id,
                                as_ids(o)->span_id, as_ids(o)->flags);
}

PyObject* get_trace_id(PyObject* o, void*) { return Py_NewRef(as_ids(o)->trace_id); }
PyObject* get_span_id(PyObject* o, void*) { return Py_NewRef(as_ids(o)->span_id); }
PyObject* get_flags(PyObject* o, void*) { return Py_NewRef(as_ids(o)->flags); }

PyGetSetDef ids_getset[] = {
    {"trace_id", get_trace_id, nullptr, "The trace id: 32 lower-case hex digits.", nullptr},
    {"span_id", get_span_id, nullptr, "The span id: 16 lower-case hex digits.", nullptr},
    {"trace_flags", get_flags, nullptr, "The W3C trace flags: 2 hex digits (01: sampled).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

rt::StaticType TraceIdsType("tarvo_loghandle.context.TraceIds", sizeof(TraceIds), [](rt::StaticType& t) {
    t.tp_dealloc = ids_dealloc;
    t.tp_repr = ids_repr;
    t.tp_getset = ids_getset;
    t.tp_doc = "The OpenTelemetry trace an entry was logged in.";
});

}  // namespace

Ref trace_ids(PyObject* trace_id, PyObject* span_id, PyObject* flags) {
    auto* self = PyObject_New(TraceIds, &TraceIdsType);
    if (!self) rt::throw_error();
    self->trace_id = Py_NewRef(trace_id);
    self->span_id = Py_NewRef(span_id);
    self->flags = Py_NewRef(flags);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

bool is_trace_ids(PyObject* o) noexcept { return Py_IS_TYPE(o, &TraceIdsType); }
PyObject* trace_ids_type() noexcept { return reinterpret_cast<PyObject*>(&TraceIdsType); }
PyObject* trace_id_of(PyObject* ids) noexcept { return as_ids(ids)->trace_id; }
PyObject* span_id_of(PyObject* ids) noexcept { return as_ids(ids)->span_id; }
PyObject* trace_flags_of(PyObject* ids) noexcept { return as_ids(ids)->flags; }

}  // namespace tlh
