// Module tarvo_loghandle.pytest_plugin, for a service's own tests (`-p tarvo_loghandle.pytest_plugin`
// or `pytest_plugins = ["tarvo_loghandle.pytest_plugin"]`): the fixture log_entries collects the
// entries that the test logs, by TLogger and by Python's logging, as CapturedEntry tuples, without
// a handler or a terminal. For the test it connects Python's logging as log() does; a log() block
// that the test runs works as it always does, and its output is written as usual.
#include "modules/pytest_plugin.hpp"

#include "life/captured_entries.hpp"
#include "modules/stdlib.hpp"

namespace tlh {
namespace {

// LogEntries.close(self): the capture ends, and what it connected of logging is given back.
Ref close(Bound a) {
    PyObject* self = a[0];
    stop_capture(rt::getattr(self, name<"entries">()).get());
    Ref connection = rt::getattr(self, name<"_connection">());
    rt::setattr(self, name<"_connection">(), Py_None);
    if (connection.get() != Py_None) disconnect_stdlib_logging(connection.get());
    return rt::none();
}

const rt::FunctionDef close_def = {
    "close", "LogEntries.close",      {"self"},
    close,   rt::FunctionKind::plain, "Ends the capture (the fixture does, after the test)."};

// LogEntries.messages(self): the messages of the entries, in order.
Ref messages(Bound a) {
    Ref entries = rt::getattr(a[0], name<"entries">());
    Ref list = rt::owned(PyList_New(0));
    for (Ref& entry : rt::iterate(entries.get()))
        rt::check_int(PyList_Append(list.get(), rt::getattr(entry.get(), name<"message">()).get()));
    return list;
}

const rt::FunctionDef messages_def = {
    "messages", "LogEntries.messages",   {"self"},
    messages,   rt::FunctionKind::plain, "The messages of the entries logged so far, in order."};

// log_entries(request): the fixture.
Ref log_entries(Bound a) {
    PyObject* g = a.globals();
    PyObject* request = a[0];
    Ref capture = rt::call(global<"LogEntries">(g).get());
    Ref entries = rt::owned(PyList_New(0));
    rt::setattr(capture.get(), name<"entries">(), entries.get());
    rt::setattr(capture.get(), name<"_connection">(), Py_None);
    Ref closing = rt::getattr(capture.get(), name<"close">());
    rt::call_method(request, name<"addfinalizer">(), {closing.get()});
    start_capture(entries.get());
    rt::setattr(capture.get(), name<"_connection">(), connect_stdlib_logging(name<"tarvo_loghandle">(), true).get());
    return capture;
}

const rt::FunctionDef log_entries_def = {
    "log_entries",
    "log_entries",
    {"request"},
    log_entries,
    rt::FunctionKind::plain,
    "The entries the test logs, by TLogger and by Python's logging (connected for the test as log() "
    "connects it), from any thread, whether or not a handler runs: log_entries.entries, a list of "
    "CapturedEntry(level, logger, message, fields, context, exception, module, time), and "
    "log_entries.messages()."};

Ref make_log_entries_class(PyObject* g) {
    Ref ns = rt::owned(PyDict_New());
    rt::bind(ns.get(), "__module__", global<"__name__">(g).get());
    rt::bind(ns.get(), "__qualname__", name<"LogEntries">());
    rt::bind(ns.get(), "__doc__",
             name<"What the fixture log_entries gives a test: entries (CapturedEntry tuples, in the order they "
                  "were put) and messages().">());
    rt::bind(ns.get(), "close", rt::make_function(close_def, g).get());
    rt::bind(ns.get(), "messages", rt::make_function(messages_def, g).get());
    Ref bases = rt::tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    return rt::call(reinterpret_cast<PyObject*>(&PyType_Type), {name<"LogEntries">(), bases.get(), ns.get()});
}

}  // namespace

void exec_pytest_plugin(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    rt::bind(g, "__doc__",
             name<"The package's pytest plugin: the fixture log_entries, the entries a test logs.\n\n"
                  "    # conftest.py\n"
                  "    pytest_plugins = [\"tarvo_loghandle.pytest_plugin\"]\n\n"
                  "    def test_paid(log_entries):\n"
                  "        pay(12)\n"
                  "        [entry] = log_entries.entries\n"
                  "        assert entry.message == \"paid\" and entry.fields == {\"amount\": 12}">());
    rt::import_module(g, "pytest");
    rt::bind(g, "__all__", rt::owned(Py_BuildValue("[sss]", "log_entries", "LogEntries", "CapturedEntry")).get());
    rt::bind(g, "CapturedEntry", captured_entry_type().get());
    rt::bind(g, "LogEntries", make_log_entries_class(g).get());
    Ref fixture = rt::call(rt::getattr(global<"pytest">(g).get(), name<"fixture">()).get(),
                           {rt::make_function(log_entries_def, g).get()});
    rt::bind(g, "log_entries", fixture.get());
}

}  // namespace tlh
