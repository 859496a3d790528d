#include "import.hpp"
#include "call.hpp"
#include "iterate.hpp"
#include "threads.hpp"

namespace rt {

Ref global(PyObject* globals, PyObject* name) {
    if (Ref v = dict_item(globals, name)) return v;
    static PyObject* const builtins = PyModule_GetDict(import("builtins").release());  // kept for good
    if (Ref v = dict_item(builtins, name)) return v;
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

static Ref import_level(PyObject* globals, const char* module, PyObject* fromlist, int level) {
    Ref name = owned(PyUnicode_FromString(module));
    return owned(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist, level));
}

void import_from(PyObject* globals, const char* module, std::initializer_list<const char*> names, int level) {
    Ref fromlist = owned(PyTuple_New(Py_ssize_t(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, owned(PyUnicode_FromString(n)).release());
    Ref mod = import_level(globals, module, fromlist.get(), level);
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* n = PyTuple_GET_ITEM(fromlist.get(), i);
        PyObject* v = PyObject_GetAttr(mod.get(), n);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            raise_format(PyExc_ImportError, "cannot import name '%U' from '%s'", n, module);
        }
        Ref value = Ref::steal(v);
        check_int(PyDict_SetItem(globals, n, value.get()));
    }
}

void import_module(PyObject* globals, const char* module) {
    Ref mod = import_level(globals, module, nullptr, 0);
    bind(globals, module, mod.get());
}

void import_star(PyObject* globals, const char* module, int level) {
    static PyObject* const star = check(Py_BuildValue("(s)", "*"));
    Ref mod = import_level(globals, module, star, level);
    PyObject* all = PyObject_GetAttrString(mod.get(), "__all__");
    Ref names;
    if (all) {
        names = Ref::steal(all);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        Ref d = getattr(mod.get(), name<"__dict__">());
        Ref keys = owned(PyDict_Keys(d.get()));
        Ref pub = owned(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* k = PyList_GET_ITEM(keys.get(), i);
            if (PyUnicode_Check(k) && PyUnicode_READ_CHAR(k, 0) != '_') check_int(PyList_Append(pub.get(), k));
        }
        names = pub;
    }
    for (Ref& name : iterate(names.get())) {
        Ref value = getattr(mod.get(), name.get());
        check_int(PyDict_SetItem(globals, name.get(), value.get()));
    }
}

}  // namespace rt
