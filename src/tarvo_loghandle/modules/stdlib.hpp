// Python's logging in the log's stream (the submodule tarvo_loghandle.stdlib), and the connection
// that log() makes for its block.
#pragma once
#include "package_base.hpp"

namespace tlh {

void exec_stdlib(PyObject* module);

// For log()'s block: the hooks for uncaught exceptions (CATCH_UNCAUGHT), the console handlers
// taken over (TAKE_CONSOLE_HANDLERS), and, when AUTO_CONNECT is true and the root logger has no
// handler (the application has not configured logging), a RecordHandler on the root logger with
// the levels a service expects: records from INFO on, DEBUG where TARVO_LOG_LEVELS asks for it.
// Returns what disconnect_stdlib_logging needs.
// `beside_other_handlers`: the RecordHandler is connected unless the root logger has one already,
// whatever other handlers it has (a test runner's).
Ref connect_stdlib_logging(PyObject* package, bool beside_other_handlers = false);
// Gives back what the block took: the handler, the levels (unless the application has set others
// meanwhile), StreamHandler's emit. The exception hooks stay, for what reaches them at exit.
void disconnect_stdlib_logging(PyObject* connection);

}  // namespace tlh
