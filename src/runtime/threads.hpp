// Objects and state that other threads may change at the same time. With the GIL, a borrowed
// reference stays valid while no Python code runs; on the free-threaded build another thread may
// release it at any moment, so a reference is taken while the item is read, and state of the
// process is changed under a lock or atomically.
#pragma once
#include "error.hpp"

#include <utility>
#include <vector>

namespace rt {

// dict[key] as a reference of our own; an empty Ref when the key is missing.
inline Ref dict_item(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v;
    check_int(PyDict_GetItemRef(dict, key, &v));
    return Ref::steal(v);
#else
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred()) throw_error();
    return Ref::incref(v);
#endif
}

// What a closure cell holds, as a reference of our own; an empty Ref when the cell is empty.
inline Ref cell_item(PyObject* cell) {
#ifdef Py_GIL_DISABLED
    return Ref::steal(PyCell_Get(cell));
#else
    return Ref::incref(PyCell_GET(cell));
#endif
}

// A scope in which no other thread changes `o` (a dict being iterated with PyDict_Next): the
// object's critical section on the free-threaded build; the GIL does it otherwise.
class Locked {
public:
    explicit Locked(PyObject* o) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, o);
#else
        (void)o;
#endif
    }
    ~Locked() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// The items of a dict as they are at one moment, each a reference of our own: iterating them may
// run Python code (a repr) that changes the dict, and on the free-threaded build another thread may.
inline std::vector<std::pair<Ref, Ref>> dict_items(PyObject* dict) {
    std::vector<std::pair<Ref, Ref>> items;
    Locked locked(dict);
    items.reserve(size_t(PyDict_GET_SIZE(dict)));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) items.emplace_back(Ref::incref(key), Ref::incref(value));
    return items;
}

// A lock for state of the process that Python code of several threads reaches; while it waits, the
// thread lets the interpreter run (a stop-the-world collection included). Free with the GIL.
class ProcessLock {
public:
    void lock() noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&mutex_);
#endif
    }
    void unlock() noexcept {
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&mutex_);
#endif
    }
    // In a child after fork the thread that held it is gone: free again.
    void remake() noexcept {
#ifdef Py_GIL_DISABLED
        mutex_ = PyMutex{};
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_{};
#endif
};

}  // namespace rt
