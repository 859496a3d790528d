#include "life/record_items.hpp"

#include "process_state.hpp"

namespace tlh {
namespace {

struct RecordItem {
    PyObject_HEAD
    PyObject* globals;
    RecordFields fields;  // cleared once the entry is made
    PyObject* entry;
};

RecordItem* as_item(PyObject* o) { return reinterpret_cast<RecordItem*>(o); }

// f(field) for each of the fields, by reference.
template <class F>
void each_field(RecordFields& r, F&& f) {
    for (PyObject** p : {&r.msg, &r.args, &r.timestamp, &r.level, &r.logger, &r.module, &r.pathname, &r.function,
                         &r.lineno, &r.exception, &r.thread, &r.kwargs})
        f(*p);
}

int item_traverse(PyObject* o, visitproc visit, void* arg) {
    RecordItem* r = as_item(o);
    Py_VISIT(r->globals);
    int failed = 0;
    each_field(r->fields, [&](PyObject* field) {
        if (!failed && field) failed = visit(field, arg);
    });
    if (failed) return failed;
    Py_VISIT(r->entry);
    return 0;
}

int item_clear(PyObject* o) {
    RecordItem* r = as_item(o);
    Py_CLEAR(r->globals);
    each_field(r->fields, [](PyObject*& field) { Py_CLEAR(field); });
    Py_CLEAR(r->entry);
    return 0;
}

void item_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    item_clear(o);
    PyObject_GC_Del(o);
}

// Whether `o` may lead a cycle back: an object the collector tracks (what it does not track holds
// nothing that could).
bool tracked(PyObject* o) {
    if (o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return false;
    return PyObject_IS_GC(o) && PyObject_GC_IsTracked(o);
}

// How many loggers' prefixes, and how many code locations' StackInfos, are kept: as many as a
// service has; past that (a logger of each request's own name) they are made each time.
constexpr Py_ssize_t kept_at_most = 4096;

// The prefix of a logger's name: its parts between dots, as str.split(".") gives them. A str's is
// made once and kept: a tuple of strs, which nothing can change.
Ref prefix_of(PyObject* logger) {
    PyObject* prefixes = process().records.prefixes.get();
    bool kept = prefixes && PyUnicode_CheckExact(logger);
    if (kept)
        if (Ref prefix = rt::dict_item(prefixes, logger)) return prefix;
    Ref parts = PyUnicode_CheckExact(logger) ? rt::owned(PyUnicode_Split(logger, name<".">(), -1))
                                             : rt::call_method(logger, name<"split">(), {name<".">()});
    Ref prefix = rt::owned(PySequence_Tuple(parts.get()));
    if (kept && PyDict_GET_SIZE(prefixes) < kept_at_most) rt::check_int(PyDict_SetItem(prefixes, logger, prefix.get()));
    return prefix;
}

// StackInfo(file, function, line) of the class `cls`. One is made for each code location (a line
// of a function) and shared by the entries logged there, as the family's own logger shares them,
// so that a flood of entries does not hold one more object each for the collector to walk.
Ref stack_info_of(PyObject* cls, PyObject* file, PyObject* function, PyObject* line) {
    PyObject* kept = process().records.stack_infos.get();
    if (!kept || !PyUnicode_CheckExact(file) || !PyUnicode_CheckExact(function) || !PyLong_CheckExact(line))
        return rt::make_instance(cls, {file, function, line}, nullptr);
    Ref place = rt::tuple({cls, file, function, line});
    if (Ref found = rt::dict_item(kept, place.get())) return found;
    Ref made = rt::make_instance(cls, {file, function, line}, nullptr);
    if (PyDict_GET_SIZE(kept) < kept_at_most) rt::check_int(PyDict_SetItem(kept, place.get(), made.get()));
    return made;
}

Ref entry_of_item(RecordItem* r) {
    // Its fields held here: what the calls run may make the item's entry meanwhile, which lets the
    // item's own go.
    RecordFields f = r->fields;
    Ref held[12];
    int i = 0;
    each_field(f, [&](PyObject*& field) { held[i++] = Ref::incref(field); });
    Ref globals = Ref::incref(r->globals);
    return entry_of_fields(globals.get(), f);
}

// An int of at most 19 digits: its decimal text is never past the interpreter's limit on them (640
// at the least), and it converts to a float.
bool small_int(PyObject* v) {
    if (PyBool_Check(v)) return true;
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !overflow;
}

// An argument whose text a conversion gives the same now and later, without fail.
bool steady(PyObject* v) { return v == Py_None || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || small_int(v); }

template <class Char>
bool conversions_fit(const Char* s, Py_ssize_t n, PyObject* args) {
    Py_ssize_t taken = 0, given = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (s[i] != '%') continue;
        if (++i >= n) return false;
        if (s[i] == '%') continue;
        while (i < n && (s[i] == '-' || s[i] == '+' || s[i] == ' ' || s[i] == '#' || s[i] == '0')) ++i;
        for (int digits = 0; i < n && s[i] >= '0' && s[i] <= '9'; ++i)
            if (++digits > 3) return false;
        if (i < n && s[i] == '.') {
            ++i;
            for (int digits = 0; i < n && s[i] >= '0' && s[i] <= '9'; ++i)
                if (++digits > 2) return false;
        }
        if (i >= n || taken >= given) return false;
        PyObject* v = PyTuple_GET_ITEM(args, taken++);
        bool number = PyLong_CheckExact(v) || PyBool_Check(v);  // small: steady() says so
        switch (Py_UCS4(s[i])) {
            case 's':
            case 'r':
            case 'a': break;
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'o':
                if (!number) return false;
                break;
            case 'f':
            case 'e':
            case 'g':
                if (!number && !PyFloat_CheckExact(v)) return false;
                break;
            default: return false;
        }
    }
    return taken == given;
}

}  // namespace

rt::StaticType RecordItemType("tarvo_loghandle.RecordItem", sizeof(RecordItem), [](rt::StaticType& t) {
    t.collected(item_dealloc, item_traverse, item_clear);
    t.tp_doc = "A record of logging on its way into the log: what its thread read of it, before its LogEntry.";
});

bool message_can_wait(PyObject* msg, PyObject* args) {
    if (!PyUnicode_CheckExact(msg) || !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) == 0) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        if (!steady(PyTuple_GET_ITEM(args, i))) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(msg);
    switch (PyUnicode_KIND(msg)) {
        case PyUnicode_1BYTE_KIND: return conversions_fit(PyUnicode_1BYTE_DATA(msg), n, args);
        case PyUnicode_2BYTE_KIND: return conversions_fit(PyUnicode_2BYTE_DATA(msg), n, args);
        default: return conversions_fit(PyUnicode_4BYTE_DATA(msg), n, args);
    }
}

Ref without_line_ends(Ref message) {
    if (!PyUnicode_Check(message.get())) return message;
    Py_ssize_t n = PyUnicode_GET_LENGTH(message.get()), end = n;
    while (end > 0 &&
           (PyUnicode_READ_CHAR(message.get(), end - 1) == '\n' || PyUnicode_READ_CHAR(message.get(), end - 1) == '\r'))
        --end;
    return end < n ? rt::owned(PyUnicode_Substring(message.get(), 0, end)) : message;
}

Ref make_entry(PyObject* g, const EntryFields& f) {
    PyObject* const fields =
        rt::keywords<"msg", "timestamp", "level", "prefix", "module", "stack_info", "exception", "thread", "kwargs">();
    return rt::make_instance(
        global<"LogEntry">(g).get(),
        {f.msg, f.timestamp, f.level, f.prefix, f.module, f.stack_info, f.exception, f.thread, f.kwargs}, fields);
}

Ref entry_of_fields(PyObject* g, const RecordFields& f) {
    Ref msg = f.args == Py_None ? Ref::incref(f.msg) : without_line_ends(rt::owned(PyUnicode_Format(f.msg, f.args)));
    Ref prefix = prefix_of(f.logger);
    Ref stack = stack_info_of(global<"StackInfo">(g).get(), f.pathname, f.function, f.lineno);
    Ref kwargs = f.kwargs ? Ref::incref(f.kwargs) : rt::owned(PyDict_New());
    return make_entry(
        g, {msg.get(), f.timestamp, f.level, prefix.get(), f.module, stack.get(), f.exception, f.thread, kwargs.get()});
}

Ref record_item(PyObject* g, const RecordFields& f) {
    auto* r = PyObject_GC_New(RecordItem, &RecordItemType);
    if (!r) rt::throw_error();
    r->globals = Py_NewRef(g);
    r->fields = f;
    each_field(r->fields, [](PyObject*& field) { Py_XINCREF(field); });
    r->entry = nullptr;
    // Tracked by the collector only where it holds what a cycle could go through, as CPython's own
    // tuples and dicts are not tracked while they hold only atoms: a record's usual item (texts,
    // numbers, an untracked dict, arguments that are all atoms) costs the collector nothing while it
    // waits in the queue.
    bool holds_container = false;
    each_field(r->fields, [&](PyObject*& field) {
        if (field == f.args && PyTuple_CheckExact(field)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(field); ++i)
                holds_container = holds_container || tracked(PyTuple_GET_ITEM(field, i));
            return;
        }
        holds_container = holds_container || (field && tracked(field));
    });
    if (holds_container) PyObject_GC_Track(r);
    return Ref::steal(reinterpret_cast<PyObject*>(r));
}

Ref as_entry(PyObject* item) {
    if (!is_record_item(item)) return Ref::incref(item);
    RecordItem* r = as_item(item);
    if (r->entry) return Ref::incref(r->entry);
    Ref entry = entry_of_item(r);
    if (!r->entry) {  // what making it ran (a LogEntry of Python's) may have made it already
        r->entry = Ref::incref(entry.get()).release();
        if (!PyObject_GC_IsTracked(item)) PyObject_GC_Track(item);  // it holds a LogEntry now
        each_field(r->fields, [](PyObject*& field) { Py_CLEAR(field); });
    }
    return Ref::incref(r->entry);
}

}  // namespace tlh
