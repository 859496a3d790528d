// Modules compiled into one extension file: the package module made by the extension's
// init function, and submodules that the ordinary import system finds through a
// meta path finder of ours.
#pragma once
#include "object.hpp"

namespace rt {

struct SubmoduleDef {
    const char* name;             // the name below the package, e.g. "config"
    void (*exec)(PyObject* module);  // runs the module body
};

// The path of the extension file this code was loaded from.
Ref extension_path();

// Puts a finder at the front of sys.meta_path that finds `package.<name>` for each definition.
// `defs` must outlive the interpreter's use of it.
void install_submodule_finder(PyObject* package, const SubmoduleDef* defs, size_t count);

// Makes the package module `name` (the name the interpreter is loading, or `fallback`), enters it
// in sys.modules, and runs `body`; on failure the entry is removed again and NULL is returned.
PyObject* init_package(const char* fallback, void (*body)(PyObject* module)) noexcept;

}  // namespace rt
