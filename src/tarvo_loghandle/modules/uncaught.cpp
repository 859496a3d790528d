#include "modules/uncaught.hpp"

#include "modules/record_entry.hpp"

namespace tlh {
namespace {

// The entry of an uncaught exception, logged by "uncaught" from where it was raised: the innermost
// frame of its traceback.
void put_uncaught(PyObject* g, PyObject* exception, PyObject* message, PyObject* thread) {
    Ref filename = rt::str(""), function = rt::str(""), line = rt::none(), module = rt::str("__main__");
    Ref tb = Ref::steal(PyException_GetTraceback(exception));
    while (tb && tb.get() != Py_None) {
        Ref next = rt::getattr(tb.get(), name<"tb_next">());
        if (next.get() == Py_None) break;
        tb = std::move(next);
    }
    if (tb && tb.get() != Py_None) {
        Ref frame = rt::getattr(tb.get(), name<"tb_frame">());
        Ref code = rt::getattr(frame.get(), name<"f_code">());
        filename = rt::getattr(code.get(), name<"co_filename">());
        function = rt::getattr(code.get(), name<"co_name">());
        line = rt::getattr(tb.get(), name<"tb_lineno">());
        Ref globals = rt::getattr(frame.get(), name<"f_globals">());
        if (PyDict_Check(globals.get()))
            if (Ref m = rt::dict_item(globals.get(), name<"__name__">()); m && PyUnicode_Check(m.get())) module = m;
    }
    Ref stack = rt::call(global<"StackInfo">(g).get(), {filename.get(), function.get(), line.get()});
    Ref now = rt::call_method(rt::import("time").get(), name<"time">());
    Ref prefix = rt::tuple({name<"uncaught">()});
    Ref no_fields = rt::owned(PyDict_New());
    Ref entry = make_entry(g, {message, now.get(), name<"CRITICAL">(), prefix.get(), module.get(), stack.get(),
                               exception, thread, no_fields.get()});
    put_entry(g, entry.get());  // shown whatever the minimum levels say
}

// Python's hook, for what cannot be put in the log.
Ref pass_on(Bound a, std::initializer_list<PyObject*> args) {
    Ref original = a.cell(0);
    return rt::call(original.get(), args);
}

// sys.excepthook(type, value, traceback)
Ref sys_hook(Bound a) {
    PyObject* value = a[1];
    if (!PyExceptionInstance_Check(value)) return pass_on(a, {a[0], a[1], a[2]});
    try {
        Ref main_thread = rt::call_method(rt::import("threading").get(), name<"current_thread">());
        put_uncaught(a.globals(), value, name<"Uncaught exception">(),
                     rt::getattr(main_thread.get(), name<"name">()).get());
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return pass_on(a, {a[0], a[1], a[2]});
    }
    return rt::none();
}

// threading.excepthook(args): SystemExit ends a thread silently, as Python's hook has it.
Ref thread_hook(Bound a) {
    PyObject* args = a[0];
    try {
        Ref value = rt::getattr(args, name<"exc_value">());
        if (!PyExceptionInstance_Check(value.get()) || PyErr_GivenExceptionMatches(value.get(), PyExc_SystemExit))
            return pass_on(a, {args});
        Ref thread = rt::getattr(args, name<"thread">());
        Ref thread_name = thread.get() == Py_None ? rt::none() : rt::getattr(thread.get(), name<"name">());
        Ref message = thread_name.get() == Py_None
                          ? Ref::incref(name<"Uncaught exception in a thread">())
                          : rt::concat({name<"Uncaught exception in thread ">(), rt::to_str(thread_name.get()).get()});
        put_uncaught(a.globals(), value.get(), message.get(), thread_name.get());
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return pass_on(a, {args});
    }
    return rt::none();
}

const rt::FunctionDef sys_hook_def = {
    "excepthook",
    "excepthook",
    {"type", "value", "traceback"},
    sys_hook,
    rt::FunctionKind::plain,
    "sys.excepthook while tarvo_loghandle writes the log: the exception as a CRITICAL entry of its stream."};
const rt::FunctionDef thread_hook_def = {
    "excepthook",
    "excepthook",
    {"args"},
    thread_hook,
    rt::FunctionKind::plain,
    "threading.excepthook while tarvo_loghandle writes the log: the exception as a CRITICAL entry of its stream."};

// Sets owner.attribute to a hook made of `def` when it is still Python's own (owner.original).
void install(PyObject* g, PyObject* owner, PyObject* attribute, PyObject* original_name, const rt::FunctionDef& def) {
    Ref now = rt::getattr(owner, attribute);
    Ref original = Ref::steal(PyObject_GetAttr(owner, original_name));
    if (!original) {
        PyErr_Clear();
        return;
    }
    if (now.get() != original.get()) return;  // the application's own
    Ref cell = rt::owned(PyCell_New(original.get()));
    Ref closure = rt::owned(PyTuple_Pack(1, cell.get()));
    rt::setattr(owner, attribute, rt::make_function(def, g, closure.get()).get());
}

}  // namespace

void catch_uncaught_exceptions(PyObject* g) {
    if (!rt::truth(global<"CATCH_UNCAUGHT">(g).get())) return;
    Ref sys = rt::import("sys");
    install(g, sys.get(), name<"excepthook">(), name<"__excepthook__">(), sys_hook_def);
    Ref threading = rt::import("threading");
    install(g, threading.get(), name<"excepthook">(), name<"__excepthook__">(), thread_hook_def);
}

}  // namespace tlh
