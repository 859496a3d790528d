// asyncio.Queue.put_nowait(queue, item) as the package's queues hand entries to their asyncio part
// on the loop's thread, once per entry. Where everything it would run is asyncio's own (the
// queue's full, _put and _wakeup_next, an asyncio.Event for _finished, a deque for _queue, its
// attributes in the package's slots (life/queue_slots.hpp), no maximum size, not shut down), its
// steps are taken here in C++: the same reads and writes of the same attributes, with the same
// results. Anything else, a patched method (on the class or set on the queue itself), a subclass's
// attribute, a bounded or shut-down queue, a getter that waits, goes to Python's own put_nowait (or
// _wakeup_next), as before.
#pragma once
#include "package_base.hpp"

namespace tlh {

// Finds asyncio's parts, at import.
void find_asyncio_put(PyObject* queue_class);
// queue_class.put_nowait(queue, item), as found at import.
void asyncio_put(PyObject* queue, PyObject* item);

}  // namespace tlh
