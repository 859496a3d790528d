// SIGTERM, what service managers and container runtimes send to stop a service. Its default action
// ends the process at once, with the log's tail still queued. While log()'s block runs in the main
// thread and nothing else has claimed SIGTERM, a SIGTERM closes the handler (what was logged is
// written, within the close's bounds) and then ends the process as SIGTERM would have, so the
// service manager sees the same exit.
#pragma once
#include "common.hpp"

namespace tlh {

// Installs the signal handler for `handler`, if SIGTERM has its default action and this is the
// main thread; returns it, or None when nothing was installed.
Ref arm_sigterm(PyObject* g, PyObject* handler);
// Gives SIGTERM its default action back, unless the application has installed a handler since.
void disarm_sigterm(PyObject* armed);

}  // namespace tlh
