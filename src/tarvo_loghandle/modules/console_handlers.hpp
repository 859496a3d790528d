// The console handlers of the process in the log's stream. While log()'s block runs, a
// logging.StreamHandler that writes to the process's stderr or stdout (sys.stderr, sys.stdout, their
// originals, or any stream on descriptor 1 or 2) does not write by itself: its records, past its own
// level and filters, become entries, once, in order. That holds for the handlers a framework
// installs while the block runs (uvicorn's dictConfig, gunicorn's worker set-up): what is taken
// over is StreamHandler.emit itself, given back when the block ends. A handler writing anywhere
// else, and a subclass with an emit of its own, write as before.
#pragma once
#include "package_base.hpp"

namespace tlh {

// `g`: tarvo_loghandle.stdlib's globals. Returns what give_back_console_handlers needs; None when
// StreamHandler.emit is not logging's own (an outer block has taken it over, or the application
// has replaced it).
Ref take_over_console_handlers(PyObject* g);
void give_back_console_handlers(PyObject* g, PyObject* taken);

}  // namespace tlh
