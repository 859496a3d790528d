// TLogger.queue is one of the package's own queues: asyncio.Queue subclasses (the pump, and
// whoever else reads it, take entries as from any asyncio.Queue) whose put_nowait takes entries
// from any thread and decides, by the queue's state, where each goes:
//
//   waiting    no handler runs: entries wait for the first one (10000 at most: past that they are
//              written at once), or, once a handler has run in the process, are written at once
//   running    a handler's pump reads it: entries from the loop's thread are queued; those of other
//              threads are handed to the loop, in their order, a batch to a turn of the loop; past a
//              bound of entries not yet written, other threads wait a little, and the loop's own
//              entries are written at once
//   closing    its pump has stopped: entries are kept, and written at once once the writer is done
//   passed on  entries go to the queue that took its place
//
// A queue that is passed on holds on to nothing: what it held went to its successor first, in
// front, so an entry is never written twice nor dropped, and each thread's entries keep their order
// across a handler's start and close. Each entry's values are taken as they were when it was put
// (logged_values.hpp). put_threadsafe is put_nowait: its name tells a producer on another thread
// that it may call it there.
#pragma once
#include "package_base.hpp"

namespace tlh {

// How many entries wait for the first handler; past it, those waiting are written at once.
constexpr Py_ssize_t waiting_bound = 10000;
// Entries put while a handler runs and not written yet: past `running_bound` the loop's own are
// written at once (a flood from the loop's thread cannot be held back: the writer runs there);
// past `high_water` other threads wait, 1 s at most each time, until it is under `resume_at`.
constexpr long long running_bound = 50000;
constexpr long long high_water = 20000;
constexpr long long resume_at = 10000;

// At loghandle_imp's first run: the queue types. At its every run: a waiting queue takes
// TLogger.queue's place, with the entries queued there, unless a handler has run in the process
// already (its close left a waiting queue, or it still runs); what waits when the interpreter exits
// is written then.
void start_waiting(PyObject* g);
// What waits for a first handler, written at once (SIGTERM arrived before one started); then what
// the output still owes.
void write_waiting(PyObject* g);
// A handler's pump runs: from now on a waiting queue writes each entry at once.
void handler_ran() noexcept;

// `item == marker` as Python compares (no shortcut for the marker itself): the one test of the end
// marker (TLogger.queue_sentinel_eof) for the pump and the queues; raises what the comparison raises.
inline bool is_end_marker(PyObject* item, PyObject* marker) { return equal(item, marker); }

bool is_log_queue(PyObject* q);
Ref new_waiting_queue(PyObject* g);
// The queue of a handler whose loop is `loop` (running on this thread).
Ref new_running_queue(PyObject* g, PyObject* loop);

// TLogger.queue when it is a running queue of the package and no capture runs: it takes a record
// item (life/record_items.hpp) as it is, from any thread; null otherwise, and the record goes as
// a LogEntry.
Ref queue_for_record_items(PyObject* g);
// Puts a record item on such a queue as put_nowait puts an entry, whose values it has taken already.
void put_record_item(PyObject* queue, PyObject* item);

// What `from` holds goes to `into`, in front of what `into` holds, and `from` passes on what it is
// given from now on. `from` may be a plain asyncio.Queue: its items are taken.
void pass_on(PyObject* g, PyObject* from, PyObject* into);

// The handler's close has put the end marker: the queue is no longer written at once past its bound.
void close_begun(PyObject* q);
// The pump of a running queue has stopped: it keeps what it is given from now on.
void pump_ended(PyObject* g, PyObject* q);
// The writer of its run is done; `output_stalled`: its output took nothing and was given up on.
void writer_ended(PyObject* g, PyObject* q, bool output_stalled);
// The close is done with the queue: what it kept is written at once (or, when `write` is false,
// counted and told with the next write), and a waiting queue takes its place. Once the pump and the
// writer have both ended, whichever comes first (this, or the end of the later of them) does it.
void finish_closing(PyObject* g, PyObject* q, bool write);
// The entries a queue holds that its pump has not taken, the end marker left out.
long long entries_held(PyObject* q);
// The writer took `n` entries of its run's queue.
void taken(PyObject* q, long long n) noexcept;

}  // namespace tlh
