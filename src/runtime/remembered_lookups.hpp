// Lookups that remember what they found while the dicts they read stay unchanged. Module globals
// and module attributes are still looked up at every use, as Python code does (a monkeypatch is
// seen at the next use), but the dict is searched again only after it has changed: a dict watcher
// tells so from CPython 3.12 on, the dict's version before.
#pragma once
#include "text.hpp"

#include <cstdint>

namespace rt {

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {
// Bumped before any change to any dict that a remembered lookup read (and before its end).
extern std::uint64_t dicts_changed;
// Has `dict` watched, so that changing it bumps dicts_changed; false when no watcher can be had.
bool watch(PyObject* dict);
}  // namespace detail

// One lookup site's memory: what `dict` held under the site's name when dicts_changed was `seen`.
struct Remembered {
    PyObject* dict = nullptr;
    PyObject* value = nullptr;  // borrowed from dict: it keeps it until a change, which bumps the count
    std::uint64_t seen = 0;     // 0: nothing remembered (the count starts at 1)

    PyObject* find(PyObject* d) const noexcept { return d == dict && seen == detail::dicts_changed ? value : nullptr; }
    // Whether what was kept of `d` still holds: then `value` is what it holds now, null included.
    bool knows(PyObject* d) const noexcept { return d == dict && seen == detail::dicts_changed; }
    void keep(PyObject* d, PyObject* v) noexcept {
        if (detail::watch(d)) *this = {d, v, detail::dicts_changed};
    }
};
#else
// Before 3.12 every dict carries a version, new for each change and for each new dict (PEP 509).
struct Remembered {
    PyObject* dict = nullptr;
    PyObject* value = nullptr;  // borrowed from dict, which keeps it while its version is the same
    std::uint64_t version = 0;

    static std::uint64_t version_of(PyObject* d) noexcept { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
    PyObject* find(PyObject* d) const noexcept { return d == dict && version == version_of(d) ? value : nullptr; }
    bool knows(PyObject* d) const noexcept { return d == dict && version == version_of(d); }
    void keep(PyObject* d, PyObject* v) noexcept { *this = {d, v, version_of(d)}; }
};
#endif

// getattr(module, L) where the module is a plain module object and the name is in its dict;
// any other object or case goes through getattr itself.
bool module_type_defines(PyObject* name);
template <Literal L>
Ref attribute(PyObject* o) {
#ifndef Py_GIL_DISABLED  // there another thread may change the dict while we read it: always getattr
    static const bool plain = !module_type_defines(name<L>());  // no descriptor of the type comes first
    if (plain && PyModule_CheckExact(o)) {
        static Remembered memory;
        PyObject* dict = PyModule_GetDict(o);
        if (PyObject* v = memory.find(dict)) return Ref::incref(v);
        if (PyObject* v = PyDict_GetItemWithError(dict, name<L>())) {
            memory.keep(dict, v);
            return Ref::incref(v);
        }
        if (PyErr_Occurred()) throw_error();
    }
#endif
    return owned(PyObject_GetAttr(o, name<L>()));
}

}  // namespace rt
