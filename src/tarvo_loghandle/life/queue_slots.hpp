// Where the package's queue classes keep their instances' attributes: in slots. Those that
// asyncio.Queue's own code sets on an instance (read off a fresh asyncio.Queue, so whatever this
// CPython's asyncio sets), the mixin's _loop, and the queue's core. asyncio's Python code reads a
// slot as fast as an inline value, and this code reads it where it lies instead of looking it up
// by name in the instance's values, which costs a hashed lookup per attribute (3.11 on); the
// instance dict stays, empty unless someone sets an attribute of another name.
#pragma once
#include "package_base.hpp"

namespace tlh {

// The slots this code reads or writes.
enum class QueueSlot { maxsize, queue, unfinished_tasks, finished, getters, is_shutdown, core, count };

// The names for a queue class's __slots__ (made once; the same tuple for both classes, so that
// their slots lie at the same offsets).
Ref queue_slot_names(PyObject* queue_class);
// Remembers where a class made with those names keeps each slot; false, and nothing remembered,
// where another class has them elsewhere.
bool find_queue_slots(PyObject* made_class);
// Sets the slots that asyncio.Queue's class gives a value of its own (the mixin's _loop = None),
// as reading the attribute before asyncio sets it would give.
void preset_queue_slots(PyObject* queue);

// Whether slot `which` is what `type` has under its name: the member descriptor of a slot at the
// remembered place (not a property or a value that a subclass or a patch put there).
bool slot_in_place(PyTypeObject* type, QueueSlot which);
// Whether the slot exists in this CPython's asyncio (_is_shutdown: 3.13 on).
bool slot_exists(QueueSlot which) noexcept;
// The slot's value in an instance of a class for which slot_in_place holds; null when unset.
Ref slot_value(PyObject* instance, QueueSlot which);
void set_slot(PyObject* instance, QueueSlot which, PyObject* value);

}  // namespace tlh
