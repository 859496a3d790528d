// A record of Python's logging on its way into the log. The thread that logs it reads what it
// carries (its message formatted, its values as they are then, the context it is logged in) into
// a record item, which goes on a running queue of the package as it is; whoever takes the item off
// (the pump, a write at once, a queue that is not the package's) makes its LogEntry there, on the
// loop's thread. So the thread that logs pays for the reading only, and no consumer of the queue's
// entries ever sees an item.
#pragma once
#include "package_base.hpp"

namespace tlh {

// LogEntry(msg=..., timestamp=..., level=..., ...) of `g`'s globals, the entry as logging's records
// and the uncaught exceptions make it.
struct EntryFields {
    PyObject *msg, *timestamp, *level, *prefix, *module, *stack_info, *exception, *thread, *kwargs;
};
Ref make_entry(PyObject* g, const EntryFields& f);

// What a record item holds: its entry's fields as read, the logger's name for its prefix, and the
// three parts of its StackInfo. `args` is None, or the arguments that `msg % args` is still to be
// made of, when that cannot fail and gives the same text later (message_can_wait); the line feeds
// that end the message are then dropped after. `kwargs` may be null in an item: no keyword values,
// the entry's empty dict made with it (what waits in the queue holds no dict of its own then).
struct RecordFields {
    PyObject *msg, *args, *timestamp, *level, *logger, *module, *pathname, *function, *lineno, *exception, *thread,
        *kwargs;
};

// Whether `msg % args` (an exact str, and arguments) may be made later with the same text, and
// cannot fail: a tuple of exact ints of at most 19 digits, floats, strs and None, each converted
// by a plain %s, %r, %a, %d, %i, %u, %f, %e, %g, %x or %o (flags, and a short width and precision,
// allowed) that takes it, one each.
bool message_can_wait(PyObject* msg, PyObject* args);

// The message without the line feeds and carriage returns that end it.
Ref without_line_ends(Ref message);
// The entry of such fields, made by `g`'s LogEntry and StackInfo (the logger's name split at its dots
// for the prefix), as an item's is made.
Ref entry_of_fields(PyObject* g, const RecordFields& f);
// A new item, whose entry entry_of_fields makes of `f` when it is taken off the queue.
Ref record_item(PyObject* g, const RecordFields& f);

// The entry that `item` stands for, made once (the same object every time it is asked for); any
// other object is its own entry.
Ref as_entry(PyObject* item);

extern rt::StaticType RecordItemType;
inline bool is_record_item(PyObject* o) noexcept { return Py_IS_TYPE(o, &RecordItemType); }

}  // namespace tlh
