// Entries logged while no handler has started in the process wait for one only briefly: a thread
// of the package's own writes them at once (in the at-once layout) about a second after the first
// of them was logged, so that a pre-fork server's master, a synchronous tool or a program of
// threads only shows its log while it runs; a handler that starts within that second takes them
// first, in their order. The same thread writes what waits when SIGTERM comes before any handler
// (sigterm.hpp), and then ends the process as SIGTERM does.
//
// The thread is started by the first entry that waits, once per process: a child after fork
// starts its own (the parent's thread is not there). It makes no Python call but its writes, and
// lets the interpreter go while it waits.
#pragma once
#include "package_base.hpp"

namespace tlh {

// How long an entry waits for a first handler before it is written at once.
constexpr double waiting_patience_s = 1.0;

// An entry now waits for a first handler: what waits is written within waiting_patience_s unless a
// handler takes it first. Never raises (a thread that cannot start leaves the entries to the exit).
void entry_waits(PyObject* g) noexcept;

// From SIGTERM's handler of the C level (async-signal-safe): the thread is woken to write what
// waits and end the process. False when this process has no such thread: the caller ends it.
bool wake_for_sigterm() noexcept;

}  // namespace tlh
