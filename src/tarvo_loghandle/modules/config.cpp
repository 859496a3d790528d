// Module tarvo_loghandle.config: the context managers a service wraps its run in. `log` runs
// a LoggingHandler for the duration of the block and offers it to the service's other tasks.
#include "life/sigterm.hpp"
#include "modules/stdlib.hpp"
#include "package_base.hpp"

namespace tlh {
namespace {

// f(_sti) -> the handler made by the same entry of `log`; closure cell: (logger_handler,)
rt::Async provide_handler(Bound a) { co_return a.cell(0); }

const rt::FunctionDef f_def = {
    "f", "log.<locals>.f", {"_sti"}, rt::coroutine_entry<provide_handler>, rt::FunctionKind::coroutine};

rt::AsyncGen nolog(Bound a) {
    PyObject* sc = a[1];
    // Read, as the configuration must offer them, and not kept: nothing here uses them.
    rt::getattr(sc, name<"extra_config">());
    rt::getattr(sc, name<"working_dir">());
    co_yield rt::none();
}

rt::AsyncGen log(Bound a) {
    PyObject* g = a.globals();
    PyObject* sti = a[0];
    PyObject* sc = a[1];
    // Read, as the configuration must offer them, and not kept: nothing here uses them.
    rt::getattr(sc, name<"extra_config">());
    rt::getattr(sc, name<"working_dir">());
    rt::Local logger_handler;  // it lives across the block's awaits
    logger_handler = rt::call(global<"LoggingHandler">(g).get());
    Ref initialising = rt::call_method(logger_handler.get(), name<"init">());
    co_await rt::await(std::move(initialising));

    Ref registering;
    {
        Ref handler_cell = rt::owned(PyCell_New(logger_handler.get()));
        Ref closure = rt::owned(PyTuple_Pack(1, handler_cell.get()));
        rt::Annotations f_ann = rt::annotate(g, {{"_sti", "SyncTaskInterface"}, {"return", "LoggingHandler"}});
        Ref f = rt::make_function(f_def, g, closure.get(), &f_ann);
        registering = rt::call_method(sti, name<"set_interface_gen">(), {global<"SERVICE_LOG">(g).get(), f.get()});
    }
    co_await rt::await(std::move(registering));

    // For the block: Python's logging in the same stream, and SIGTERM writing out the log first.
    rt::Local connection, armed;
    connection = connect_stdlib_logging(global<"__package__">(g).get());
    armed = arm_sigterm(g, logger_handler.get());

    Caught caught;
    try {
        co_yield rt::none();
        static PyObject* const pause = rt::check(PyFloat_FromDouble(0.2));
        Ref sleeping = rt::call_method(global<"asyncio">(g).get(), name<"sleep">(), {pause});
        co_await rt::await(std::move(sleeping));
    } catch (PyErr& e) {
        caught = std::move(e);
    }

    Caught leaving;  // what leaves the except or else clause: the finally clause runs with it pending
    try {
        if (caught) {
            rt::Except handling(caught);
            debug(g, rt::concat({name<"log finishes exception: ">(), format_exc(g).get()}));
            caught.reraise();
        }
        debug(g, name<"log graceful exit">());
    } catch (PyErr& e) {
        leaving = std::move(e);
    }
    {
        rt::Except finally(leaving);
        debug(g, name<"log closing logger_handler">());
        Ref closing = rt::call_method(logger_handler.get(), name<"aclose">());
        Caught close_failed;
        try {
            co_await rt::await(std::move(closing));
        } catch (PyErr& e) {
            close_failed = std::move(e);
        }
        disarm_sigterm(armed.get());
        disconnect_stdlib_logging(connection.get());
        close_failed.reraise_if_any();
        debug(g, name<"log closed logger_handler">());
    }
    leaving.reraise_if_any();
}

const rt::FunctionDef nolog_def = {
    "nolog",
    "nolog",
    {"sti", "sc"},
    rt::async_generator_entry<nolog>,
    rt::FunctionKind::async_generator,
    "The drop-in for log() that starts no handler: it only reads sc.extra_config and sc.working_dir."};
const rt::FunctionDef log_def = {
    "log",
    "log",
    {"sti", "sc"},
    rt::async_generator_entry<log>,
    rt::FunctionKind::async_generator,
    "Runs a LoggingHandler for the duration of the block and registers it under SERVICE_LOG with sti; "
    "closes it when the block ends, however it ends."};

// @asynccontextmanager over def: the decorator is evaluated before the annotations.
Ref context_manager(PyObject* g, const rt::FunctionDef& def) {
    Ref decorator = global<"asynccontextmanager">(g);
    rt::Annotations ann =
        rt::annotate(g, {{"sti", "SyncTaskInterface"}, {"sc", "ServiceConfig"}, {"return", "AsyncIterator[None]"}});
    Ref fn = rt::make_function(def, g, nullptr, &ann);
    return rt::call(decorator.get(), {fn.get()});
}

}  // namespace

void exec_config(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    rt::bind(g, "__doc__",
             name<"The context managers a service wraps its run in: log(sti, sc) runs a LoggingHandler for the "
                  "block, nolog(sti, sc) runs none.">());
    rt::import_module(g, "asyncio");
    rt::import_module(g, "traceback");
    rt::import_from(g, "contextlib", {"asynccontextmanager"});
    rt::import_from(g, "typing", {"AsyncIterator"});
    rt::import_from(g, "tarvo_utils_asyncio", {"debug", "SyncTaskInterface"});
    rt::import_from(g, "tarvo_kivo_interfaces", {"SERVICE_LOG", "ServiceConfig"});
    rt::import_from(g, "loghandle_imp", {"LoggingHandler"}, 1);
    rt::bind(g, "__all__", rt::owned(Py_BuildValue("[ss]", "nolog", "log")).get());
    rt::bind(g, "nolog", context_manager(g, nolog_def).get());
    rt::bind(g, "log", context_manager(g, log_def).get());
}

}  // namespace tlh
