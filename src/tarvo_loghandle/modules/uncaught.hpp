// Uncaught exceptions in the log's stream. From the first log() block on, for the rest of the
// process, an exception that reaches sys.excepthook or threading.excepthook (a KeyboardInterrupt a
// server re-raises after its shutdown included) is a CRITICAL entry with its traceback, written in
// the stream's format: by the running handler, or at once when none runs (at exit, after the
// block). A hook the application has set is left as it is; Python's own is called for what cannot
// be put in the log.
#pragma once
#include "package_base.hpp"

namespace tlh {

// `g`: tarvo_loghandle.stdlib's globals. Installs the hooks where they are still Python's own.
void catch_uncaught_exceptions(PyObject* g);

}  // namespace tlh
