// The package module: its bookkeeping, version, announcement, and the re-export of its
// submodules' public names. The submodules live in this same file and are found by a
// finder of ours, installed before the first of them is imported.
#include "modules/context.hpp"
#include "modules/pytest_plugin.hpp"
#include "modules/stdlib.hpp"
#include "package_base.hpp"
#include "process_state.hpp"

namespace tlh {

const char* const package_doc =
    "The asynchronous log handler of the tarvo asyncio service libraries.\n\n"
    "Log entries put on the process-wide queue TLogger.queue are moved by a pump task into a splitter and\n"
    "written by a writer task to the process's stderr, as coloured, prefixed lines; runs of entries from one\n"
    "source share one header, and progress bars are redrawn in place.\n\n"
    "    from tarvo_loghandle import log\n\n"
    "    async with log(sti, sc):   # a LoggingHandler runs for the duration of the block\n"
    "        ...\n\n"
    "Names offered:\n"
    "    log, nolog       the service context managers (tarvo_loghandle.config)\n"
    "    LoggingHandler   the handler, to run by hand: await h.init(); ...; await h.aclose()\n"
    "                     (tarvo_loghandle.loghandle_imp)\n"
    "    __version__, __date__, logger (the package's own TLogger)\n\n"
    "The submodule tarvo_loghandle.stdlib brings Python's logging records into the same stream (log() connects\n"
    "it for its block when the application has not configured logging); tarvo_loghandle.context binds fields\n"
    "that every entry logged in a context carries.";

// The handler's state is the process's (one queue, one running handler, the types of the native
// objects): it lives in the main interpreter only. A subinterpreter is refused before anything of
// it is made, so the main interpreter can import the package whenever it does. Asked when the
// extension is initialised and again when the package runs (from 3.13 on the initialisation of a
// subinterpreter's import runs in the main interpreter).
bool main_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_SetString(PyExc_ImportError,
                    "tarvo_loghandle cannot be loaded in a subinterpreter: the log handler's state (the "
                    "process-wide log queue and the running handler) belongs to the main interpreter");
    return false;
}

namespace {

const rt::SubmoduleDef submodules[] = {
    {"loghandle_imp", exec_loghandle_imp}, {"config", exec_config}, {"stdlib", exec_stdlib}, {"context", exec_context},
    {"pytest_plugin", exec_pytest_plugin},
};

// __file__ is the package's __init__ inside the package directory beside the extension file.
void set_bookkeeping(PyObject* module, PyObject* g, PyObject* ext) {
    Ref module_name = rt::getattr(module, name<"__name__">());
    Ref os_path = rt::import("os.path");
    Ref dir = rt::call_method(os_path.get(), name<"dirname">(), {ext});
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

// A sibling library that is missing: the usual ModuleNotFoundError, its message followed by one
// sentence that says what the package needs and where the stand-ins are.
void explain_missing_sibling(const PyErr& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) return;
    Ref missing = rt::getattr(e.value(), name<"name">());
    if (!PyUnicode_Check(missing.get())) return;
    Ref root = rt::call_method(missing.get(), name<"partition">(), {name<".">()});
    PyObject* top = PyTuple_GET_ITEM(root.get(), 0);
    if (!(equal(top, name<"tarvo_commons">()) || equal(top, name<"tarvo_utils_asyncio">()) ||
          equal(top, name<"tarvo_kivo_interfaces">())))
        return;
    Ref text = rt::concat({rt::getattr(e.value(), name<"msg">()).get(),
                           name<". tarvo_loghandle needs the sibling libraries tarvo_commons, tarvo_utils_asyncio and "
                                "tarvo_kivo_interfaces; stand-ins of them are the distribution tarvo-siblings in the "
                                "siblings/ folder of its repository (pip install ./siblings).">()});
    rt::setattr(e.value(), name<"msg">(), text.get());
    rt::setattr(e.value(), name<"args">(), rt::tuple({text.get()}).get());
}

void run_body(PyObject* module);

void body(PyObject* module) {
    if (!main_interpreter()) rt::throw_error();
    try {
        run_body(module);
    } catch (PyErr& e) {
        explain_missing_sibling(e);
        throw;
    }
}

// The path of the extension file, as the import system found it (the module's __spec__.origin,
// before the bookkeeping points it at the package's __init__): kept from the first time the package runs.
PyObject* extension_file(PyObject* g) {
    Ref& file = process().extension_file;
    if (!file) file = rt::getattr(global<"__spec__">(g).get(), name<"origin">());
    return file.get();
}

void run_body(PyObject* module) {
    PyObject* g = PyModule_GetDict(module);
    PyObject* ext = extension_file(g);
    set_bookkeeping(module, g, ext);
    rt::bind(g, "__version__", name<"7.3.2201261049">());
    rt::bind(g, "__date__", name<"2022-01-26T10:49:24+01:00">());
    rt::import_from(g, "tarvo_commons", {"TLogger"});
    Ref logger = rt::call(global<"TLogger">(g).get(), {global<"__name__">(g).get()});
    rt::bind(g, "logger", logger.get());
    PyObject* const kw = rt::keywords<"name", "filename", "version", "date">();
    rt::call_kw(rt::getattr(global<"logger">(g).get(), name<"hello_module">()).get(),
                {global<"__name__">(g).get(), global<"__file__">(g).get(), global<"__version__">(g).get(),
                 global<"__date__">(g).get()},
                kw);

    ProcessState& state = process();
    if (!state.finder_installed) {
        rt::install_submodule_finder(global<"__name__">(g).get(), ext, submodules, std::size(submodules));
        state.finder_installed = true;
    }
    rt::import_star(g, "config", 1);
    rt::import_star(g, "loghandle_imp", 1);
    rt::call_method(global<"logger">(g).get(), name<"hello_module_finished">(), {global<"__name__">(g).get()});
}

}  // namespace
}  // namespace tlh

PyMODINIT_FUNC PyInit_tarvo_loghandle() {
    if (!tlh::main_interpreter()) return nullptr;
    if (!rt::guard(
            [] {
                rt::ready_types();
                return true;
            },
            false))
        return nullptr;
    return rt::package_definition("tarvo_loghandle", tlh::package_doc, tlh::body);
}
