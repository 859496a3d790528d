// SIGTERM, what service managers and container runtimes send to stop a service. Its default action
// ends the process at once, with the log's tail still queued. While log()'s block runs in the main
// thread and nothing else has claimed SIGTERM, a SIGTERM closes the handler (what was logged is
// written, within the close's bounds) and then ends the process as SIGTERM would have, so the
// service manager sees the same exit. Before any handler runs, entries logged wait for one; while
// they wait (a second at most: waiting_writer.hpp), a SIGTERM writes them at once and then ends
// the process the same way.
#pragma once
#include "package_base.hpp"

namespace tlh {

// Installs the signal handler for `handler`, if SIGTERM has its default action and this is the
// main thread; returns it, or None when nothing was installed.
Ref arm_sigterm(PyObject* g, PyObject* handler);
// Gives SIGTERM its default action back, unless the application has installed a handler since.
void disarm_sigterm(PyObject* armed);

// An entry waits for a first handler: on the main thread, if SIGTERM has its default action, a
// handler is installed (at the C level; the thread that writes what waits does the work) that
// writes what waits and ends as SIGTERM does; log()'s own, or the application's, takes its place.
// Tried once per process; never raises.
void arm_sigterm_for_waiting(PyObject* g) noexcept;

// Ends the process as SIGTERM's default action does: the exit a service manager expects to see.
[[noreturn]] void end_as_sigterm() noexcept;

}  // namespace tlh
