// Entries written at once, while no handler runs: by the record layout (json when the output
// format is json, journal records for the journal, plain otherwise: there is no run whose headers
// or bars a terminal layout could continue), with one blocking write to where a handler would
// write, as Python's own last-resort logging handler writes to stderr. One thread writes at a
// time, so that one record's lines never come between another's, and a thread waits for its turn
// (or for an output that is full) for a bounded time only: what cannot be written then is counted
// and told with the next write.
#pragma once
#include "package_base.hpp"

namespace tlh {

// A turn on the output, waited for 2 s at most. A thread that has the turn already (what its own
// write runs logs again) gets a turn that writes after the outer one, in it.
class AtOnceTurn {
public:
    explicit AtOnceTurn(PyObject* g);
    ~AtOnceTurn() noexcept(false);
    AtOnceTurn(const AtOnceTurn&) = delete;
    AtOnceTurn& operator=(const AtOnceTurn&) = delete;
    // The entries of the sequence `entries`, shown as the level filter lets them through; without
    // the turn, or when the write fails, they are counted and told with the next write (and
    // through debug).
    void write(PyObject* entries);

private:
    PyObject* g_;
    bool nested_;
    bool taken_;
};

// Entries that cannot be written (their output took nothing): counted for the output, told with
// its next write, and through debug.
void count_unwritten(PyObject* g, PyObject* entries, const char* why);

// The entries written in a turn of their own.
void write_at_once(PyObject* g, PyObject* entries);
// Only what is owed to the output (losses of writes that failed, a cut entry's rest), at exit.
void write_owed(PyObject* g);

}  // namespace tlh
