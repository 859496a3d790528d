// Entries written at once, while no handler runs: by the record layout (json when the output
// format is json, plain otherwise: there is no run whose headers or bars a terminal layout could
// continue), with one blocking write to where a handler would write, as Python's own last-resort
// logging handler writes to stderr.
#pragma once
#include "common.hpp"

namespace tlh {

// The entries of the sequence `entries`, shown as the level filter lets them through; a failure to
// write is told through debug (there is no log to tell it in).
void write_at_once(PyObject* g, PyObject* entries);

}  // namespace tlh
