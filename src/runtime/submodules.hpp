// Modules compiled into one extension file: the package module made by the extension's
// init function, and submodules that the ordinary import system finds through a
// meta path finder of ours.
#pragma once
#include "call.hpp"
#include "import.hpp"

namespace rt {

struct SubmoduleDef {
    const char* name;             // the name below the package, e.g. "config"
    void (*exec)(PyObject* module);  // runs the module body
};

// Puts a finder at the front of sys.meta_path that finds `package.<name>` for each definition, in
// the extension file `origin`. `defs` must outlive the interpreter's use of it.
void install_submodule_finder(PyObject* package, PyObject* origin, const SubmoduleDef* defs, size_t count);

// The definition the extension's init function returns: the import system makes the package module
// under the name it is loading, enters it in sys.modules, runs `body`, and removes the entry again
// if the body fails.
PyObject* package_definition(const char* name, const char* doc, void (*body)(PyObject* module)) noexcept;

}  // namespace rt
