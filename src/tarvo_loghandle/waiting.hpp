// While no handler runs, TLogger.queue is a waiting queue: an asyncio.Queue of the package's own
// whose put_nowait (and with it put) decides what becomes of an entry. Before the first handler of
// the process starts, entries wait for it, up to a bound past which they are written at once (so
// that nothing piles up without end, under nolog for one); after a handler has run, each entry is
// written at once. Nothing logged while no handler runs is dropped without a sign.
#pragma once
#include "common.hpp"

namespace tlh {

// How many entries wait for the first handler; past it, those waiting are written at once.
constexpr Py_ssize_t waiting_bound = 10000;

// At import: a waiting queue takes TLogger.queue's place, with the entries queued there, unless a
// handler has run in the process already (its close left a waiting queue, or it still runs). What
// still waits when the interpreter exits is written then.
void start_waiting(PyObject* g);
// A handler's pump runs: from now on a waiting queue writes each entry at once.
void handler_ran() noexcept;
// The entries queued on `from`, if it is an asyncio.Queue, end markers left out, put on `into` in
// their order.
void take_over(PyObject* g, PyObject* from, PyObject* into);
// A new waiting queue becomes TLogger.queue in place of `queue` (a handler's, whose pump has ended or
// never started); with `take_entries`, what is left on `queue` goes to it.
void wait_again(PyObject* g, PyObject* queue, bool take_entries);

}  // namespace tlh
