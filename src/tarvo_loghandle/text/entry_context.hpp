// What an entry carries of the context it was logged in: the fields bound there (a dict that
// nobody changes, its values as they were) and the trace (a TraceIds). The producer puts it among
// the entry's keyword values, under entry_context_key() and as an EntryContext object (nothing
// else is taken for it), which costs the code that logs one item; the writer joins the fields to
// the entry's own (text/entry_view.hpp) and shows the trace in a place of its own.
#pragma once
#include "package_base.hpp"

namespace tlh {

inline PyObject* entry_context_key() { return name<"entry context">(); }

// An EntryContext of the bound fields and the trace, either of which may be null.
Ref entry_context(PyObject* fields, PyObject* trace);
bool is_entry_context(PyObject* o) noexcept;

// Its parts, borrowed: null where it has none.
PyObject* context_fields_of(PyObject* context) noexcept;
PyObject* context_trace_of(PyObject* context) noexcept;

}  // namespace tlh
