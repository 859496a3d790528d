#include "modules/record_entry.hpp"

#include "life/log_queue.hpp"
#include "life/logged_values.hpp"
#include "life/record_items.hpp"
#include "process_state.hpp"
#include "text/library_calls.hpp"

namespace tlh {
namespace {

// The family's level names by the standard library's numbers; a level of its own (5, 25) takes the
// nearest standard one below it.
PyObject* level_name(long levelno) {
    if (levelno >= 50) return name<"CRITICAL">();
    if (levelno >= 40) return name<"ERROR">();
    if (levelno >= 30) return name<"WARNING">();
    if (levelno >= 20) return name<"INFO">();
    return name<"DEBUG">();
}

// The attributes a record is read for.
enum class Field {
    name,
    levelno,
    pathname,
    funcName,
    lineno,
    msg,
    args,
    stack_info,
    created,
    module,
    exc_info,
    threadName,
    count
};

PyObject* field_name(Field f) {
    switch (f) {
        case Field::name: return name<"name">();
        case Field::levelno: return name<"levelno">();
        case Field::pathname: return name<"pathname">();
        case Field::funcName: return name<"funcName">();
        case Field::lineno: return name<"lineno">();
        case Field::msg: return name<"msg">();
        case Field::args: return name<"args">();
        case Field::stack_info: return name<"stack_info">();
        case Field::created: return name<"created">();
        case Field::module: return name<"module">();
        case Field::exc_info: return name<"exc_info">();
        case Field::threadName: return name<"threadName">();
        default: return nullptr;
    }
}

// A record's attributes as getattr reads them, and its own attributes (its dict). Where the record
// is exactly a LogRecord whose class has none of the attributes read here (nor a getattr of its
// own), getattr finds each in the record's dict, where it is read at once.
class RecordReader {
public:
    explicit RecordReader(PyObject* record) : record_(record) {
        auto& known = process().records;
        dict_ = Ref::steal(PyObject_GenericGetDict(record, nullptr));
        if (!dict_ || !PyDict_Check(dict_.get())) {
            PyErr_Clear();
            dict_.reset();
            return;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(known.type.get());
        unsigned int version = known.plain_version.load(std::memory_order_relaxed);
        plain_ =
            Py_IS_TYPE(record, type) && PyDict_CheckExact(dict_.get()) && version && rt::version_tag(type) == version;
    }
    Ref get(Field f) const {
        if (plain_)
            if (Ref v = rt::dict_item(dict_.get(), field_name(f))) return v;
        return rt::getattr(record_, field_name(f));
    }
    // The record's own attributes; null where it has no dict.
    PyObject* dict() const noexcept { return dict_.get(); }

private:
    PyObject* record_;
    Ref dict_;
    bool plain_ = false;
};

// A record's message, or what it is made of: `text % args` is still to be made where args is set.
struct Message {
    Ref text, args;
};

// record.getMessage(): `str(self.msg)`, then `msg % self.args` when there are args, taken here
// where the record is a LogRecord whose getMessage is logging's own and str() gives a str; the %
// left for later where `may_wait` and message_can_wait say so.
Message read_message(PyObject* record, const RecordReader& read, bool may_wait) {
    auto& known = process().records;
    auto* type = reinterpret_cast<PyTypeObject*>(known.type.get());
    if (Py_IS_TYPE(record, type) && known.get_message &&
        _PyType_Lookup(type, name<"getMessage">()) == known.get_message.get() && read.dict() &&
        !rt::dict_item(read.dict(), name<"getMessage">())) {
        Ref msg = rt::owned(PyObject_Str(read.get(Field::msg).get()));
        if (PyUnicode_CheckExact(msg.get())) {
            Ref args = read.get(Field::args);
            if (!rt::truth(args.get())) return {std::move(msg), Ref()};
            if (may_wait && message_can_wait(msg.get(), args.get())) return {std::move(msg), std::move(args)};
            return {rt::owned(PyUnicode_Format(msg.get(), args.get())), Ref()};
        }
    }
    return {rt::call_method(record, name<"getMessage">()), Ref()};
}

// The message as logging's formatters take it, without the line feeds that end it, and the stack
// the record carries (stack_info=True) under it.
Ref finished_message(Ref text, PyObject* stack) {
    Ref message = without_line_ends(std::move(text));
    if (!rt::truth(stack)) return message;
    return rt::concat({message.get(), name<"\n">(), rt::to_str(stack).get()});
}

// The exception of exc_info, as logging reads it: a (type, value, traceback) tuple by then.
Ref exception_of(const RecordReader& read) {
    Ref exc_info = read.get(Field::exc_info);
    if (PyTuple_Check(exc_info.get()) && PyTuple_GET_SIZE(exc_info.get()) >= 2)
        return Ref::incref(PyTuple_GET_ITEM(exc_info.get(), 1));
    return rt::none();
}

// What the record was given with `extra=` (or was set on it by a filter): the entry's keyword
// values, in the order they were set.
Ref extra_of(const RecordReader& read) {
    Ref fields = rt::owned(PyDict_New());
    PyObject* attributes = read.dict();
    auto& known = process().records;
    if (!attributes || PyDict_GET_SIZE(attributes) <= known.plain_size) return fields;
    for (const auto& [key, value] : rt::dict_items(attributes))
        if (!PyUnicode_Check(key.get()) || !rt::check_int(PySet_Contains(known.own_attributes.get(), key.get())))
            rt::check_int(PyDict_SetItem(fields.get(), key.get(), value.get()));
    return fields;
}

long level_number(const RecordReader& read) {
    long levelno = PyLong_AsLong(read.get(Field::levelno).get());
    if (levelno == -1 && PyErr_Occurred()) rt::throw_error();
    return levelno;
}

// What a record holds, read as it is now, in RecordFields' terms: its message (the % left for
// later where `may_wait` allows it), its extra= values and its exception as the record has them.
struct ReadRecord {
    long levelno;
    Ref logger, pathname, function, lineno, message, args, created, module, exception, thread, extra;

    RecordFields fields(PyObject* kwargs, PyObject* exc) const {
        return {message.get(),  args ? args.get() : Py_None,
                created.get(),  level_name(levelno),
                logger.get(),   module.get(),
                pathname.get(), function.get(),
                lineno.get(),   exc,
                thread.get(),   kwargs};
    }
};

// A record's module, the text that logging makes anew for each record from its file's name: one
// str kept for each such text (as many as a service has modules), so that the records waiting in
// the queue do not each hold a copy.
Ref module_name(Ref module) {
    constexpr Py_ssize_t kept_at_most = 4096;
    PyObject* kept = process().records.modules.get();
    if (!kept || !PyUnicode_CheckExact(module.get())) return module;
    if (Ref found = rt::dict_item(kept, module.get())) return found;
    if (PyDict_GET_SIZE(kept) < kept_at_most) rt::check_int(PyDict_SetItem(kept, module.get(), module.get()));
    return module;
}

ReadRecord read_record(PyObject* record, bool may_wait) {
    RecordReader read(record);
    ReadRecord r;
    r.levelno = level_number(read);
    r.logger = read.get(Field::name);
    r.pathname = read.get(Field::pathname);
    r.function = read.get(Field::funcName);
    r.lineno = read.get(Field::lineno);
    Message m = read_message(record, read, may_wait);
    Ref stack = read.get(Field::stack_info);
    if (m.args && stack.get() != Py_None) m = {rt::owned(PyUnicode_Format(m.text.get(), m.args.get())), Ref()};
    r.message = m.args ? std::move(m.text) : finished_message(std::move(m.text), stack.get());
    r.args = std::move(m.args);
    r.created = read.get(Field::created);
    r.module = module_name(read.get(Field::module));
    r.exception = exception_of(read);
    r.thread = read.get(Field::threadName);
    r.extra = extra_of(read);
    return r;
}

Ref entry_of(PyObject* g, PyObject* record) {
    ReadRecord r = read_record(record, false);
    return entry_of_fields(g, r.fields(r.extra.get(), r.exception.get()));
}

// The record as an item that the queue's reader makes its LogEntry of, with its values taken as
// they were logged.
Ref item_of(PyObject* g, PyObject* record) {
    ReadRecord r = read_record(record, true);
    auto [kwargs, exc] = logged_now(r.extra.get(), r.exception.get());
    bool none = PyDict_CheckExact(kwargs.get()) && PyDict_GET_SIZE(kwargs.get()) == 0;
    return record_item(g, r.fields(none ? nullptr : kwargs.get(), exc.get()));
}

// The record this thread put last: a record goes through the handlers of one logging call on the
// thread that logs, so a second handler finds it here. Kept in the thread state's dict, which goes
// with the thread.
bool put_already(PyObject* record) {
    PyObject* state = PyThreadState_GetDict();
    if (!state) return false;
    Ref last = rt::dict_item(state, name<"tarvo_loghandle.record_put">());
    if (last.get() == record) return true;
    rt::check_int(PyDict_SetItem(state, name<"tarvo_loghandle.record_put">(), record));
    return false;
}

}  // namespace

void find_record_attributes(PyObject* g) {
    auto& known = process().records;
    Ref logging = global<"logging">(g);
    Ref record_type = rt::getattr(logging.get(), name<"LogRecord">());
    if (PyType_Check(record_type.get())) {
        auto* type = reinterpret_cast<PyTypeObject*>(record_type.get());
        PyObject* get_message = _PyType_Lookup(type, name<"getMessage">());
        known.get_message = get_message && library::is_python_function(get_message, "logging", "getMessage")
                                ? Ref::incref(get_message)
                                : Ref();
        bool plain = type->tp_getattro == PyObject_GenericGetAttr;
        // The attributes a RecordReader is asked for.
        for (PyObject* attribute : {name<"name">(), name<"levelno">(), name<"pathname">(), name<"funcName">(),
                                    name<"lineno">(), name<"msg">(), name<"args">(), name<"stack_info">(),
                                    name<"created">(), name<"module">(), name<"exc_info">(), name<"threadName">()})
            if (_PyType_Lookup(type, attribute)) plain = false;
        known.plain_version.store(plain ? rt::version_tag(type) : 0, std::memory_order_relaxed);
        known.type = std::move(record_type);
    }
    Ref blank = rt::call_method(logging.get(), name<"makeLogRecord">(), {rt::owned(PyDict_New()).get()});
    Ref attributes = rt::getattr(blank.get(), name<"__dict__">());
    known.plain_size = PyDict_Size(attributes.get());
    Ref names = rt::owned(PySet_New(attributes.get()));
    for (PyObject* more : {name<"message">(), name<"asctime">(), name<"color_message">(), name<"taskName">()})
        rt::check_int(PySet_Add(names.get(), more));
    known.own_attributes = std::move(names);
    if (!known.prefixes) known.prefixes = rt::owned(PyDict_New());
    if (!known.stack_infos) known.stack_infos = rt::owned(PyDict_New());
    if (!known.modules) known.modules = rt::owned(PyDict_New());
}

void put_entry(PyObject* g, PyObject* entry) {
    LevelPassed passed(entry);  // the queue does not ask again
    rt::call_method(global<"TLogger">(g).get(), name<"put">(), {entry});
}

void put_record(PyObject* g, PyObject* record) {
    if (put_already(record)) return;
    if (Ref queue = queue_for_record_items(g)) return put_record_item(queue.get(), item_of(g, record).get());
    Ref entry = entry_of(g, record);
    if (shown_by_level(g, entry.get())) put_entry(g, entry.get());
}

void emit_record(PyObject* g, PyObject* handler, PyObject* record) {
    try {
        put_record(g, record);
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        rt::Except handling(e);
        rt::call_method(handler, name<"handleError">(), {record});
    }
}

}  // namespace tlh
