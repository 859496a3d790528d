#include "remembered_lookups.hpp"

namespace rt {

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {

std::uint64_t dicts_changed = 1;

namespace {
int note_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++dicts_changed;
    return 0;
}
}  // namespace

bool watch(PyObject* dict) {
    static int watcher = [] {
        int id = PyDict_AddWatcher(note_change);
        if (id < 0) PyErr_Clear();  // every watcher taken: lookups just search
        return id;
    }();
    if (watcher < 0) return false;
    if (PyDict_Watch(watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

}  // namespace detail

#endif

bool module_type_defines(PyObject* name) {
    for (PyTypeObject* t : {&PyModule_Type, &PyBaseObject_Type}) {
#if PY_VERSION_HEX >= 0x030C0000
        Ref dict = owned(PyType_GetDict(t));
#else
        Ref dict = Ref::incref(t->tp_dict);
#endif
        if (check_int(PyDict_Contains(dict.get(), name))) return true;
    }
    return false;
}

}  // namespace rt
