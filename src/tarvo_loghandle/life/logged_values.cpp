#include "life/logged_values.hpp"

#include "life/current_trace.hpp"
#include "process_state.hpp"
#include "text/entry_context.hpp"

namespace tlh {
namespace {

// How deep containers are copied; deeper ones stand as their texts.
constexpr int copy_depth = 8;

// What stands in for an object that may change: its repr and str as they were.
struct LoggedValue {
    PyObject_HEAD
    PyObject* repr;
    PyObject* str;
};

LoggedValue* as_logged(PyObject* o) { return reinterpret_cast<LoggedValue*>(o); }

PyObject* logged_repr(PyObject* o) { return Py_NewRef(as_logged(o)->repr); }
PyObject* logged_str(PyObject* o) { return Py_NewRef(as_logged(o)->str); }

int logged_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(as_logged(o)->repr);
    Py_VISIT(as_logged(o)->str);
    return 0;
}
int logged_clear(PyObject* o) {
    Py_CLEAR(as_logged(o)->repr);
    Py_CLEAR(as_logged(o)->str);
    return 0;
}
void logged_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    logged_clear(o);
    PyObject_GC_Del(o);
}

rt::StaticType LoggedValueType("tarvo_loghandle.LoggedValue", sizeof(LoggedValue), [](rt::StaticType& t) {
    t.collected(logged_dealloc, logged_traverse, logged_clear);
    t.tp_repr = logged_repr;
    t.tp_str = logged_str;
    t.tp_doc = "A value as it was when its entry was logged: its repr and str.";
});

Ref logged_value(PyObject* v) {
    Ref repr = rt::owned(PyObject_Repr(v));
    Ref str = rt::owned(PyObject_Str(v));
    auto* self = PyObject_GC_New(LoggedValue, &LoggedValueType);
    if (!self) rt::throw_error();
    self->repr = repr.release();
    self->str = str.release();
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

// Values that cannot change: those of these exact types, and tuples and frozensets of them.
bool unchanging(PyObject* v, int depth) {
    if (v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
        PyBytes_CheckExact(v) || PyComplex_CheckExact(v) || Py_IS_TYPE(v, &LoggedValueType) || is_entry_context(v))
        return true;
    if (depth >= copy_depth) return false;
    if (PyTuple_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
            if (!unchanging(PyTuple_GET_ITEM(v, i), depth + 1)) return false;
        return true;
    }
    if (PyFrozenSet_CheckExact(v)) {
        for (Ref& item : rt::iterate(v))
            if (!unchanging(item.get(), depth + 1)) return false;
        return true;
    }
    return false;
}

Ref as_logged_now(PyObject* v, int depth);

// A copy of a list's or a tuple's items, each as it is now (one snapshot of them).
Ref items_now(PyObject* sequence, int depth) {
    Ref items = rt::owned(PySequence_List(sequence));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item = as_logged_now(PyList_GET_ITEM(items.get(), i), depth + 1);
        PyList_SetItem(items.get(), i, item.release());
    }
    return items;
}

Ref as_logged_now(PyObject* v, int depth) {
    if (unchanging(v, depth)) return Ref::incref(v);
    if (depth < copy_depth) {
        if (PyList_CheckExact(v)) return items_now(v, depth);
        if (PyTuple_CheckExact(v)) return rt::owned(PyList_AsTuple(items_now(v, depth).get()));
        if (PyDict_CheckExact(v)) {
            Ref copy = rt::owned(PyDict_New());
            for (const auto& [key, value] : rt::dict_items(v))
                rt::check_int(PyDict_SetItem(copy.get(), key.get(), as_logged_now(value.get(), depth + 1).get()));
            return copy;
        }
        if (PySet_CheckExact(v)) {
            Ref copy = rt::owned(PySet_New(nullptr));
            for (Ref& item : rt::iterate(rt::owned(PySequence_List(v)).get()))
                rt::check_int(PySet_Add(copy.get(), as_logged_now(item.get(), depth + 1).get()));
            return copy;
        }
        if (PyByteArray_CheckExact(v)) return rt::owned(PyByteArray_FromObject(v));
    }
    return logged_value(v);
}

// Whether no value of the dict can change: its values of the plain types are looked at where they
// are (the usual case), without a reference taken or anything made.
bool all_unchanging(PyObject* dict) {
    rt::Locked locked(dict);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        bool plain = value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
                     PyFloat_CheckExact(value) || PyBool_Check(value) || PyBytes_CheckExact(value) ||
                     is_entry_context(value);
        if (!plain) return false;  // a closer look, with references taken, outside the lock
    }
    return true;
}

// The keyword values as they are now; null when they cannot change.
Ref kwargs_now(PyObject* kwargs) {
    if (!PyDict_CheckExact(kwargs)) return Ref();
    if (all_unchanging(kwargs)) return Ref();
    std::vector<std::pair<Ref, Ref>> items = rt::dict_items(kwargs);
    bool none_changes = true;
    for (const auto& item : items) none_changes = none_changes && unchanging(item.second.get(), 0);
    if (none_changes) return Ref();
    Ref copy = rt::owned(PyDict_New());
    for (const auto& [key, value] : items)
        rt::check_int(PyDict_SetItem(copy.get(), key.get(), as_logged_now(value.get(), 0).get()));
    return copy;
}

// A copy of an exception as it is now: its type made anew with its arguments (as pickle would, but
// without calling __init__ again, which may build the arguments from its own), its attributes,
// notes, traceback, cause and context.
Ref exception_now(PyObject* exc) {
    PyTypeObject* type = Py_TYPE(exc);
    Ref args = rt::getattr(exc, name<"args">());
    if (!PyTuple_Check(args.get())) return Ref();
    Ref copy = rt::owned(type->tp_new(type, args.get(), nullptr));
    if (!PyExceptionInstance_Check(copy.get())) return Ref();
    Ref state = Ref::steal(PyObject_GetAttr(exc, name<"__dict__">()));
    if (!state) PyErr_Clear();
    if (state && PyDict_Check(state.get())) {
        for (const auto& [key, value] : rt::dict_items(state.get())) {
            Ref kept = PyList_CheckExact(value.get()) ? rt::owned(PySequence_List(value.get())) : value;  // __notes__
            rt::check_int(PyObject_GenericSetAttr(copy.get(), key.get(), kept.get()));
        }
    }
    Ref traceback = Ref::steal(PyException_GetTraceback(exc));
    if (traceback) rt::check_int(PyException_SetTraceback(copy.get(), traceback.get()));
    PyException_SetCause(copy.get(), PyException_GetCause(exc));
    PyException_SetContext(copy.get(), PyException_GetContext(exc));
    rt::setattr(copy.get(), name<"__suppress_context__">(), rt::getattr(exc, name<"__suppress_context__">()).get());
    return copy;
}

// The bound fields as they are now: the dict itself where no value of it can change (remembered of
// the last dict met, which nobody changes once bound), a copy of its values as they are otherwise.
Ref bound_as_logged(Ref bound) {
#ifndef Py_GIL_DISABLED
    static Ref* const last_unchanging = new Ref();  // left to the end of the process: no Python at exit
    if (bound.get() == last_unchanging->get()) return bound;
#endif
    Ref copy = kwargs_now(bound.get());
    if (copy) return copy;
#ifndef Py_GIL_DISABLED
    *last_unchanging = bound;
#endif
    return bound;
}

// The keyword values with the context they are logged in (the fields bound there, the trace) as
// one more item, which the writer unfolds; null when there is neither.
[[gnu::always_inline]] inline Ref with_context(PyObject* kwargs) {
    Ref bound = bound_fields_now();
    Ref trace = current_trace();
    if ((!bound && !trace) || !PyDict_CheckExact(kwargs)) return Ref();
    Ref fields = bound ? bound_as_logged(std::move(bound)) : Ref();
    Ref context = entry_context(fields.get(), trace.get());
    Ref merged = rt::owned(PyDict_Copy(kwargs));
    if (!PyDict_SetDefault(merged.get(), entry_context_key(), context.get())) rt::throw_error();
    return merged;
}

}  // namespace

Ref bound_fields_now() {
    PyObject* var = process().bound_fields.get();
    if (!var) return Ref();
    PyObject* value = nullptr;
    if (PyContextVar_Get(var, nullptr, &value) < 0) rt::throw_error();
    Ref fields = Ref::steal(value);
    if (!fields || !PyDict_CheckExact(fields.get()) || PyDict_GET_SIZE(fields.get()) == 0) return Ref();
    return fields;
}

std::pair<Ref, Ref> logged_now(PyObject* kwargs, PyObject* exception) {
    Ref values = Ref::incref(kwargs), exc = Ref::incref(exception);
    try {
        Ref in_context = with_context(kwargs);
        Ref copied = kwargs_now(in_context ? in_context.get() : kwargs);
        if (copied || in_context) values = copied ? std::move(copied) : std::move(in_context);
        if (PyExceptionInstance_Check(exception))
            if (Ref now = exception_now(exception)) exc = std::move(now);
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;  // left as it is: the writer shows what goes wrong
    }
    return {std::move(values), std::move(exc)};
}

void keep_as_logged(PyObject* g, PyObject* entry) {
    if (!rt::check_int(PyObject_IsInstance(entry, global<"LogEntry">(g).get()))) return;
    try {
        Ref kwargs = rt::getattr(entry, name<"kwargs">());
        Ref exception = rt::optional_attr(entry, name<"exception">());
        bool exc = exception && PyExceptionInstance_Check(exception.get());
        Ref in_context = with_context(kwargs.get());
        Ref copied = kwargs_now(in_context ? in_context.get() : kwargs.get());
        if (!copied && !exc) {
            // Cheaper than asking whether the entry will be shown.
            if (in_context) rt::setattr(entry, name<"kwargs">(), in_context.get());
            return;
        }
        if (!LevelPassed::of(entry) && !shown_by_level(g, entry)) return;
        if (copied || in_context) rt::setattr(entry, name<"kwargs">(), (copied ? copied : in_context).get());
        if (exc) {
            if (Ref now = exception_now(exception.get())) rt::setattr(entry, name<"exception">(), now.get());
        }
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;  // left as it is: the writer shows what goes wrong
    }
}

}  // namespace tlh
