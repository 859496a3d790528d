// Module tarvo_loghandle.loghandle_imp: its imports and constants, in the order the module
// binds them, and the class LoggingHandler.
#include "life/log_queue.hpp"
#include "package_base.hpp"

namespace tlh {
namespace {

// linesof(s): the parts of s between line feeds, as s.split("\n") gives them, one at a time.
rt::Gen linesof(Bound a) {
    rt::Local parts;  // held across the yields
    parts = rt::owned(PyObject_GetIter(split_lines(a[0]).get()));
    while (Ref part = Ref::steal(PyIter_Next(parts.get()))) co_yield std::move(part);
    if (PyErr_Occurred()) rt::throw_error();
}

Ref method(const rt::FunctionDef& def, PyObject* g, std::initializer_list<rt::Annotation> annotated) {
    rt::Annotations ann = rt::annotate(g, annotated);
    return rt::make_function(def, g, nullptr, &ann);
}

Ref make_logging_handler(PyObject* g) {
    Ref ns = rt::owned(PyDict_New());
    PyObject* d = ns.get();
    rt::bind(d, "__module__", global<"__name__">(g).get());
    rt::bind(d, "__qualname__", name<"LoggingHandler">());
    rt::bind(d, "__doc__",
             name<"The asynchronous log handler: a pump task moves entries from TLogger.queue into a splitter, a "
                  "writer task renders them to stderr. Start it with init(), close it with aclose(); "
                  "disable_stderr_writer() and enable_stderr_writer() pause and resume the output.">());

    rt::Annotations fields = rt::annotate(g, {{"splitter", "Optional[Splitter[LogEntry]]"},
                                              {"disabled", "bool"},
                                              {"task_pump", "'Task[None]'"},
                                              {"task_write", "'Task[None]'"}});
#if PY_VERSION_HEX >= 0x030E0000
    rt::bind(d, "__annotate__", rt::annotate_function(fields.values.get(), fields.texts.get()).get());
#else
    rt::bind(d, "__annotations__", fields.values.get());
#endif

    rt::bind(d, "__init__", method(handler_init_def, g, {{"return", "None"}}).get());
    rt::bind(d, "inited", method(inited_def, g, {{"return", "bool"}}).get());
    rt::bind(d, "init", method(init_def, g, {{"return", "None"}}).get());
    rt::bind(d, "aclose", method(aclose_def, g, {{"return", "None"}}).get());
    rt::bind(d, "disable_stderr_writer", method(disable_def, g, {{"return", "None"}}).get());
    rt::bind(d, "enable_stderr_writer", method(enable_def, g, {{"return", "None"}}).get());

    // The decorator is looked up, class namespace first, before the function is made.
    PyObject* in_class = PyDict_GetItemWithError(d, name<"async_errors">());
    if (!in_class && PyErr_Occurred()) rt::throw_error();
    Ref decorator = in_class ? Ref::incref(in_class) : global<"async_errors">(g);
    Ref writer = method(write_aiologs_def, g, {{"return", "None"}});
    rt::bind(d, "write_aiologs", rt::call(decorator.get(), {writer.get()}).get());

    Ref bases = rt::owned(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return rt::call(reinterpret_cast<PyObject*>(&PyType_Type), {name<"LoggingHandler">(), bases.get(), d});
}

}  // namespace

const rt::FunctionDef linesof_def = {
    "linesof",
    "linesof",
    {"s"},
    rt::generator_entry<linesof>,
    rt::FunctionKind::generator,
    "The parts of s between line feeds, as s.split(\"\\n\") gives them, one at a time."};

void exec_loghandle_imp(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    rt::bind(g, "__doc__",
             name<"The log handler: LoggingHandler, with the queue pump, the stderr writer and the rendering of "
                  "entries that it runs. STDERR is the path it writes to (\"/dev/stderr\": the process's own "
                  "stderr); without the environment variable T_LOG_STDERR, starting a handler sets "
                  "TLogger.enable_simple to False.">());
    for (const char* m : {"asyncio", "math", "os", "sys", "time", "traceback"}) rt::import_module(g, m);
    rt::import_from(g, "asyncio", {"CancelledError", "get_running_loop", "StreamWriter"});
    rt::import_from(g, "asyncio.tasks", {"Task"});
    rt::import_from(g, "typing", {"Any", "Iterator", "Optional", "Tuple", "TypeVar"});
    rt::import_module(g, "aiofiles");
    rt::import_module(g, "termcolor");
    rt::import_from(g, "tarvo_commons.logs", {"get_as_strings", "get_min_level", "LogEntry", "TLogger"});
    rt::import_from(g, "tarvo_commons.text", {"indent"});
    rt::import_from(g, "tarvo_commons.ui", {"get_colorize_function"});
    rt::import_from(g, "tarvo_utils_asyncio",
                    {"async_errors", "debug", "queue_get_multiple", "Splitter", "SplitterBadFinish"});
    rt::import_from(
        g, "tarvo_utils_asyncio.logentry",
        {"add_color", "color_function", "color_gray", "color_module", "color_red", "format_logentry_prefix"});
    rt::bind(g, "__all__", rt::owned(Py_BuildValue("[s]", "LoggingHandler")).get());
    rt::import_from(g, "tarvo_utils_asyncio", {"my_create_task"});
    rt::bind(g, "ENV_LOG_STDERR", name<"T_LOG_STDERR">());
    rt::bind(g, "STDERR", name<"/dev/stderr">());
    rt::bind(g, "color_raw_line", rt::call(global<"get_colorize_function">(g).get(), {name<"#0000ff">()}).get());
    rt::bind(g, "X", rt::call(global<"TypeVar">(g).get(), {name<"X">()}).get());

    rt::bind(g, "pump",
             method(pump_def, g, {{"q", "'asyncio.Queue[X]'"}, {"splitter", "Splitter[X]"}, {"return", "None"}}).get());
    rt::bind(g, "LoggingHandler", make_logging_handler(g).get());
    rt::bind(g, "linesof", method(linesof_def, g, {{"s", "str"}, {"return", "Iterator[str]"}}).get());
    // The output format, read when a handler starts: None defers to TARVO_LOG_FORMAT, else "terminal".
    rt::bind(g, "LOG_FORMAT", Py_None);
    // Where the journal format sends its records: the socket of systemd's journal.
    rt::bind(g, "JOURNAL_SOCKET", name<"/run/systemd/journal/socket">());
    // Entries logged before a handler starts wait for it (not a name of the module: its names and
    // their order are what callers know).
    start_waiting(g);
}

}  // namespace tlh
