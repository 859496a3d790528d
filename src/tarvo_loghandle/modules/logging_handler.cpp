// LoggingHandler's constructor, its query, and the switches that pause and resume its output.
#include "package_base.hpp"

namespace tlh {
namespace {

Ref init_handler(Bound a) {
    PyObject* self = a[0];
    rt::setattr(self, name<"splitter">(), Py_None);
    rt::setattr(self, name<"disabled">(), Py_False);
    return rt::none();
}

Ref inited(Bound a) {
    Ref splitter = rt::getattr(a[0], name<"splitter">());
    return rt::boolean(splitter.get() != Py_None);
}

Ref disable_stderr_writer(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    if (rt::truth(rt::getattr(self, name<"disabled">()).get())) {
        debug(g, name<"stderr_writer was ALREADY disabled.">());
        return rt::none();
    }
    debug(g, name<"stderr_writer was disabled.">());
    rt::setattr(self, name<"disabled">(), Py_True);
    return rt::none();
}

Ref enable_stderr_writer(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    if (!rt::truth(rt::getattr(self, name<"disabled">()).get())) {
        debug(g, name<"stderr_writer was ALREADY enabled.">());
        return rt::none();
    }
    debug(g, name<"stderr_writer was re-enabled.">());
    rt::setattr(self, name<"disabled">(), Py_False);
    return rt::none();
}

}  // namespace

const rt::FunctionDef handler_init_def = {
    "__init__",   "LoggingHandler.__init__", {"self"},
    init_handler, rt::FunctionKind::plain,   "A handler that has started nothing: splitter None, output enabled."};
const rt::FunctionDef inited_def = {
    "inited", "LoggingHandler.inited", {"self"},
    inited,   rt::FunctionKind::plain, "True once init() has obtained the handler's splitter."};
const rt::FunctionDef disable_def = {
    "disable_stderr_writer",
    "LoggingHandler.disable_stderr_writer",
    {"self"},
    disable_stderr_writer,
    rt::FunctionKind::plain,
    "Pauses the output: chunks that reach the writer are dropped until enable_stderr_writer()."};
const rt::FunctionDef enable_def = {"enable_stderr_writer",
                                    "LoggingHandler.enable_stderr_writer",
                                    {"self"},
                                    enable_stderr_writer,
                                    rt::FunctionKind::plain,
                                    "Resumes the output paused by disable_stderr_writer()."};

}  // namespace tlh
