#include "life/asyncio_put.hpp"

#include "life/queue_slots.hpp"
#include "process_state.hpp"
#include "text/library_calls.hpp"

#include <atomic>
#include <climits>

namespace tlh {
namespace {

// A plain attribute of instances of `type`: nothing of that name in the type (no descriptor, no
// default), so that reading and writing it are the instance dict's own.
bool plain_attribute(PyTypeObject* type, PyObject* attribute) { return _PyType_Lookup(type, attribute) == nullptr; }

bool generic_attributes(PyTypeObject* type) {
    return type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr;
}

// The instance's own attributes in its dict, asked for once (made if it was not there yet).
class DictAttributes {
public:
    explicit DictAttributes(PyObject* instance) : dict_(Ref::steal(PyObject_GenericGetDict(instance, nullptr))) {
        if (!dict_ || !PyDict_CheckExact(dict_.get())) {
            PyErr_Clear();
            dict_.reset();
        }
    }
    bool usable() const noexcept { return bool(dict_); }
    Ref get(PyObject* attribute) const { return rt::dict_item(dict_.get(), attribute); }
    void set(PyObject* attribute, PyObject* v) const { rt::check_int(PyDict_SetItem(dict_.get(), attribute, v)); }
    bool shadows(PyObject* method) const { return bool(rt::dict_item(dict_.get(), method)); }
    bool empty() const noexcept { return PyDict_GET_SIZE(dict_.get()) == 0; }
    PyObject* dict() const noexcept { return dict_.get(); }

private:
    Ref dict_;
};

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// The instance's own attributes asked for one by one: on 3.12 the instance's dict, once asked for,
// would replace its inline values for good, and the interpreter would then read its attributes,
// and look its methods up, more slowly.
class NamedAttributes {
public:
    explicit NamedAttributes(PyObject* instance) : instance_(instance) {}
    bool usable() const noexcept { return true; }
    Ref get(PyObject* attribute) const { return rt::optional_attr(instance_, attribute); }
    void set(PyObject* attribute, PyObject* v) const {
        rt::check_int(PyObject_GenericSetAttr(instance_, attribute, v));
    }
    // Whether `instance.method` finds something set on the instance rather than the type's method.
    bool shadows(PyObject* method) const {
        PyObject* found = nullptr;
        int unbound = _PyObject_GetMethod(instance_, method, &found);
        Ref kept = Ref::steal(found);
        if (!found) rt::throw_error();
        return !unbound;
    }

private:
    PyObject* instance_;
};
#endif

// The event's own attributes, read and written as `instance.attribute` does: its types' checks
// make sure nothing of their names is in the type, and attribute access is the generic one. On
// 3.11 in its dict: asyncio's code reads the event only when a queue's tasks are all done, so a
// dict made once costs it nothing that counts.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
using OwnAttributes = NamedAttributes;
#else
using OwnAttributes = DictAttributes;
#endif

// The queue's own attributes that a method of its class could be shadowed by: in its dict, empty
// as a rule (what asyncio's code sets lies in slots), so that an empty dict answers for every
// method at once. Not on 3.12, whose interpreter stops specializing a method's lookup on an
// instance once its dict exists (3.11's has a form for that, and 3.13's keeps the inline values).
class OwnMethods {
public:
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    explicit OwnMethods(PyObject* instance) : own_(instance) {}
    bool usable() const noexcept { return true; }
    bool shadows(PyObject* method) const { return own_.shadows(method); }

private:
    NamedAttributes own_;
#else
    explicit OwnMethods(PyObject* instance) : own_(instance), empty_(own_.usable() && own_.empty()) {}
    bool usable() const noexcept { return own_.usable(); }
    bool shadows(PyObject* method) const { return !empty_ && own_.shadows(method); }

private:
    DictAttributes own_;
    bool empty_;
#endif
};

// The queue's slots that put_nowait reads and writes, each the slot of a package queue class.
constexpr QueueSlot put_slots[] = {QueueSlot::maxsize,  QueueSlot::queue,   QueueSlot::unfinished_tasks,
                                   QueueSlot::finished, QueueSlot::getters, QueueSlot::is_shutdown};

bool types_are_asyncios(PyTypeObject* type, PyTypeObject* event) {
    auto& parts = process().asyncio_put;
    unsigned int version = rt::version_tag(type), event_version = rt::version_tag(event);
    if (version && event_version && parts.checked_queue.load(std::memory_order_acquire) == type &&
        parts.checked_queue_version.load(std::memory_order_relaxed) == version &&
        parts.checked_event_version.load(std::memory_order_relaxed) == event_version)
        return true;
    if (!generic_attributes(type) || _PyType_Lookup(type, name<"full">()) != parts.full.get() ||
        _PyType_Lookup(type, name<"_put">()) != parts.put.get() ||
        _PyType_Lookup(type, name<"_wakeup_next">()) != parts.wakeup_next.get())
        return false;
    for (QueueSlot slot : put_slots)
        if (slot_exists(slot) && !slot_in_place(type, slot)) return false;
    if (!generic_attributes(event) || _PyType_Lookup(event, name<"clear">()) != parts.event_clear.get() ||
        !plain_attribute(event, name<"_value">()))
        return false;
    // Remembered with the tags the lookups left (the tags are read again: a lookup may assign them).
    parts.checked_queue.store(nullptr, std::memory_order_relaxed);
    parts.checked_queue_version.store(rt::version_tag(type), std::memory_order_relaxed);
    parts.checked_event_version.store(rt::version_tag(event), std::memory_order_relaxed);
    parts.checked_queue.store(type, std::memory_order_release);
    return true;
}

// put_nowait's own steps, when every part of them is asyncio's and changes nothing but what it
// says; false, with nothing done, otherwise.
bool put_here(PyObject* queue, PyObject* item) {
    auto& parts = process().asyncio_put;
    if (!parts.deque_append) return false;
    auto* event = reinterpret_cast<PyTypeObject*>(parts.event_type.get());
    if (!types_are_asyncios(Py_TYPE(queue), event)) return false;
    OwnMethods own(queue);
    if (!own.usable()) return false;
    // if self._is_shutdown: raise QueueShutDown  (3.13 on)
    if (slot_exists(QueueSlot::is_shutdown) && slot_value(queue, QueueSlot::is_shutdown).get() != Py_False)
        return false;
    // if self.full(): raise QueueFull  (full(): False while self._maxsize <= 0)
    Ref maxsize = slot_value(queue, QueueSlot::maxsize);
    if (!maxsize || !PyLong_CheckExact(maxsize.get())) return false;
    int overflow = 0;
    long long bound = PyLong_AsLongLongAndOverflow(maxsize.get(), &overflow);
    if (overflow || bound > 0) return false;
    Ref items = slot_value(queue, QueueSlot::queue);
    Ref unfinished = slot_value(queue, QueueSlot::unfinished_tasks);
    Ref finished = slot_value(queue, QueueSlot::finished);
    Ref getters = slot_value(queue, QueueSlot::getters);
    if (!items || !unfinished || !finished || !getters || !PyLong_CheckExact(unfinished.get())) return false;
    long long count = PyLong_AsLongLongAndOverflow(unfinished.get(), &overflow);
    if (overflow || count >= LLONG_MAX) return false;
    auto* deque = reinterpret_cast<PyTypeObject*>(parts.deque_type.get());
    if (!Py_IS_TYPE(items.get(), deque) || !Py_IS_TYPE(getters.get(), deque)) return false;
    if (!Py_IS_TYPE(finished.get(), event)) return false;
    OwnAttributes event_own(finished.get());
    if (!event_own.usable()) return false;
    // A method set on the instance itself is what self.method finds.
    for (PyObject* method : {name<"full">(), name<"_put">(), name<"_wakeup_next">()})
        if (own.shadows(method)) return false;
#if PY_VERSION_HEX < 0x030C0000
    // Before 3.12 a dict's version is new for every change of any dict: the event's dict that has
    // not changed since it was seen clear, without a clear of its own, is so still.
    bool known_clear = parts.clear_event.knows(event_own.dict());
#else
    constexpr bool known_clear = false;
#endif
    if (!known_clear && event_own.shadows(name<"clear">())) return false;
    // A getter waits: _wakeup_next wakes it, as asyncio does (the rare case: the pump waits once a batch).
    Py_ssize_t waiting = PyObject_Size(getters.get());
    if (waiting < 0) rt::throw_error();

    // self._put(item)
    rt::call(parts.deque_append.get(), {items.get(), item});
    // self._unfinished_tasks += 1  (an int's + 1)
    Ref more = rt::owned(PyLong_FromLongLong(count + 1));
    set_slot(queue, QueueSlot::unfinished_tasks, more.get());
    // self._finished.clear(): nothing to write when it is clear already (False is False)
    if (!known_clear) {
        if (event_own.get(name<"_value">()).get() != Py_False) event_own.set(name<"_value">(), Py_False);
#if PY_VERSION_HEX < 0x030C0000
        parts.clear_event.keep(event_own.dict(), nullptr);
#endif
    }
    // self._wakeup_next(self._getters)
    if (waiting) rt::call(parts.wakeup_next.get(), {queue, getters.get()});
    return true;
}

}  // namespace

void find_asyncio_put(PyObject* queue_class) {
    auto& parts = process().asyncio_put;
    auto* queue_type = reinterpret_cast<PyTypeObject*>(queue_class);
    PyObject* put_nowait = _PyType_Lookup(queue_type, name<"put_nowait">());
    PyObject* full = _PyType_Lookup(queue_type, name<"full">());
    PyObject* put = _PyType_Lookup(queue_type, name<"_put">());
    PyObject* wakeup_next = _PyType_Lookup(queue_type, name<"_wakeup_next">());
    Ref event_type = rt::getattr(rt::import("asyncio").get(), name<"Event">());
    if (!PyType_Check(event_type.get())) return;
    PyObject* clear = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(event_type.get()), name<"clear">());
    bool genuine = put_nowait && full && put && wakeup_next && clear &&
                   library::is_python_function(put_nowait, "asyncio.queues", "put_nowait") &&
                   library::is_python_function(full, "asyncio.queues", "full") &&
                   library::is_python_function(put, "asyncio.queues", "_put") &&
                   library::is_python_function(wakeup_next, "asyncio.queues", "_wakeup_next") &&
                   library::is_python_function(clear, "asyncio.locks", "clear");
    // The steps are those of the put_nowait of the CPython versions read for them.
    if (!genuine || PY_VERSION_HEX >= 0x030F0000) return;
    parts.full = Ref::incref(full);
    parts.put = Ref::incref(put);
    parts.wakeup_next = Ref::incref(wakeup_next);
    parts.event_type = std::move(event_type);
    parts.event_clear = Ref::incref(clear);
    parts.deque_type = rt::getattr(rt::import("collections").get(), name<"deque">());
    parts.deque_append = rt::getattr(parts.deque_type.get(), name<"append">());
}

void asyncio_put(PyObject* queue, PyObject* item) {
    if (!put_here(queue, item)) rt::call(process().queue_put.get(), {queue, item});
}

}  // namespace tlh
