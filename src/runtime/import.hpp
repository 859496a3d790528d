// Module-level work: imports as Python statements bind them, and globals looked up when used.
#pragma once
#include "remembered_lookups.hpp"
#include "text.hpp"

#include <initializer_list>

namespace rt {

inline Ref import(const char* name) { return owned(PyImport_ImportModule(name)); }
// `from module import names...` (level 0 absolute, 1 relative to the package of `globals`),
// binding each name in `globals`.
void import_from(PyObject* globals, const char* module, std::initializer_list<const char*> names, int level = 0);
// `import module` for a top-level module, bound in `globals`.
void import_module(PyObject* globals, const char* module);
// `from module import *`, as Python binds it: the names of __all__, else the public ones.
void import_star(PyObject* globals, const char* module, int level);
// Binds a name in a module's globals.
inline void bind(PyObject* globals, const char* name, PyObject* value) {
    check_int(PyDict_SetItemString(globals, name, value));
}

// A name of a module's globals, looked up at each use as Python code does, builtins last.
Ref global(PyObject* globals, PyObject* name);
template <Literal L>
Ref global(PyObject* globals) {
#ifdef Py_GIL_DISABLED
    return global(globals, name<L>());  // another thread may change the globals while we read them
#else
    // Most lookups find the name among the globals: that path stays inline, and is remembered
    // (see remembered_lookups.hpp) until the globals change.
    static Remembered memory;
    if (PyObject* v = memory.find(globals)) return Ref::incref(v);
    if (PyObject* v = PyDict_GetItemWithError(globals, name<L>())) {
        memory.keep(globals, v);
        return Ref::incref(v);
    }
    return global(globals, name<L>());
#endif
}

}  // namespace rt
