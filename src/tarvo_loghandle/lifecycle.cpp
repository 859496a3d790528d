// Starting a handler (a new process-wide queue, the splitter, the pump and writer tasks) and
// shutting it down in five announced steps, from the head of the chain to its tail.
#include "common.hpp"

namespace tlh {
namespace {

rt::Async init(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    rt::setattr(G("TLogger").get(), S("queue"), rt::call(rt::getattr(G("asyncio").get(), S("Queue")).get()).get());
    Ref loop = rt::call_method(G("asyncio").get(), S("get_running_loop"));
    Ref loop_id = rt::owned(PyLong_FromVoidPtr(loop.get()));
    debug(g, rt::concat({S("for logging handler, looop is "), loop_id.get()}));
    debug(g, S("Started also regular logs"));

    Ref logger_limits = rt::owned(Py_BuildValue("{s:i,s:i,s:i}", "prune_if_bigger", 100, "prune_age_s", 30, "max_size", 100));
    Ref kwargs = rt::owned(Py_BuildValue("{s:s}", "name", "logs"));
    rt::check_int(PyDict_Update(kwargs.get(), logger_limits.get()));
    Ref args = rt::owned(PyTuple_Pack(1, G("LogEntry").get()));
    Ref make_init = rt::getattr(G("Splitter").get(), S("make_init"));
    Ref making = rt::owned(PyObject_Call(make_init.get(), args.get(), kwargs.get()));
    Ref splitter = co_await rt::await(std::move(making));
    rt::setattr(self, S("splitter"), splitter.get());

    Ref pump_coro = rt::call(G("pump").get(), {rt::getattr(G("TLogger").get(), S("queue")).get(),
                                                rt::getattr(self, S("splitter")).get()});
    Ref task_pump = rt::call(G("my_create_task").get(), {pump_coro.get(), S("logs:pump-to-splitter")});
    rt::setattr(self, S("task_pump"), task_pump.get());
    Ref writer_coro = rt::call_method(self, S("write_aiologs"));
    Ref task_write = rt::call(G("my_create_task").get(), {writer_coro.get(), S("logs:write_aiologs")});
    rt::setattr(self, S("task_write"), task_write.get());

    Ref environ = rt::getattr(G("os").get(), S("environ"));
    if (!rt::check_int(PySequence_Contains(environ.get(), G("ENV_LOG_STDERR").get())))
        rt::setattr(G("TLogger").get(), S("enable_simple"), Py_False);
    co_return rt::none();
}

rt::Async aclose(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    debug(g, S("Closing logging handler: 1/5: closing the queue"));
    Ref put = rt::getattr(rt::getattr(G("TLogger").get(), S("queue")).get(), S("put"));
    Ref putting = rt::call(put.get(), {rt::getattr(G("TLogger").get(), S("queue_sentinel_eof")).get()});
    co_await rt::await(std::move(putting));

    debug(g, S("Closing logging handler: 2/5: Awaiting task_pump to finish"));
    Ref task_pump = rt::getattr(self, S("task_pump"));
    co_await rt::await(std::move(task_pump));

    debug(g, S("Closing logging handler: 3/5: Awaiting task_write to finish"));
    Ref task_write = rt::getattr(self, S("task_write"));
    co_await rt::await(std::move(task_write));

    debug(g, S("Closing logging handler: 4/5: closing splitter"));
    if (rt::getattr(self, S("splitter")).get() != Py_None) {
        Ref closing = rt::call_method(rt::getattr(self, S("splitter")).get(), S("aclose"));
        co_await rt::await(std::move(closing));
    }
    debug(g, S("Closing logging handler: 5/5: DONE"));
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef init_def = {"init", "LoggingHandler.init", {"self"}, rt::coroutine_entry<init>,
                                  rt::FunctionKind::coroutine};
const rt::FunctionDef aclose_def = {"aclose", "LoggingHandler.aclose", {"self"}, rt::coroutine_entry<aclose>,
                                    rt::FunctionKind::coroutine};

}  // namespace tlh
