// A test-only extension over the runtime layer: small native functions that exercise each
// bridge, driven from Python by the runtime tests.
#include "runtime/runtime.hpp"

#include <unistd.h>

#include <atomic>
#include <vector>

using rt::Bound;
using rt::PyErr;
using rt::Ref;

namespace {

// await aw; return its result
rt::Async await_value(Bound a) {
    Ref target = Ref::incref(a[0]);
    Ref r = co_await rt::await(std::move(target));
    co_return r;
}

// return (await a, await b)
rt::Async await_both(Bound a) {
    Ref first = Ref::incref(a[0]);
    rt::Local x;  // held across the second await
    x = co_await rt::await(std::move(first));
    Ref second = Ref::incref(a[1]);
    Ref y = co_await rt::await(std::move(second));
    co_return rt::owned(PyTuple_Pack(2, x.get(), y.get()));
}

// return v, without awaiting anything
rt::Async returning(Bound a) { co_return Ref::incref(a[0]); }

// raise exc
rt::Async raising(Bound a) {
    rt::restore_exception(rt::Borrowed(a[0]));
    rt::throw_error();
    co_return rt::none();
}

// try: return ("ok", await aw)
// except BaseException as e: r = await handler(e); if r == "reraise": raise; return ("handled", r)
rt::Async catching(Bound a) {
    rt::Caught caught;
    try {
        Ref target = Ref::incref(a[0]);
        Ref r = co_await rt::await(std::move(target));
        co_return rt::owned(Py_BuildValue("(sO)", "ok", r.get()));
    } catch (PyErr& e) {
        caught = std::move(e);
    }
    rt::Except handling(caught);
    Ref coro = rt::call(a[1], {caught.value()});
    Ref r = co_await rt::await(std::move(coro));
    if (PyUnicode_Check(r.get()) && PyUnicode_CompareWithASCIIString(r.get(), "reraise") == 0) caught.reraise();
    co_return rt::owned(Py_BuildValue("(sO)", "handled", r.get()));
}

// kept = make(); return (kept, await aw): `kept` lives across the await, in a Local
rt::Async hold_local(Bound a) {
    rt::Local kept;
    kept = rt::call(a[0]);
    Ref target = Ref::incref(a[1]);
    Ref r = co_await rt::await(std::move(target));
    co_return rt::tuple({kept.get(), r.get()});
}

// try: raise make() except BaseException: await aw; raise: the exception lives across the await,
// in a Caught
rt::Async hold_exception(Bound a) {
    rt::Caught caught;
    try {
        Ref exc = rt::call(a[0]);
        rt::restore_exception(exc);
        rt::throw_error();
    } catch (PyErr& e) {
        caught = std::move(e);
    }
    Ref target = Ref::incref(a[1]);
    co_await rt::await(std::move(target));
    caught.reraise();
}

// for i in range(n): yield i
rt::Gen count(Bound a) {
    long n = PyLong_AsLong(a[0]);
    for (long i = 0; i < n; ++i) co_yield rt::integer(i);
}

// log("enter"); try: yield None
// except BaseException: log("except", format_exc-visible exc); await pause(); raise
// else: await pause(); log("exit")
rt::AsyncGen managed(Bound a) {
    PyObject* log = a[0];
    PyObject* pause = a[1];
    rt::call(log, {rt::name<"enter">()});
    rt::Caught caught;
    try {
        co_yield rt::none();
    } catch (PyErr& e) {
        caught = std::move(e);
    }
    if (caught) {
        rt::Except handling(caught);
        {
            Ref info = rt::call(rt::getattr(rt::import("sys").get(), rt::name<"exc_info">()).get());
            rt::call(log, {rt::name<"except">(), PyTuple_GET_ITEM(info.get(), 1)});
        }
        Ref p = rt::call(pause);
        co_await rt::await(std::move(p));
        caught.reraise();
    }
    Ref p = rt::call(pause);
    co_await rt::await(std::move(p));
    rt::call(log, {rt::name<"exit">()});
}

// for x in items: y = yield x; log(y); then awaits pause between items.
// The iterator lives across suspensions: it is a frame-held local, seen by the collector.
rt::AsyncGen echo_items(Bound a) {
    rt::Local it;
    it = rt::owned(PyObject_GetIter(a[0]));
    while (PyObject* x = PyIter_Next(it.get())) {
        Ref sent = co_yield Ref::steal(x);
        rt::call(a[1], {sent.get()});
        sent.reset();
        Ref p = rt::call(a[2]);
        co_await rt::await(std::move(p));
    }
    if (PyErr_Occurred()) rt::throw_error();
}

Ref add(Bound a) { return rt::owned(PyNumber_Add(a[0], a[1])); }

Ref decimal_text(Bound a) {
    long long v = PyLong_AsLongLong(a[0]);
    if (v == -1 && PyErr_Occurred()) rt::throw_error();
    return rt::ascii("#", v, " of ", v);
}

Ref global_x(Bound a) { return rt::global<"x">(a.globals()); }
Ref attribute_value(Bound a) { return rt::attribute<"value">(a[0]); }
Ref attribute_dict(Bound a) { return rt::attribute<"__dict__">(a[0]); }

// cls(*args, **kwargs) through rt::make_instance: args a tuple, kwargs a dict.
Ref make_instance(Bound a) {
    std::vector<PyObject*> stack;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a[1]); ++i) stack.push_back(PyTuple_GET_ITEM(a[1], i));
    size_t nargs = stack.size();
    Ref names = rt::owned(PyTuple_New(PyDict_GET_SIZE(a[2])));
    Py_ssize_t at = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(a[2], &at, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(key));
        stack.push_back(value);
    }
    return rt::make_instance(a[0], stack.data(), nargs, PyTuple_GET_SIZE(names.get()) ? names.get() : nullptr);
}

// The texts of a DecimalCount from 0 to n, one str each, with its value after the last step.
Ref counted_texts(Bound a) {
    long long n = PyLong_AsLongLong(a[0]);
    if (n == -1 && PyErr_Occurred()) rt::throw_error();
    Ref texts = rt::owned(PyList_New(0));
    rt::DecimalCount count;
    for (long long k = 0; k <= n; ++k, ++count) rt::check_int(PyList_Append(texts.get(), rt::ascii("#", count).get()));
    rt::check_int(PyList_Append(texts.get(), rt::integer(count.value()).get()));
    return texts;
}

// Once armed, each walk of a Watched value lasts a while, and a walk that sees the value torn
// down under it ends the process with code 3: what a collector walking a frame's values meets if
// a thread ended at exit destroys them meanwhile.
std::atomic<bool> slow_walks{false};

struct Watched {
    std::atomic<bool> alive{true};
    ~Watched() { alive.store(false); }
    int traverse(visitproc, void*) const {
        for (int i = 0; i < 40 && slow_walks.load(); ++i) {
            usleep(10000);
            if (!alive.load()) {
                static const char said[] = "a held value was torn down during a walk\n";
                (void)!write(2, said, sizeof said - 1);
                _exit(3);
            }
        }
        return 0;
    }
};

// w = Watched(); return call(): the value is held while call() runs
rt::Async hold_while_calling(Bound a) {
    rt::Held<Watched> watched;
    co_return rt::call(a[0]);
}

Ref arm_slow_walks(Bound) {
    slow_walks.store(true);
    return rt::none();
}

const rt::FunctionDef defs[] = {
    {"await_value", "await_value", {"aw"}, rt::coroutine_entry<await_value>, rt::FunctionKind::coroutine},
    {"await_both", "await_both", {"a", "b"}, rt::coroutine_entry<await_both>, rt::FunctionKind::coroutine},
    {"returning", "returning", {"value"}, rt::coroutine_entry<returning>, rt::FunctionKind::coroutine},
    {"raising", "raising", {"exc"}, rt::coroutine_entry<raising>, rt::FunctionKind::coroutine},
    {"catching", "catching", {"aw", "handler"}, rt::coroutine_entry<catching>, rt::FunctionKind::coroutine},
    {"count", "count", {"n"}, rt::generator_entry<count>, rt::FunctionKind::generator},
    {"hold_local", "hold_local", {"make", "aw"}, rt::coroutine_entry<hold_local>, rt::FunctionKind::coroutine},
    {"hold_exception",
     "hold_exception",
     {"make", "aw"},
     rt::coroutine_entry<hold_exception>,
     rt::FunctionKind::coroutine},
    {"managed", "managed", {"log", "pause"}, rt::async_generator_entry<managed>, rt::FunctionKind::async_generator},
    {"echo_items",
     "echo_items",
     {"items", "log", "pause"},
     rt::async_generator_entry<echo_items>,
     rt::FunctionKind::async_generator},
    {"hold_while_calling",
     "hold_while_calling",
     {"call"},
     rt::coroutine_entry<hold_while_calling>,
     rt::FunctionKind::coroutine},
    {"arm_slow_walks", "arm_slow_walks", {}, arm_slow_walks, rt::FunctionKind::plain},
    {"add", "Adder.add", {"self", "other"}, add, rt::FunctionKind::plain},
    {"decimal_text", "decimal_text", {"v"}, decimal_text, rt::FunctionKind::plain},
    {"make_instance", "make_instance", {"cls", "args", "kwargs"}, make_instance, rt::FunctionKind::plain},
    {"counted_texts", "counted_texts", {"n"}, counted_texts, rt::FunctionKind::plain},
    {"global_x", "global_x", {}, global_x, rt::FunctionKind::plain},
    {"attribute_value", "attribute_value", {"o"}, attribute_value, rt::FunctionKind::plain},
    {"attribute_dict", "attribute_dict", {"o"}, attribute_dict, rt::FunctionKind::plain},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "rt_testmod", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_rt_testmod() {
    return rt::guard(
        [] {
            rt::ready_types();
            Ref m = rt::owned(PyModule_Create(&module_def));
#ifdef Py_GIL_DISABLED
            rt::check_int(PyUnstable_Module_SetGIL(m.get(), Py_MOD_GIL_NOT_USED));  // as the package's
#endif
            PyObject* globals = PyModule_GetDict(m.get());
            for (const auto& d : defs) {
                rt::Annotations ann = rt::annotate(globals, {{"return", "None"}});
                Ref fn = rt::make_function(d, globals, nullptr, &ann);
                rt::check_int(PyModule_AddObjectRef(m.get(), d.name, fn.get()));
            }
            return m.release();
        },
        static_cast<PyObject*>(nullptr));
}
