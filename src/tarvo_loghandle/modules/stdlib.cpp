// Module tarvo_loghandle.stdlib: the records of Python's logging (third-party libraries, asyncio,
// logging.captureWarnings, a framework's console handlers) as entries of the same stream.
// RecordHandler is a logging.Handler that puts each record on TLogger's queue as a LogEntry; log()
// connects one to the root logger for its block when the application has not configured the root
// logger itself, takes the console handlers over for the block, and catches uncaught exceptions.
#include "modules/stdlib.hpp"

#include "modules/console_handlers.hpp"
#include "modules/record_entry.hpp"
#include "modules/uncaught.hpp"

namespace tlh {
namespace {

// emit(record): the record as an entry, put on the queue from whatever thread logs, in its order.
Ref emit(Bound a) {
    emit_record(a.globals(), a[0], a[1]);
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
                  "application's (AUTO_CONNECT = False turns that off), with records shown from INFO on, and takes "
                  "it away when the block ends. An application that configures logging itself adds one to its own "
                  "setup.\n\n"
                  "While the block runs, the StreamHandlers that write to the process's stderr or stdout (a "
                  "framework's console handlers) put their records in the stream too, instead of writing them "
                  "(TAKE_CONSOLE_HANDLERS = False turns that off). From the first block on, uncaught exceptions "
                  "(sys.excepthook, threading.excepthook) are CRITICAL entries (CATCH_UNCAUGHT = False turns that "
                  "off).">());
    rt::import_module(g, "logging");
    rt::import_from(g, "tarvo_commons.logs", {"get_min_level", "LogEntry", "StackInfo", "TLogger"});
    rt::bind(
        g, "__all__",
        rt::owned(Py_BuildValue("[ssss]", "RecordHandler", "AUTO_CONNECT", "TAKE_CONSOLE_HANDLERS", "CATCH_UNCAUGHT"))
            .get());
    rt::bind(g, "RecordHandler", make_record_handler(g).get());
    find_record_attributes(g);
    // Read when log() enters its block.
    rt::bind(g, "AUTO_CONNECT", Py_True);
    rt::bind(g, "TAKE_CONSOLE_HANDLERS", Py_True);
    rt::bind(g, "CATCH_UNCAUGHT", Py_True);
}

namespace {

// Sets a logger's level for the block and notes how to set it back.
void set_level(PyObject* changes, PyObject* logger, PyObject* level) {
    Ref before = rt::getattr(logger, name<"level">());
    rt::call_method(logger, name<"setLevel">(), {level});
    Ref change = rt::tuple({logger, before.get(), rt::getattr(logger, name<"level">()).get()});
    rt::check_int(PyList_Append(changes, change.get()));
}

// The levels of a logging the application has not configured: records from INFO on, as the
// standard library's basicConfig would show them, but for the root logger's WARNING, which is only
// its default; a logger whose prefix TARVO_LOG_LEVELS sets to DEBUG lets its DEBUG through, where
// the application has not set its level. Returns the changes, for give_back_levels.
Ref set_levels(PyObject* g, PyObject* root) {
    Ref logging = global<"logging">(g);
    Ref changes = rt::owned(PyList_New(0));
    Ref warning = rt::getattr(logging.get(), name<"WARNING">());
    if (rt::equal(rt::getattr(root, name<"level">()).get(), warning.get()))
        set_level(changes.get(), root, rt::getattr(logging.get(), name<"INFO">()).get());
    Ref environ = rt::getattr(rt::import("os").get(), name<"environ">());
    Ref wanted = rt::call_method(environ.get(), name<"get">(), {name<"TARVO_LOG_LEVELS">(), name<"">()});
    if (!PyUnicode_Check(wanted.get())) return changes;
    Ref debug = rt::getattr(logging.get(), name<"DEBUG">());
    Ref items = rt::call_method(wanted.get(), name<"split">(), {name<",">()});
    for (Ref& item : rt::iterate(items.get())) {
        Ref parts = rt::call_method(item.get(), name<"partition">(), {name<"=">()});
        Ref level =
            rt::call_method(rt::call_method(PyTuple_GET_ITEM(parts.get(), 2), name<"strip">()).get(), name<"upper">());
        if (!rt::equal(level.get(), name<"DEBUG">())) continue;
        Ref prefix = rt::call_method(PyTuple_GET_ITEM(parts.get(), 0), name<"strip">());
        Ref logger = rt::truth(prefix.get()) ? rt::call_method(logging.get(), name<"getLogger">(), {prefix.get()})
                                             : Ref::incref(root);
        Ref now = rt::getattr(logger.get(), name<"level">());
        bool unset = logger.get() == root || !rt::truth(now.get());
        if (unset) set_level(changes.get(), logger.get(), debug.get());
    }
    return changes;
}

// A level the application set meanwhile is its own.
void give_back_levels(PyObject* changes) {
    Py_ssize_t n = PyList_GET_SIZE(changes);
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        PyObject* change = PyList_GET_ITEM(changes, i);
        PyObject* logger = PyTuple_GET_ITEM(change, 0);
        if (rt::equal(rt::getattr(logger, name<"level">()).get(), PyTuple_GET_ITEM(change, 2)))
            rt::call_method(logger, name<"setLevel">(), {PyTuple_GET_ITEM(change, 1)});
    }
}

}  // namespace

Ref connect_stdlib_logging(PyObject* package, bool beside_other_handlers) {
    Ref module = stdlib_module(package);
    PyObject* g = PyModule_GetDict(module.get());
    catch_uncaught_exceptions(g);
    Ref taken = take_over_console_handlers(g);
    Ref handler = rt::none(), levels = rt::owned(PyList_New(0));
    Ref root = rt::getattr(global<"logging">(g).get(), name<"root">());
    // A root logger with a handler is the application's own setup; beside other handlers (a test
    // runner's), one RecordHandler is enough.
    Ref handlers = rt::getattr(root.get(), name<"handlers">());
    bool wanted = !rt::truth(handlers.get());
    if (beside_other_handlers) {
        wanted = true;
        for (Ref& h : rt::iterate(handlers.get()))
            if (rt::check_int(PyObject_IsInstance(h.get(), global<"RecordHandler">(g).get()))) wanted = false;
    }
    if (rt::truth(global<"AUTO_CONNECT">(g).get()) && wanted) {
        handler = rt::call(global<"RecordHandler">(g).get());
        levels = set_levels(g, root.get());
        rt::call_method(root.get(), name<"addHandler">(), {handler.get()});
    }
    return rt::tuple({module.get(), root.get(), handler.get(), levels.get(), taken.get()});
}

void disconnect_stdlib_logging(PyObject* connection) {
    PyObject* g = PyModule_GetDict(PyTuple_GET_ITEM(connection, 0));
    PyObject* root = PyTuple_GET_ITEM(connection, 1);
    if (PyTuple_GET_ITEM(connection, 2) != Py_None)
        rt::call_method(root, name<"removeHandler">(), {PyTuple_GET_ITEM(connection, 2)});
    give_back_levels(PyTuple_GET_ITEM(connection, 3));
    give_back_console_handlers(g, PyTuple_GET_ITEM(connection, 4));
}

}  // namespace tlh
