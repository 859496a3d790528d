// The library functions that the rendering rules call for every entry, recognised by what they
// are: the C function time_ns of the time module, math's fabs, posixpath's basename, termcolor's
// colored, the package's own linesof. Whatever is found at the moment of a call is tested; where it
// is the genuine function, the package does its work in C++ (or skips a call whose result is not
// used and that has no effect). Anything else (a test double, a monkeypatch, a wrapper, a frozen
// clock), whenever it was installed, before the package's import included, is called exactly as
// the rules say.
#pragma once
#include "text/entry_view.hpp"

namespace tlh::library {

bool is_time_ns(PyObject* f);
bool is_fabs(PyObject* f);
bool is_basename(PyObject* f);
bool is_colored(PyObject* f);
bool is_linesof(PyObject* f);
// Whether f is the Python function `function` defined in the source of the module `module` (not
// remembered: for what is looked at once).
bool is_python_function(PyObject* f, const char* module, const char* function);

// The calls as the rules make them, each name looked up now (module global, then attribute).
// time.time_ns() / 1000000000
Ref clock(PyObject* g);
// The same as a double (what a record's time needs of it).
double clock_seconds(PyObject* g);
// time.time_ns() / 1000000000 - the entry's timestamp (read after the clock)
Ref delay(PyObject* g, EntryView& e);
// math.fabs(x) > 1.0
bool late(PyObject* g, PyObject* x);
// os.path.basename(path)
Ref base_name(PyObject* g, PyObject* path);
// linesof(text), the module's global
Ref lines_of(PyObject* g, PyObject* text);

}  // namespace tlh::library
