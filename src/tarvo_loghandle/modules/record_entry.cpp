#include "modules/record_entry.hpp"

#include "life/logged_values.hpp"
#include "text/library_calls.hpp"

namespace tlh {
namespace {

// The names of the attributes every record has, with "message" and "asctime" (set by a formatter
// that formatted it before) and uvicorn's "color_message" (the message again, coloured).
PyObject* own_attributes = nullptr;
// How many attributes a record has that nothing was added to: one with no more has no extra.
Py_ssize_t plain_record_size = 0;

// The family's level names by the standard library's numbers; a level of its own (5, 25) takes the
// nearest standard one below it.
PyObject* level_name(long levelno) {
    if (levelno >= 50) return name<"CRITICAL">();
    if (levelno >= 40) return name<"ERROR">();
    if (levelno >= 30) return name<"WARNING">();
    if (levelno >= 20) return name<"INFO">();
    return name<"DEBUG">();
}

// LogRecord and its getMessage, as logging defines them.
PyTypeObject* log_record_type = nullptr;
PyObject* genuine_get_message = nullptr;

// record.getMessage(): `str(self.msg)`, then `msg % self.args` when there are args, taken here
// where the record is a LogRecord whose getMessage is logging's own and str() gives a str.
Ref formatted_message(PyObject* record) {
    if (Py_IS_TYPE(record, log_record_type) && genuine_get_message &&
        _PyType_Lookup(log_record_type, name<"getMessage">()) == genuine_get_message) {
        Ref attributes = Ref::steal(PyObject_GenericGetDict(record, nullptr));
        if (!attributes) rt::throw_error();
        if (!rt::dict_item(attributes.get(), name<"getMessage">())) {
            Ref msg = rt::owned(PyObject_Str(rt::getattr(record, name<"msg">()).get()));
            if (PyUnicode_CheckExact(msg.get())) {
                Ref args = rt::getattr(record, name<"args">());
                if (!rt::truth(args.get())) return msg;
                return rt::owned(PyUnicode_Format(msg.get(), args.get()));
            }
        }
    }
    return rt::call_method(record, name<"getMessage">());
}

// The message as logging's formatters take it (msg % args) without the line feeds that end it, and
// the stack the record carries (stack_info=True) under it.
Ref message_of(PyObject* record) {
    Ref message = formatted_message(record);
    if (PyUnicode_Check(message.get())) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(message.get()), end = n;
        while (end > 0 && (PyUnicode_READ_CHAR(message.get(), end - 1) == '\n' ||
                           PyUnicode_READ_CHAR(message.get(), end - 1) == '\r'))
            --end;
        if (end < n) message = rt::owned(PyUnicode_Substring(message.get(), 0, end));
    }
    Ref stack = rt::getattr(record, name<"stack_info">());
    if (!rt::truth(stack.get())) return message;
    return rt::concat({message.get(), name<"\n">(), rt::to_str(stack.get()).get()});
}

// The exception of exc_info, as logging reads it: a (type, value, traceback) tuple by then.
Ref exception_of(PyObject* record) {
    Ref exc_info = rt::getattr(record, name<"exc_info">());
    if (PyTuple_Check(exc_info.get()) && PyTuple_GET_SIZE(exc_info.get()) >= 2)
        return Ref::incref(PyTuple_GET_ITEM(exc_info.get(), 1));
    return rt::none();
}

// What the record was given with `extra=` (or was set on it by a filter): the entry's keyword
// values, in the order they were set.
Ref extra_of(PyObject* record) {
    Ref fields = rt::owned(PyDict_New());
    Ref attributes = Ref::steal(PyObject_GenericGetDict(record, nullptr));
    if (!attributes) {
        PyErr_Clear();
        return fields;
    }
    if (!PyDict_Check(attributes.get()) || PyDict_GET_SIZE(attributes.get()) <= plain_record_size) return fields;
    for (const auto& [key, value] : rt::dict_items(attributes.get()))
        if (!PyUnicode_Check(key.get()) || !rt::check_int(PySet_Contains(own_attributes, key.get())))
            rt::check_int(PyDict_SetItem(fields.get(), key.get(), value.get()));
    return fields;
}

Ref entry_of(PyObject* g, PyObject* record) {
    long levelno = PyLong_AsLong(rt::getattr(record, name<"levelno">()).get());
    if (levelno == -1 && PyErr_Occurred()) rt::throw_error();
    Ref logger = rt::getattr(record, name<"name">());
    Ref parts = PyUnicode_CheckExact(logger.get()) ? rt::owned(PyUnicode_Split(logger.get(), name<".">(), -1))
                                                   : rt::call_method(logger.get(), name<"split">(), {name<".">()});
    Ref prefix = rt::owned(PySequence_Tuple(parts.get()));
    Ref stack = rt::call(global<"StackInfo">(g).get(),
                         {rt::getattr(record, name<"pathname">()).get(), rt::getattr(record, name<"funcName">()).get(),
                          rt::getattr(record, name<"lineno">()).get()});
    Ref message = message_of(record);
    Ref created = rt::getattr(record, name<"created">());
    Ref module = rt::getattr(record, name<"module">());
    Ref exception = exception_of(record);
    Ref thread = rt::getattr(record, name<"threadName">());
    Ref extra = extra_of(record);
    return make_entry(g, {message.get(), created.get(), level_name(levelno), prefix.get(), module.get(), stack.get(),
                          exception.get(), thread.get(), extra.get()});
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
    Ref logging = global<"logging">(g);
    Ref record_type = rt::getattr(logging.get(), name<"LogRecord">());
    if (PyType_Check(record_type.get())) {
        log_record_type = reinterpret_cast<PyTypeObject*>(record_type.release());  // for the process's life
        PyObject* get_message = _PyType_Lookup(log_record_type, name<"getMessage">());
        if (get_message && library::is_python_function(get_message, "logging", "getMessage"))
            genuine_get_message = Ref::incref(get_message).release();
    }
    Ref blank = rt::call_method(logging.get(), name<"makeLogRecord">(), {rt::owned(PyDict_New()).get()});
    Ref attributes = rt::getattr(blank.get(), name<"__dict__">());
    plain_record_size = PyDict_Size(attributes.get());
    Ref names = rt::owned(PySet_New(attributes.get()));
    for (PyObject* more : {name<"message">(), name<"asctime">(), name<"color_message">(), name<"taskName">()})
        rt::check_int(PySet_Add(names.get(), more));
    own_attributes = names.release();  // for the life of the process, as the module's types are
}

Ref make_entry(PyObject* g, const EntryFields& f) {
    PyObject* const fields =
        rt::keywords<"msg", "timestamp", "level", "prefix", "module", "stack_info", "exception", "thread", "kwargs">();
    return rt::call_kw(global<"LogEntry">(g).get(),
                       {f.msg, f.timestamp, f.level, f.prefix, f.module, f.stack_info, f.exception, f.thread, f.kwargs},
                       fields);
}

void put_entry(PyObject* g, PyObject* entry) {
    LevelPassed passed(entry);  // the queue does not ask again
    rt::call_method(global<"TLogger">(g).get(), name<"put">(), {entry});
}

void put_record(PyObject* g, PyObject* record) {
    if (put_already(record)) return;
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
