#include "life/queue_slots.hpp"

#include "process_state.hpp"

#include <structmember.h>

#include <algorithm>
#include <iterator>

namespace tlh {
namespace {

#if PY_VERSION_HEX >= 0x030C0000
constexpr int object_member = Py_T_OBJECT_EX, readonly_member = Py_READONLY;
#else
constexpr int object_member = T_OBJECT_EX, readonly_member = READONLY;
#endif

static_assert(sizeof(ProcessState::queue_slots.defs) == sizeof(PyMemberDef) * size_t(QueueSlot::count));

PyObject* slot_name(QueueSlot which) {
    switch (which) {
        case QueueSlot::maxsize: return name<"_maxsize">();
        case QueueSlot::queue: return name<"_queue">();
        case QueueSlot::unfinished_tasks: return name<"_unfinished_tasks">();
        case QueueSlot::finished: return name<"_finished">();
        case QueueSlot::getters: return name<"_getters">();
        case QueueSlot::is_shutdown: return name<"_is_shutdown">();
        default: return name<"_tarvo_core">();
    }
}

PyMemberDef& def_of(QueueSlot which) noexcept { return process().queue_slots.defs[size_t(which)]; }

const PyMemberDef* member_of(PyTypeObject* type, PyObject* attribute) {
    PyObject* found = _PyType_Lookup(type, attribute);
    if (!found || !Py_IS_TYPE(found, &PyMemberDescr_Type)) return nullptr;
    return reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
}

}  // namespace

Ref queue_slot_names(PyObject* queue_class) {
    Ref names = rt::owned(PyList_New(0));
    Ref fresh = rt::call(queue_class);
    Ref attributes = rt::getattr(fresh.get(), name<"__dict__">());
    for (const auto& item : rt::dict_items(attributes.get()))
        rt::check_int(PyList_Append(names.get(), item.first.get()));
    Ref presets = rt::owned(PyList_New(0));
    for (PyObject* hidden : {name<"_loop">()}) {
        PyObject* value = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(queue_class), hidden);
        if (!value || rt::check_int(PySequence_Contains(names.get(), hidden))) continue;
        rt::check_int(PyList_Append(names.get(), hidden));
        rt::check_int(PyList_Append(presets.get(), rt::tuple({hidden, value}).get()));
    }
    rt::check_int(PyList_Append(names.get(), name<"_tarvo_core">()));
    process().queue_slots.presets = rt::owned(PyList_AsTuple(presets.get()));
    return rt::owned(PyList_AsTuple(names.get()));
}

bool find_queue_slots(PyObject* made_class) {
    auto& slots = process().queue_slots;
    auto* type = reinterpret_cast<PyTypeObject*>(made_class);
    decltype(slots.defs) found = {};
    for (size_t i = 0; i < size_t(QueueSlot::count); ++i) {
        const PyMemberDef* member = member_of(type, slot_name(QueueSlot(i)));
        if (member && member->type == object_member && !(member->flags & readonly_member)) found[i] = *member;
        else if (QueueSlot(i) != QueueSlot::is_shutdown) return false;  // the one asyncio may lack
    }
    if (!slots.found) {
        std::copy(std::begin(found), std::end(found), std::begin(slots.defs));
        slots.found = true;
        return true;
    }
    for (size_t i = 0; i < size_t(QueueSlot::count); ++i)
        if (found[i].offset != slots.defs[i].offset) return false;
    return true;
}

void preset_queue_slots(PyObject* queue) {
    PyObject* presets = process().queue_slots.presets.get();
    if (!presets) return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(presets); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(presets, i);
        rt::setattr(queue, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
}

bool slot_exists(QueueSlot which) noexcept { return process().queue_slots.found && def_of(which).name; }

bool slot_in_place(PyTypeObject* type, QueueSlot which) {
    if (!slot_exists(which)) return false;
    const PyMemberDef* member = member_of(type, slot_name(which));
    const PyMemberDef& def = def_of(which);
    return member && member->type == def.type && member->offset == def.offset && member->flags == def.flags;
}

// With the GIL, the slot is read and written where it lies (what PyMember_GetOne and SetOne do for
// an object member, without raising for an empty one); a free-threaded build reads and writes it
// as they do, under their own synchronisation.
Ref slot_value(PyObject* instance, QueueSlot which) {
#ifdef Py_GIL_DISABLED
    PyObject* v = PyMember_GetOne(reinterpret_cast<const char*>(instance), &def_of(which));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rt::throw_error();
        PyErr_Clear();
    }
    return Ref::steal(v);
#else
    return Ref::incref(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance) + def_of(which).offset));
#endif
}

void set_slot(PyObject* instance, QueueSlot which, PyObject* value) {
#ifdef Py_GIL_DISABLED
    rt::check_int(PyMember_SetOne(reinterpret_cast<char*>(instance), &def_of(which), value));
#else
    PyObject** at = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(instance) + def_of(which).offset);
    PyObject* was = *at;
    *at = Py_XNewRef(value);
    Py_XDECREF(was);
#endif
}

}  // namespace tlh
