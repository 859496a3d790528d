// The library functions that the rendering rules call for every entry, as the package found them
// at import. Where the object looked up at the moment of a call is still that very object, the
// package may do its work in C++ (or skip a call whose result is not used and that has no
// effect); a replacement (a test's, a monkeypatch, a wrapper) is always called, exactly as the
// rules say.
#pragma once
#include "common.hpp"

namespace tlh::genuine {

// termcolor.colored, os.path.basename, math.fabs, time.time_ns, and the module's own linesof.
extern PyObject* colored;
extern PyObject* basename;
extern PyObject* fabs;
extern PyObject* time_ns;
extern PyObject* linesof;

// Takes them from the module's globals once its imports are bound.
void remember(PyObject* g);

// time.time_ns() / 1000000000 with the real-time clock, rounded once, as Python's int / int is.
double now_seconds();
// os.path.basename(path) for a str path on POSIX: what follows the last "/" (the path itself
// when it has none).
Ref basename_of(PyObject* path);

}  // namespace tlh::genuine
