// Module tarvo_loghandle.context: fields bound for the current context, shown with every entry
// logged in it. They live in a contextvars.ContextVar, so each asyncio task has its own (a task
// starts with a copy of the context it was created in), and asyncio.to_thread takes them along.
// The dict a context holds is never changed once set: binding makes a new one, so a task that
// inherited it cannot change what its parent sees. The values are read when the entry is put on
// the queue (life/logged_values.cpp), in the thread that logs it.
#include "modules/context.hpp"

#include "life/logged_values.hpp"
#include "process_state.hpp"
#include "text/trace_ids.hpp"

#include <new>

namespace tlh {
namespace {

PyObject* fields_var() { return process().bound_fields.get(); }

// The bound fields of the current context with `more` after them (theirs win), and without `less`.
Ref fields_with(PyObject* more, PyObject* less) {
    Ref now = bound_fields_now();
    Ref fields = rt::owned(now ? PyDict_Copy(now.get()) : PyDict_New());
    if (more) rt::check_int(PyDict_Update(fields.get(), more));
    if (less) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(less); ++i) {
            if (PyDict_DelItem(fields.get(), PyTuple_GET_ITEM(less, i)) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) rt::throw_error();
                PyErr_Clear();
            }
        }
    }
    return fields;
}

void set_fields(PyObject* fields) { Ref token = rt::owned(PyContextVar_Set(fields_var(), fields)); }

void no_positional(PyObject* args, const char* what) {
    if (args && PyTuple_GET_SIZE(args)) {
        PyErr_Format(PyExc_TypeError, "%s takes keyword arguments only (fields by name)", what);
        rt::throw_error();
    }
}

PyObject* bind(PyObject*, PyObject* args, PyObject* kwargs) {
    return rt::guard(
        [&]() -> PyObject* {
            no_positional(args, "bind()");
            if (kwargs && PyDict_GET_SIZE(kwargs)) set_fields(fields_with(kwargs, nullptr).get());
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* unbind(PyObject*, PyObject* args) {
    return rt::guard(
        [&]() -> PyObject* {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
                PyObject* key = PyTuple_GET_ITEM(args, i);
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "unbind() takes the names of bound fields, not %.100s",
                                 Py_TYPE(key)->tp_name);
                    rt::throw_error();
                }
            }
            if (bound_fields_now()) set_fields(fields_with(nullptr, args).get());
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* current(PyObject*, PyObject*) {
    return rt::guard(
        [&]() -> PyObject* {
            Ref now = bound_fields_now();
            return now ? PyDict_Copy(now.get()) : PyDict_New();
        },
        static_cast<PyObject*>(nullptr));
}

// bound(**fields): binds the fields while its block runs, and then gives back what was bound before.
struct BoundBlock {
    PyObject_HEAD
    Ref fields;  // what the block binds
    Ref token;   // while the block runs: what gives back the fields before it
};

BoundBlock* as_block(PyObject* o) { return reinterpret_cast<BoundBlock*>(o); }

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return rt::guard(
        [&]() -> PyObject* {
            no_positional(args, "bound()");
            Ref fields = rt::owned(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
            Ref self = rt::owned(type->tp_alloc(type, 0));
            BoundBlock* b = as_block(self.get());
            new (&b->fields) Ref(std::move(fields));
            new (&b->token) Ref();
            return self.release();
        },
        static_cast<PyObject*>(nullptr));
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_block(self)->fields.get());
    Py_VISIT(as_block(self)->token.get());
    return 0;
}

int block_clear(PyObject* self) {
    Ref fields = std::move(as_block(self)->fields), token = std::move(as_block(self)->token);
    return 0;
}

void block_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    block_clear(self);
    as_block(self)->fields.~Ref();
    as_block(self)->token.~Ref();
    Py_TYPE(self)->tp_free(self);
}

PyObject* block_enter(PyObject* self, PyObject*) {
    return rt::guard(
        [&]() -> PyObject* {
            BoundBlock* b = as_block(self);
            if (b->token) {
                PyErr_SetString(PyExc_RuntimeError, "this bound() block is already entered: make one per with");
                rt::throw_error();
            }
            Ref fields = fields_with(b->fields.get(), nullptr);
            b->token = rt::owned(PyContextVar_Set(fields_var(), fields.get()));
            return Ref::incref(self).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* block_exit(PyObject* self, PyObject*) {
    return rt::guard(
        [&]() -> PyObject* {
            Ref token = std::move(as_block(self)->token);
            if (token && PyContextVar_Reset(fields_var(), token.get()) < 0) rt::throw_error();
            Py_RETURN_FALSE;
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef block_methods[] = {
    {"__enter__", block_enter, METH_NOARGS, "Binds the fields for the block."},
    {"__exit__", block_exit, METH_VARARGS, "Gives back the fields bound before the block."},
    {nullptr, nullptr, 0, nullptr},
};

rt::StaticType BoundBlockType("tarvo_loghandle.context.bound", sizeof(BoundBlock), [](rt::StaticType& t) {
    t.collected(block_dealloc, block_traverse, block_clear);
    t.tp_new = block_new;
    t.tp_methods = block_methods;
    t.tp_doc =
        "bound(**fields): a context manager that binds the fields while its block runs, in the current "
        "context, and then gives back what was bound before.\n\n"
        "    with bound(request_id=rid):\n"
        "        await handle(request)";
});

// carry(fn): fn to be run in another thread (loop.run_in_executor, threading.Thread) with the
// fields bound where carry was called. Each call runs in a copy of that context, so calls may
// overlap, and what fn binds stays in its call.
struct Carried {
    PyObject_HEAD
    Ref fn, context;
};

Carried* as_carried(PyObject* o) { return reinterpret_cast<Carried*>(o); }

int carried_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_carried(self)->fn.get());
    Py_VISIT(as_carried(self)->context.get());
    return 0;
}

int carried_clear(PyObject* self) {
    Ref fn = std::move(as_carried(self)->fn), context = std::move(as_carried(self)->context);
    return 0;
}

void carried_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    carried_clear(self);
    as_carried(self)->fn.~Ref();
    as_carried(self)->context.~Ref();
    Py_TYPE(self)->tp_free(self);
}

PyObject* carried_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Carried* c = as_carried(self);
    if (!c->fn) {
        PyErr_SetString(PyExc_RuntimeError, "carry()'s callable was cleared");
        return nullptr;
    }
    Ref fn = c->fn;
    Ref context = Ref::steal(PyContext_Copy(c->context.get()));
    if (!context || PyContext_Enter(context.get()) < 0) return nullptr;
    PyObject* result = PyObject_Call(fn.get(), args, kwargs);
    if (PyContext_Exit(context.get()) < 0) Py_CLEAR(result);
    return result;
}

rt::StaticType CarriedType("tarvo_loghandle.context.carried", sizeof(Carried), [](rt::StaticType& t) {
    t.collected(carried_dealloc, carried_traverse, carried_clear);
    t.tp_call = carried_call;
    t.tp_doc = "A callable made by carry(): calls it wraps run with the fields bound where carry() was called.";
});

PyObject* carry(PyObject*, PyObject* fn) {
    return rt::guard(
        [&]() -> PyObject* {
            if (!PyCallable_Check(fn)) {
                PyErr_Format(PyExc_TypeError, "carry() takes a callable, not %.100s", Py_TYPE(fn)->tp_name);
                rt::throw_error();
            }
            Ref context = rt::owned(PyContext_CopyCurrent());
            Ref self = rt::owned(CarriedType.tp_alloc(&CarriedType, 0));
            new (&as_carried(self.get())->fn) Ref(Ref::incref(fn));
            new (&as_carried(self.get())->context) Ref(std::move(context));
            return self.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef functions[] = {
    {"bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind)), METH_VARARGS | METH_KEYWORDS,
     "bind(**fields): binds the fields in the current context (an asyncio task's own): every entry logged in it "
     "from now on carries them, after its own keyword values."},
    {"unbind", unbind, METH_VARARGS, "unbind(*names): takes those fields away from the current context."},
    {"current", current, METH_NOARGS, "current(): the fields bound in the current context, as a new dict."},
    {"carry", carry, METH_O,
     "carry(fn): fn, to be called in another thread, with the fields bound here and now.\n\n"
     "    await loop.run_in_executor(None, carry(work), arg)\n"
     "    threading.Thread(target=carry(work)).start()"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void exec_context(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    rt::bind(g, "__doc__",
             name<"Fields bound for a context: every entry logged in it, by TLogger or by Python's logging, carries "
                  "them after its own keyword values, in every output format.\n\n"
                  "    from tarvo_loghandle.context import bind, bound\n\n"
                  "    bind(service='billing')            # this task and the tasks it creates from now on\n"
                  "    with bound(request_id=rid):        # this block only\n"
                  "        logger.info('paid', amount=12)   # amount=12 service='billing' request_id=...\n\n"
                  "They live in a contextvars.ContextVar: each asyncio task has its own, a task inherits those of "
                  "the code that created it, and asyncio.to_thread takes them along. loop.run_in_executor and "
                  "threading.Thread do not: carry(fn) takes them there.\n\n"
                  "Where the service has imported OpenTelemetry's API and a recording span is current, an entry "
                  "also carries that span's ids (TraceIds).">());
    rt::check_int(PyModule_AddFunctions(module, functions));
    rt::bind(g, "bound", reinterpret_cast<PyObject*>(&BoundBlockType));
    rt::bind(g, "TraceIds", trace_ids_type());
    rt::bind(g, "__all__",
             rt::owned(Py_BuildValue("[ssssss]", "bind", "unbind", "bound", "current", "carry", "TraceIds")).get());
}

}  // namespace tlh
