// Python's logging in the log's stream (the submodule tarvo_loghandle.stdlib), and the connection
// that log() makes for its block.
#pragma once
#include "package_base.hpp"

namespace tlh {

void exec_stdlib(PyObject* module);

// When tarvo_loghandle.stdlib.AUTO_CONNECT is true and the root logger has no handler (the
// application has not configured logging): a RecordHandler on the root logger, whose level becomes
// DEBUG (the log's minimum levels decide). Returns what disconnect_stdlib_logging needs, or None.
Ref connect_stdlib_logging(PyObject* package);
// Takes the handler away again, and gives the root logger its level back unless the application
// has set another one meanwhile.
void disconnect_stdlib_logging(PyObject* connection);

}  // namespace tlh
