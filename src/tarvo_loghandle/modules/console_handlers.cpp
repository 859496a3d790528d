#include "modules/console_handlers.hpp"

#include "modules/record_entry.hpp"
#include "text/library_calls.hpp"

namespace tlh {
namespace {

// Whether a handler's stream is the process's stderr or stdout.
bool is_console(PyObject* stream) {
    for (const char* which : {"stderr", "stdout", "__stderr__", "__stdout__"})
        if (PySys_GetObject(which) == stream) return true;
    Ref fd = Ref::steal(PyObject_CallMethod(stream, "fileno", nullptr));
    if (!fd) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) rt::throw_error();
        PyErr_Clear();  // a stream without a descriptor (io.StringIO): not the console
        return false;
    }
    long n = PyLong_Check(fd.get()) ? PyLong_AsLong(fd.get()) : -1;
    if (n == -1) PyErr_Clear();
    return n == 1 || n == 2;
}

// StreamHandler.emit while a handler runs: a record for the console goes into the log's stream;
// any other is emitted by logging's own emit (the closure's cell).
Ref console_emit(Bound a) {
    PyObject* self = a[0];
    PyObject* record = a[1];
    Ref stream = Ref::steal(PyObject_GetAttr(self, name<"stream">()));
    if (!stream) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) rt::throw_error();
        PyErr_Clear();
    }
    if (!stream || !is_console(stream.get())) return rt::call(a.cell(0).get(), {self, record});
    emit_record(a.globals(), self, record);
    return rt::none();
}

const rt::FunctionDef console_emit_def = {
    "emit",
    "StreamHandler.emit",
    {"self", "record"},
    console_emit,
    rt::FunctionKind::plain,
    "logging.StreamHandler.emit while tarvo_loghandle's log() runs: a record for the process's stderr or "
    "stdout becomes an entry of the log's stream; any other is emitted by logging's own emit."};

}  // namespace

Ref take_over_console_handlers(PyObject* g) {
    if (!rt::truth(global<"TAKE_CONSOLE_HANDLERS">(g).get())) return rt::none();
    Ref stream_handler = rt::getattr(global<"logging">(g).get(), name<"StreamHandler">());
    Ref attributes = rt::getattr(stream_handler.get(), name<"__dict__">());
    Ref original = Ref::steal(PyMapping_GetItemString(attributes.get(), "emit"));
    if (!original) {
        PyErr_Clear();
        return rt::none();
    }
    if (!library::is_python_function(original.get(), "logging", "emit")) return rt::none();
    Ref cell = rt::owned(PyCell_New(original.get()));
    Ref closure = rt::owned(PyTuple_Pack(1, cell.get()));
    Ref ours = rt::make_function(console_emit_def, g, closure.get());
    rt::setattr(stream_handler.get(), name<"emit">(), ours.get());
    return rt::tuple({stream_handler.get(), original.get(), ours.get()});
}

void give_back_console_handlers(PyObject*, PyObject* taken) {
    if (taken == Py_None) return;
    PyObject* stream_handler = PyTuple_GET_ITEM(taken, 0);
    Ref attributes = rt::getattr(stream_handler, name<"__dict__">());
    Ref now = Ref::steal(PyMapping_GetItemString(attributes.get(), "emit"));
    if (!now) PyErr_Clear();
    // An emit the application set meanwhile is its own.
    if (now.get() == PyTuple_GET_ITEM(taken, 2))
        rt::setattr(stream_handler, name<"emit">(), PyTuple_GET_ITEM(taken, 1));
}

}  // namespace tlh
