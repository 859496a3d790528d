// The trace an entry was logged in: its trace id (32 hex digits), span id (16) and trace flags (2),
// as the entry's producer found them in OpenTelemetry's current span. They travel with the entry
// in its EntryContext (text/entry_context.hpp), and each format shows them in a place of their
// own, not as a keyword value.
#pragma once
#include "package_base.hpp"

namespace tlh {

// A TraceIds of the three texts given (lower-case hex digits, checked by the caller).
Ref trace_ids(PyObject* trace_id, PyObject* span_id, PyObject* flags);
bool is_trace_ids(PyObject* o) noexcept;
// The type, tarvo_loghandle.context.TraceIds.
PyObject* trace_ids_type() noexcept;

// Its parts, borrowed from a TraceIds.
PyObject* trace_id_of(PyObject* ids) noexcept;
PyObject* span_id_of(PyObject* ids) noexcept;
PyObject* trace_flags_of(PyObject* ids) noexcept;

}  // namespace tlh
