// Entries seen as they are put, for a test of the service to look at (tarvo_loghandle.pytest_plugin):
// while a capture runs, every entry put on the package's queue, from any thread, is also added to
// its list as a CapturedEntry, whether or not a handler runs and whatever its level.
#pragma once
#include "package_base.hpp"

namespace tlh {

// Adds `entry` (before its bound fields join its keyword values) to every capture that runs.
void capture_if_asked(PyObject* g, PyObject* entry);

// From now on until stop_capture, entries go to `list` too.
void start_capture(PyObject* list);
void stop_capture(PyObject* list);

// collections.namedtuple CapturedEntry(level, logger, message, fields, context, exception,
// module, time): fields the entry's own keyword values, context the fields bound when it was put.
Ref captured_entry_type();

}  // namespace tlh
