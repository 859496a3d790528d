#include "submodules.hpp"

#include "type.hpp"

#include <new>

namespace rt {

namespace {

struct Finder {
    PyObject_HEAD
    Ref package;  // "pkg."
    Ref origin;
    const SubmoduleDef* defs;
    size_t count;
};

Finder* as_finder(PyObject* o) { return reinterpret_cast<Finder*>(o); }

const SubmoduleDef* lookup(Finder* f, PyObject* fullname) {
    if (!PyUnicode_Check(fullname)) return nullptr;
    Py_ssize_t plen = PyUnicode_GET_LENGTH(f->package.get());
    if (PyUnicode_Tailmatch(fullname, f->package.get(), 0, plen, -1) != 1) return nullptr;
    Ref rest = owned(PyUnicode_Substring(fullname, plen, PyUnicode_GET_LENGTH(fullname)));
    for (size_t i = 0; i < f->count; ++i)
        if (PyUnicode_CompareWithASCIIString(rest.get(), f->defs[i].name) == 0) return &f->defs[i];
    return nullptr;
}

PyObject* find_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    return guard(
        [&]() -> PyObject* {
            if (nargs < 1) raise(PyExc_TypeError, "find_spec() needs the module name");
            if (!lookup(as_finder(self), args[0])) return none().release();
            static PyObject* const module_spec =
                getattr(import("importlib.machinery").get(), name<"ModuleSpec">()).release();
            PyObject* const kw = keywords<"origin">();
            Ref found_spec = call_kw(module_spec, {args[0], self, as_finder(self)->origin.get()}, kw);
            setattr(found_spec.get(), name<"has_location">(), Py_True);
            return found_spec.release();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* exec_module(PyObject* self, PyObject* module) {
    return guard(
        [&]() -> PyObject* {
            Ref name = getattr(module, rt::name<"__name__">());
            const SubmoduleDef* def = lookup(as_finder(self), name.get());
            if (!def) raise_format(PyExc_ImportError, "no native submodule %R", name.get());
            def->exec(module);
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

void finder_dealloc(PyObject* o) {
    as_finder(o)->package.~Ref();
    as_finder(o)->origin.~Ref();
    PyObject_Free(o);
}

PyMethodDef finder_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_spec)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"create_module", create_module, METH_O, nullptr},
    {"exec_module", exec_module, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

StaticType FinderType("native_submodule_finder", sizeof(Finder), [](StaticType& t) {
    t.tp_dealloc = finder_dealloc;
    t.tp_methods = finder_methods;
});

}  // namespace

void install_submodule_finder(PyObject* package, PyObject* origin, const SubmoduleDef* defs, size_t count) {
    Ref prefix = owned(PyUnicode_FromFormat("%U.", package));
    Finder* f = PyObject_New(Finder, &FinderType);
    if (!f) throw_error();
    new (&f->package) Ref(std::move(prefix));
    new (&f->origin) Ref(Ref::incref(origin));
    f->defs = defs;
    f->count = count;
    Ref finder = Ref::steal(reinterpret_cast<PyObject*>(f));
    Ref meta_path = getattr(import("sys").get(), name<"meta_path">());
    check_int(PyList_Insert(meta_path.get(), 0, finder.get()));
}

namespace {
void (*package_body)(PyObject*) = nullptr;

int exec_package(PyObject* module) {
    return guard(
        [&] {
            package_body(module);
            return 0;
        },
        -1);
}

PyModuleDef_Slot package_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_package)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Safe with threads running in parallel: what the process shares is read and changed under
    // locks, atomically, or per thread, and borrowed references are not kept (runtime/threads.hpp).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};
PyModuleDef package_def = {PyModuleDef_HEAD_INIT, nullptr, nullptr, 0,      nullptr,
                           package_slots,         nullptr, nullptr, nullptr};
}  // namespace

PyObject* package_definition(const char* name, const char* doc, void (*body)(PyObject* module)) noexcept {
    package_body = body;
    package_def.m_name = name;
    package_def.m_doc = doc;
    return PyModuleDef_Init(&package_def);
}

}  // namespace rt
