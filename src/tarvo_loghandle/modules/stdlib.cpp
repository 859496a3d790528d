// Module tarvo_loghandle.stdlib: the records of Python's logging (third-party libraries, asyncio,
// logging.captureWarnings) as entries of the same stream. RecordHandler is a logging.Handler that
// puts each record on TLogger's queue as a LogEntry; log() connects one to the root logger for its
// block when the application has not configured the root logger itself.
#include "modules/stdlib.hpp"

#include "life/logged_values.hpp"

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

// The message as logging's formatters take it (msg % args), and the stack the record carries
// (stack_info=True) under it.
Ref message_of(PyObject* record) {
    Ref message = rt::call_method(record, name<"getMessage">());
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

Ref entry_of(PyObject* g, PyObject* record) {
    long levelno = PyLong_AsLong(rt::getattr(record, name<"levelno">()).get());
    if (levelno == -1 && PyErr_Occurred()) rt::throw_error();
    Ref logger = rt::getattr(record, name<"name">());
    Ref parts = rt::call_method(logger.get(), name<"split">(), {name<".">()});
    Ref prefix = rt::owned(PySequence_Tuple(parts.get()));
    Ref stack = rt::call(global<"StackInfo">(g).get(),
                         {rt::getattr(record, name<"pathname">()).get(), rt::getattr(record, name<"funcName">()).get(),
                          rt::getattr(record, name<"lineno">()).get()});
    Ref kwargs = rt::owned(PyDict_New());
    rt::bind(kwargs.get(), "msg", message_of(record).get());
    rt::bind(kwargs.get(), "timestamp", rt::getattr(record, name<"created">()).get());
    rt::bind(kwargs.get(), "level", level_name(levelno));
    rt::bind(kwargs.get(), "prefix", prefix.get());
    rt::bind(kwargs.get(), "module", rt::getattr(record, name<"module">()).get());
    rt::bind(kwargs.get(), "stack_info", stack.get());
    rt::bind(kwargs.get(), "exception", exception_of(record).get());
    rt::bind(kwargs.get(), "thread", rt::getattr(record, name<"threadName">()).get());
    Ref no_args = rt::owned(PyTuple_New(0));
    return rt::owned(PyObject_Call(global<"LogEntry">(g).get(), no_args.get(), kwargs.get()));
}

// emit(record): the record as an entry, put on the queue from whatever thread logs, in its order.
// A record that cannot be made an entry (a message whose arguments do not fit) is handled as
// logging handles it: handleError, with the exception being handled.
Ref emit(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    PyObject* record = a[1];
    try {
        Ref entry = entry_of(g, record);
        if (shown_by_level(g, entry.get())) {
            LevelPassed passed(entry.get());
            rt::call_method(global<"TLogger">(g).get(), name<"put">(), {entry.get()});
        }
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        rt::Except handling(e);
        rt::call_method(self, name<"handleError">(), {record});
    }
    return rt::none();
}

const rt::FunctionDef emit_def = {
    "emit",
    "RecordHandler.emit",
    {"self", "record"},
    emit,
    rt::FunctionKind::plain,
    "Puts the record on TLogger.queue as a LogEntry: its message, time, level, logger name, module, file, "
    "function, line and exception."};

Ref make_record_handler(PyObject* g) {
    Ref ns = rt::owned(PyDict_New());
    rt::bind(ns.get(), "__module__", global<"__name__">(g).get());
    rt::bind(ns.get(), "__qualname__", name<"RecordHandler">());
    rt::bind(ns.get(), "__doc__",
             name<"A logging.Handler whose records become entries of the log: written by the running LoggingHandler, "
                  "in order with the TLogger entries, in every output format. Formatters are not used: the entry "
                  "keeps the record's fields.\n\n"
                  "    logging.getLogger().addHandler(RecordHandler())">());
    rt::Annotations ann = rt::annotate(g, {{"record", "logging.LogRecord"}, {"return", "None"}});
    rt::bind(ns.get(), "emit", rt::make_function(emit_def, g, nullptr, &ann).get());
    Ref bases = rt::tuple({rt::getattr(global<"logging">(g).get(), name<"Handler">()).get()});
    return rt::call(reinterpret_cast<PyObject*>(&PyType_Type), {name<"RecordHandler">(), bases.get(), ns.get()});
}

Ref stdlib_module(PyObject* package) {
    Ref full = rt::concat({package, name<".stdlib">()});
    return rt::owned(PyImport_Import(full.get()));
}

}  // namespace

void exec_stdlib(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    rt::bind(g, "__doc__",
             name<"Python's logging in the same stream: RecordHandler turns the records of the standard library "
                  "(third-party libraries, asyncio, logging.captureWarnings) into log entries.\n\n"
                  "log() connects one to the root logger for its block when the root logger has no handler of the "
                  "application's (AUTO_CONNECT = False turns that off), and takes it away when the block ends. An "
                  "application that configures logging itself adds one to its own setup.">());
    rt::import_module(g, "logging");
    rt::import_from(g, "tarvo_commons.logs", {"get_min_level", "LogEntry", "StackInfo", "TLogger"});
    rt::bind(g, "__all__", rt::owned(Py_BuildValue("[ss]", "RecordHandler", "AUTO_CONNECT")).get());
    rt::bind(g, "RecordHandler", make_record_handler(g).get());
    // Read when log() enters its block.
    rt::bind(g, "AUTO_CONNECT", Py_True);
}

Ref connect_stdlib_logging(PyObject* package) {
    Ref module = stdlib_module(package);
    PyObject* g = PyModule_GetDict(module.get());
    if (!rt::truth(global<"AUTO_CONNECT">(g).get())) return rt::none();
    Ref logging = global<"logging">(g);
    Ref root = rt::getattr(logging.get(), name<"root">());
    if (rt::truth(rt::getattr(root.get(), name<"handlers">()).get())) return rt::none();  // the application's own setup
    Ref handler = rt::call(global<"RecordHandler">(g).get());
    Ref level = rt::getattr(root.get(), name<"level">());
    Ref debug_level = rt::getattr(logging.get(), name<"DEBUG">());
    // The minimum levels of the log (get_min_level) decide what is shown, as for TLogger entries.
    rt::call_method(root.get(), name<"setLevel">(), {debug_level.get()});
    rt::call_method(root.get(), name<"addHandler">(), {handler.get()});
    return rt::tuple({root.get(), handler.get(), level.get(), debug_level.get()});
}

void disconnect_stdlib_logging(PyObject* connection) {
    if (connection == Py_None) return;
    PyObject* root = PyTuple_GET_ITEM(connection, 0);
    rt::call_method(root, name<"removeHandler">(), {PyTuple_GET_ITEM(connection, 1)});
    // A level the application set meanwhile is its own.
    Ref level = rt::getattr(root, name<"level">());
    if (rt::equal(level.get(), PyTuple_GET_ITEM(connection, 3)))
        rt::call_method(root, name<"setLevel">(), {PyTuple_GET_ITEM(connection, 2)});
}

}  // namespace tlh
