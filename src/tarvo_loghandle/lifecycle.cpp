// Starting a handler (a new process-wide queue, the splitter, the pump and writer tasks) and
// shutting it down in five announced steps, from the head of the chain to its tail.
#include "common.hpp"

namespace tlh {
namespace {

rt::Async init(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    rt::setattr(global<"TLogger">(g).get(), name<"queue">(), rt::call(rt::getattr(global<"asyncio">(g).get(), name<"Queue">()).get()).get());
    Ref loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
    Ref loop_id = rt::owned(PyLong_FromVoidPtr(loop.get()));
    debug(g, rt::concat({name<"for logging handler, looop is ">(), loop_id.get()}));
    debug(g, name<"Started also regular logs">());

    Ref logger_limits = rt::owned(Py_BuildValue("{s:i,s:i,s:i}", "prune_if_bigger", 100, "prune_age_s", 30, "max_size", 100));
    Ref kwargs = rt::owned(Py_BuildValue("{s:s}", "name", "logs"));
    rt::check_int(PyDict_Update(kwargs.get(), logger_limits.get()));
    Ref args = rt::owned(PyTuple_Pack(1, global<"LogEntry">(g).get()));
    Ref make_init = rt::getattr(global<"Splitter">(g).get(), name<"make_init">());
    Ref making = rt::owned(PyObject_Call(make_init.get(), args.get(), kwargs.get()));
    Ref splitter = co_await rt::await(std::move(making));
    rt::setattr(self, name<"splitter">(), splitter.get());

    Ref pump_coro = rt::call(global<"pump">(g).get(), {rt::getattr(global<"TLogger">(g).get(), name<"queue">()).get(),
                                                rt::getattr(self, name<"splitter">()).get()});
    Ref task_pump = rt::call(global<"my_create_task">(g).get(), {pump_coro.get(), name<"logs:pump-to-splitter">()});
    rt::setattr(self, name<"task_pump">(), task_pump.get());
    Ref writer_coro = rt::call_method(self, name<"write_aiologs">());
    Ref task_write = rt::call(global<"my_create_task">(g).get(), {writer_coro.get(), name<"logs:write_aiologs">()});
    rt::setattr(self, name<"task_write">(), task_write.get());

    Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
    if (!rt::check_int(PySequence_Contains(environ.get(), global<"ENV_LOG_STDERR">(g).get())))
        rt::setattr(global<"TLogger">(g).get(), name<"enable_simple">(), Py_False);
    co_return rt::none();
}

rt::Async aclose(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    debug(g, name<"Closing logging handler: 1/5: closing the queue">());
    Ref put = rt::getattr(rt::getattr(global<"TLogger">(g).get(), name<"queue">()).get(), name<"put">());
    Ref putting = rt::call(put.get(), {rt::getattr(global<"TLogger">(g).get(), name<"queue_sentinel_eof">()).get()});
    co_await rt::await(std::move(putting));

    debug(g, name<"Closing logging handler: 2/5: Awaiting task_pump to finish">());
    Ref task_pump = rt::getattr(self, name<"task_pump">());
    co_await rt::await(std::move(task_pump));

    debug(g, name<"Closing logging handler: 3/5: Awaiting task_write to finish">());
    Ref task_write = rt::getattr(self, name<"task_write">());
    co_await rt::await(std::move(task_write));

    debug(g, name<"Closing logging handler: 4/5: closing splitter">());
    if (rt::getattr(self, name<"splitter">()).get() != Py_None) {
        Ref closing = rt::call_method(rt::getattr(self, name<"splitter">()).get(), name<"aclose">());
        co_await rt::await(std::move(closing));
    }
    debug(g, name<"Closing logging handler: 5/5: DONE">());
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef init_def = {"init", "LoggingHandler.init", {"self"}, rt::coroutine_entry<init>,
                                  rt::FunctionKind::coroutine};
const rt::FunctionDef aclose_def = {"aclose", "LoggingHandler.aclose", {"self"}, rt::coroutine_entry<aclose>,
                                    rt::FunctionKind::coroutine};

}  // namespace tlh
