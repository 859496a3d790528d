#include "runtime.hpp"

namespace rt {

namespace {

// Registered with atexit: from here on daemon threads may be ended without the GIL.
PyObject* note_exit(PyObject*, PyObject*) {
    detail::exiting_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    detail::exiting.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}
PyMethodDef note_exit_def = {"_native_runtime_exiting", note_exit, METH_NOARGS, nullptr};

}  // namespace

void ready_types() {
    StaticType::ready_all();
    detail::find_python_init_slot();
    static bool registered = false;
    if (!registered) {
        Ref hook = owned(PyCFunction_New(&note_exit_def, nullptr));
        call_method(import("atexit").get(), name<"register">(), {hook.get()});
        registered = true;
    }
}

}  // namespace rt
