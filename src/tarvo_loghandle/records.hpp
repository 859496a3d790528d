// Output for log collectors: one self-contained line per line of text (plain), or one JSON object
// per entry (json), made in C++ straight from the entry's attributes, without the colour calls of
// the terminal layout. Redrawn progress runs are thinned to one line a second and their last state.
#pragma once
#include "common.hpp"

#include <vector>

namespace tlh {

enum class Format : unsigned char { terminal, plain, json };

// The format the output gets: loghandle_imp.LOG_FORMAT when set, else the environment variable
// TARVO_LOG_FORMAT, else "terminal"; "auto" is terminal on a terminal and plain elsewhere. An
// unknown value raises ValueError.
Format resolve_format(PyObject* g);

class Records {
public:
    Records(PyObject* g, Format format);
    // Appends the lines of one entry (none when the level filter drops it, or when thinned) to `parts`.
    void add(PyObject* le, PyObject* parts);
    // A line of the handler's own (an entry that cannot be shown, lost entries), at level ERROR.
    void add_own(PyObject* message, PyObject* parts);
    // The last state of every thinned progress bar that has not been written yet.
    void flush(PyObject* parts);

private:
    // A logger's progress bar, thinned to a line a second.
    struct Bar {
        Ref prefix;
        double written;  // time stamp of its last line written
        Ref pending;     // its latest state, not written yet, or null
    };
    // Writes the pending states of the bars (but the one at `except`) whose last line is a second
    // or more older than `ts`.
    void write_due(double ts, PyObject* parts, size_t except);

    PyObject* g_;
    Format format_;
    std::vector<Bar> bars_;
};

}  // namespace tlh
