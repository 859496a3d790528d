// The package module: its bookkeeping, version, announcement, and the re-export of its
// submodules' public names. The submodules live in this same file and are found by a
// finder of ours, installed before the first of them is imported.
#include "common.hpp"

namespace tlh {
namespace {

const rt::SubmoduleDef submodules[] = {
    {"loghandle_imp", exec_loghandle_imp},
    {"config", exec_config},
};

// __file__ is the package's __init__ inside the package directory beside the extension file.
void set_bookkeeping(PyObject* module, PyObject* g) {
    Ref module_name = rt::getattr(module, name<"__name__">());
    Ref ext = rt::extension_path();
    Ref os_path = rt::import("os.path");
    Ref dir = rt::call_method(os_path.get(), name<"dirname">(), {ext.get()});
    Ref last = rt::call_method(module_name.get(), name<"rpartition">(), {name<".">()});
    Ref pkgdir = rt::call_method(os_path.get(), name<"join">(), {dir.get(), PyTuple_GET_ITEM(last.get(), 2)});
    Ref suffixes = rt::getattr(rt::import("importlib.machinery").get(), name<"SOURCE_SUFFIXES">());
    Ref init_name = rt::concat({name<"__init__">(), PySequence_Fast_GET_ITEM(suffixes.get(), 0)});
    Ref file = rt::call_method(os_path.get(), name<"join">(), {pkgdir.get(), init_name.get()});
    rt::bind(g, "__file__", file.get());

    Ref path = rt::owned(PyList_New(0));
    Ref file_dir = rt::call_method(os_path.get(), name<"dirname">(), {file.get()});
    rt::check_int(PyList_Append(path.get(), file_dir.get()));
    rt::bind(g, "__path__", path.get());

    Ref module_spec = global<"__spec__">(g);
    rt::setattr(module_spec.get(), name<"origin">(), file.get());
    rt::setattr(module_spec.get(), name<"has_location">(), Py_True);
    rt::setattr(module_spec.get(), name<"submodule_search_locations">(), path.get());
    rt::bind(g, "__cached__", Py_None);
    // Loaded as a plain extension, the module was not taken for a package: its submodules'
    // relative imports need the package name.
    rt::bind(g, "__package__", module_name.get());
}

void body(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    set_bookkeeping(module, g);
    rt::bind(g, "__version__", name<"7.3.2201261049">());
    rt::bind(g, "__date__", name<"2022-01-26T10:49:24+01:00">());
    rt::import_from(g, "tarvo_commons", {"TLogger"});
    Ref logger = rt::call(global<"TLogger">(g).get(), {global<"__name__">(g).get()});
    rt::bind(g, "logger", logger.get());
    static PyObject* const kw = rt::check(Py_BuildValue("(ssss)", "name", "filename", "version", "date"));
    rt::call_kw(rt::getattr(global<"logger">(g).get(), name<"hello_module">()).get(),
                {global<"__name__">(g).get(), global<"__file__">(g).get(), global<"__version__">(g).get(), global<"__date__">(g).get()}, kw);

    static bool finder_installed = false;
    if (!finder_installed) {
        rt::install_submodule_finder(global<"__name__">(g).get(), submodules, std::size(submodules));
        finder_installed = true;
    }
    rt::import_star(g, "config", 1);
    rt::import_star(g, "loghandle_imp", 1);
    rt::call_method(global<"logger">(g).get(), name<"hello_module_finished">(), {global<"__name__">(g).get()});
}

}  // namespace
}  // namespace tlh

PyMODINIT_FUNC PyInit_tarvo_loghandle() {
    if (!rt::guard([] { rt::ready_types(); return true; }, false)) return nullptr;
    return rt::package_definition("tarvo_loghandle", tlh::body);
}
