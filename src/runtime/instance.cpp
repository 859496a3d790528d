#include "instance.hpp"

#include "call.hpp"
#include "text.hpp"

namespace rt {

namespace {

// The tp_init of a class whose __init__ is not one of C's own wrappers: the slot that looks the
// __init__ up and calls it with the arguments as a tuple and a dict.
initproc python_init = nullptr;

bool plain_class(PyObject* cls) {
    if (!python_init || !PyType_Check(cls) || cls == reinterpret_cast<PyObject*>(&PyType_Type)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    // Called as type.__call__ calls it (no metaclass __call__, no vectorcall of the class's own).
    return Py_TYPE(cls)->tp_call == PyType_Type.tp_call && type->tp_vectorcall == nullptr &&
           type->tp_new == PyBaseObject_Type.tp_new && type->tp_init == python_init;
}

// type.__init__ lookup: the class's __init__ through its MRO, a new reference, or null.
Ref init_of(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(_PyType_LookupRef(type, name<"__init__">()));
#else
    return Ref::incref(_PyType_Lookup(type, name<"__init__">()));
#endif
}

// What type.__call__ does once the instance is made: the class's tp_init with the arguments as a
// tuple and a dict.
void init_as_called(PyObject* self, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    Ref positional = owned(PyTuple_New(Py_ssize_t(nargs)));
    for (size_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    Ref keywords;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        keywords = owned(PyDict_New());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            check_int(PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + size_t(i)]));
    }
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_init) check_int(type->tp_init(self, positional.get(), keywords.get()));
}

}  // namespace

namespace detail {

void find_python_init_slot() {
    if (python_init) return;
    // Any __init__ but a C wrapper gives the class the generic slot; None is the simplest one.
    Ref attributes = owned(PyDict_New());
    check_int(PyDict_SetItem(attributes.get(), name<"__init__">(), Py_None));
    Ref bases = tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    Ref probe = call(reinterpret_cast<PyObject*>(&PyType_Type), {name<"init_probe">(), bases.get(), attributes.get()});
    initproc found = reinterpret_cast<PyTypeObject*>(probe.get())->tp_init;
    if (found && found != PyBaseObject_Type.tp_init) python_init = found;
}

}  // namespace detail

Ref make_instance(PyObject* cls, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    if (!plain_class(cls)) return owned(PyObject_Vectorcall(cls, args, nargs, kwnames));
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    // object.__new__ looks at the arguments only to refuse them where the class has no __init__ of
    // its own; this one has.
    Ref empty = owned(PyTuple_New(0));
    Ref self = owned(type->tp_new(type, empty.get(), nullptr));
    // The __init__ is read now: making the instance may have run a collection, and with it code
    // that changed the class.
    Ref init = Py_TYPE(self.get())->tp_init == python_init ? init_of(Py_TYPE(self.get())) : Ref();
    if (!init || !PyFunction_Check(init.get())) {
        if (PyErr_Occurred()) throw_error();
        init_as_called(self.get(), args, nargs, kwnames);
        return self;
    }
    constexpr size_t small = 16;
    size_t n = nargs + (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
    if (n + 2 > small) {
        init_as_called(self.get(), args, nargs, kwnames);
        return self;
    }
    PyObject* stack[small];
    stack[0] = nullptr;  // the scratch slot that PY_VECTORCALL_ARGUMENTS_OFFSET lends the callee
    stack[1] = self.get();
    for (size_t i = 0; i < n; ++i) stack[2 + i] = args[i];
    Ref result =
        owned(PyObject_Vectorcall(init.get(), stack + 1, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        throw_error();
    }
    return self;
}

}  // namespace rt
