#include "function.hpp"

#include "import.hpp"
#include "threads.hpp"
#include "type.hpp"

#include <structmember.h>

#include <cstring>
#include <new>
#include <string>

namespace rt {

namespace {

NativeFunction* as_fn(PyObject* o) { return reinterpret_cast<NativeFunction*>(o); }

size_t param_count(const FunctionDef& d) {
    size_t n = 0;
    while (n < max_params && d.params[n]) ++n;
    return n;
}

// Binds arguments as a Python def with positional-or-keyword parameters and no defaults does,
// with the same messages.
void bind(const NativeFunction* fn, PyObject* const* args, size_t nargs, PyObject* kwnames,
          std::array<Ref, max_params>& out) {
    const FunctionDef& d = *fn->def;
    size_t nparams = param_count(d);
    if (nargs > nparams)
        raise_format(PyExc_TypeError, "%U() takes %zu positional argument%s but %zu %s given", fn->name.get(), nparams,
                     nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    for (size_t i = 0; i < nargs; ++i) out[i] = Ref::incref(args[i]);
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t i = 0;
            for (; i < nparams; ++i)
                if (PyUnicode_CompareWithASCIIString(key, d.params[i]) == 0) break;
            if (i == nparams)
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", fn->name.get(), key);
            if (out[i])
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%s'", fn->name.get(),
                             d.params[i]);
            out[i] = Ref::incref(args[nargs + size_t(k)]);
        }
    }
    for (size_t i = 0; i < nparams; ++i)
        if (!out[i]) raise_format(PyExc_TypeError, "%U() missing required argument: '%s'", fn->name.get(), d.params[i]);
}

}  // namespace

Ref cell_contents(PyObject* cell) {
    Ref v = cell_item(cell);
    if (!v) raise(PyExc_NameError, "free variable referenced before assignment in enclosing scope");
    return v;
}

Ref Bound::cell(size_t i) const { return cell_contents(PyTuple_GET_ITEM(function()->closure.get(), Py_ssize_t(i))); }

void Bound::set_cell(size_t i, PyObject* v) const {
    check_int(PyCell_Set(PyTuple_GET_ITEM(function()->closure.get(), Py_ssize_t(i)), v));
}

PyObject* call_native(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard(
        [&] {
            Arguments call;
            call.function = Ref::incref(self);
            bind(as_fn(self), args, PyVectorcall_NARGS(nargsf), kwnames, call.values);
            return as_fn(self)->def->entry(Bound(call)).release();
        },
        static_cast<PyObject*>(nullptr));
}

Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure, const Annotations* annotations) {
    Ref module = dict_item(globals, name<"__name__">());
    Ref fn_name = owned(PyUnicode_InternFromString(def.name));
    Ref qualname = owned(PyUnicode_InternFromString(def.qualname));
    Ref doc = def.doc ? owned(PyUnicode_FromString(def.doc)) : none();
    auto* fn = PyObject_GC_New(NativeFunction, &FunctionType);
    if (!fn) throw_error();
    fn->vectorcall = call_native;
    fn->def = &def;
    new (&fn->name) Ref(std::move(fn_name));
    new (&fn->qualname) Ref(std::move(qualname));
    new (&fn->module) Ref(module ? std::move(module) : none());
    new (&fn->doc) Ref(std::move(doc));
    new (&fn->annotations) Ref(annotations ? annotations->values : Ref());
    new (&fn->annotation_texts) Ref(annotations ? annotations->texts : Ref());
    new (&fn->dict) Ref();
    new (&fn->globals) Ref(Ref::incref(globals));
    new (&fn->closure) Ref(Ref::incref(closure));
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));
    if (def.kind == FunctionKind::coroutine) {
        // What asyncio.iscoroutinefunction looks for on functions that are not Python code.
        static PyObject* const marker =
            getattr(owned(PyImport_ImportModule("asyncio.coroutines")).get(), name<"_is_coroutine">()).release();
        Ref dict = owned(PyObject_GenericGetDict(result.get(), nullptr));
        check_int(PyDict_SetItemString(dict.get(), "_is_coroutine", marker));
#if PY_VERSION_HEX >= 0x030C0000
        // ... and what inspect.iscoroutinefunction looks for.
        call_method(import("inspect").get(), name<"markcoroutinefunction">(), {result.get()});
#endif
    }
    return result;
}

namespace {

int fn_traverse(PyObject* o, visitproc visit, void* arg) {
    NativeFunction* f = as_fn(o);
    for (const Ref* r :
         {&f->module, &f->doc, &f->annotations, &f->annotation_texts, &f->dict, &f->globals, &f->closure})
        Py_VISIT(r->get());
    return 0;
}

int fn_clear(PyObject* o) {
    NativeFunction* f = as_fn(o);
    for (Ref* r : {&f->module, &f->doc, &f->annotations, &f->annotation_texts, &f->dict, &f->globals, &f->closure})
        r->reset();
    return 0;
}

void fn_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    NativeFunction* f = as_fn(o);
    if (f->weakrefs) PyObject_ClearWeakRefs(o);
    for (Ref* r : {&f->name, &f->qualname, &f->module, &f->doc, &f->annotations, &f->annotation_texts, &f->dict,
                   &f->globals, &f->closure})
        r->~Ref();
    PyObject_GC_Del(o);
}

PyObject* fn_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Ref::incref(self).release();
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* o) { return PyUnicode_FromFormat("<function %U at %p>", as_fn(o)->qualname.get(), o); }

int set_string(Ref& slot, PyObject* v, const char* what) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    slot = Ref::incref(v);
    return 0;
}

PyObject* get_name(PyObject* o, void*) { return as_fn(o)->name.new_ref(); }
int set_name(PyObject* o, PyObject* v, void*) { return set_string(as_fn(o)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* o, void*) { return as_fn(o)->qualname.new_ref(); }
int set_qualname(PyObject* o, PyObject* v, void*) { return set_string(as_fn(o)->qualname, v, "__qualname__"); }

PyObject* get_annotations(PyObject* o, void*) {
    NativeFunction* f = as_fn(o);
    if (!f->annotations) f->annotations = Ref::steal(PyDict_New());
    return f->annotations.new_ref();
}
int set_annotations(PyObject* o, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_fn(o)->annotations = Ref::incref(v);
    as_fn(o)->annotation_texts.reset();  // the texts were those of the annotations replaced
    return 0;
}
#if PY_VERSION_HEX >= 0x030E0000
// What functools.wraps copies on 3.14, and what annotationlib asks for.
PyObject* get_annotate(PyObject* o, void*) {
    return guard(
        [&] { return annotate_function(as_fn(o)->annotations.get(), as_fn(o)->annotation_texts.get()).release(); },
        static_cast<PyObject*>(nullptr));
}
#endif
// What inspect.signature shows, with the annotations, as for a Python def.
PyObject* get_signature(PyObject* o, void*) {
    return guard(
        [&] {
            const FunctionDef& d = *as_fn(o)->def;
            return signature(d.params.data(), param_count(d), as_fn(o)->annotations.get()).release();
        },
        static_cast<PyObject*>(nullptr));
}
PyObject* get_globals(PyObject* o, void*) { return as_fn(o)->globals.new_ref(); }

// "(a, b)", what inspect.signature reads for functions that are not Python code.
PyObject* get_text_signature(PyObject* o, void*) {
    return guard(
        [&] {
            const FunctionDef& d = *as_fn(o)->def;
            std::string sig = "(";
            for (size_t i = 0; i < param_count(d); ++i) {
                if (i) sig += ", ";
                sig += d.params[i];
            }
            sig += ")";
            return str(sig).release();
        },
        static_cast<PyObject*>(nullptr));
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
#endif
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

StaticType FunctionType("native_function", sizeof(NativeFunction), [](StaticType& t) {
    t.collected(fn_dealloc, fn_traverse, fn_clear);
    t.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    t.tp_repr = fn_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
    t.tp_getset = fn_getset;
    t.tp_members = fn_members;
    t.tp_descr_get = fn_get;
    t.tp_dictoffset = offsetof(NativeFunction, dict);
});

}  // namespace rt
