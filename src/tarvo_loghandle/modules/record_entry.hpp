// A record of Python's logging as an entry of the log: what RecordHandler and the console handlers
// taken over while a handler runs put on TLogger's queue.
#pragma once
#include "life/record_items.hpp"
#include "package_base.hpp"

namespace tlh {

// Reads, at import, what a record of this Python holds of its own (LogRecord's attributes, and
// those formatters add), so that what `extra=` gave is told from them. `g`: tarvo_loghandle.stdlib's
// globals.
void find_record_attributes(PyObject* g);

// TLogger.put(entry), for an entry whose level has been looked at.
void put_entry(PyObject* g, PyObject* entry);

// Puts the record on TLogger's queue once: a record that another handler of the same logging call
// has put already (a console handler, then RecordHandler on the root) is not put again. While a
// handler runs, what the record holds is read into a record item there (life/record_items.hpp),
// shown by the log's minimum levels as TLogger's entries are, by the writer; otherwise it goes as
// a LogEntry through TLogger.put, when those levels show it.
void put_record(PyObject* g, PyObject* record);

// put_record as a handler's emit does it: what fails (a message whose arguments do not fit) is
// handled as logging handles it, by the handler's handleError, with the exception being handled.
void emit_record(PyObject* g, PyObject* handler, PyObject* record);

}  // namespace tlh
