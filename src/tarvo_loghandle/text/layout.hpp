// A layout turns the entries of a writer run into the text of its output format: the terminal's
// headers and redrawn lines, or the self-contained lines of plain and json. The writer does not
// know which: it reads each entry into an EntryView and hands it to the layout of the run.
#pragma once
#include "text/chunk_output.hpp"
#include "text/entry_view.hpp"

#include <memory>

namespace tlh {

// Held by the writer across its awaits (rt::Held): traverse() shows the collector what it holds.
class Layout {
public:
    virtual ~Layout() noexcept(false) = default;
    virtual int traverse(visitproc visit, void* arg) const = 0;
    // The pieces of one entry (none when the level filter drops it), into the chunk.
    virtual void add(EntryView& entry, ChunkOutput& out) = 0;
    // The line that stands in for an entry that could not be shown (its own pieces taken back):
    // `described` is "Type: message" of what went wrong.
    virtual void add_failure(PyObject* described, ChunkOutput& out) = 0;
    // The line that tells entries lost with chunks that could not be written.
    virtual void add_losses(PyObject* text, ChunkOutput& out) = 0;
    // What is still due when the run ends (the last states of thinned progress bars).
    virtual void finish(ChunkOutput&) {}
    // A chunk begins; `among_others`: other processes write the same output (their lines may come
    // between this chunk and the one before), so its lines name this process.
    virtual void chunk_begins(bool among_others) { (void)among_others; }
};

// One entry into the chunk by the layout. An entry that cannot be shown must not stop the log: it
// is reported, what it added is taken back, and one line stands in its place. KeyboardInterrupt,
// SystemExit and the like are no failures to show an entry: they are raised.
void show_entry(PyObject* g, Layout& layout, ChunkOutput& out, PyObject* le);

enum class Format : unsigned char { terminal, plain, json, journal };

// The format the output gets: loghandle_imp.LOG_FORMAT when set, else the environment variable
// TARVO_LOG_FORMAT, else "terminal"; "auto" is journal when the output is the journal's stream
// (`journal`: a service under systemd), terminal when it is a terminal (`terminal`) and plain
// elsewhere. An unknown value raises ValueError.
Format resolve_format(PyObject* g, bool terminal, bool journal);

// Whether the output gets colour, by CPython's switches in CPython's order: PYTHON_COLORS=1 or 0
// decides; then NO_COLOR (not empty) turns colour off, FORCE_COLOR (not empty) turns it on, TERM=dumb
// turns it off; otherwise a terminal gets colour.
bool colour_wanted(PyObject* g, bool terminal);

// The layouts of the formats (output.hpp chooses).
std::unique_ptr<Layout> terminal_layout(PyObject* g);
std::unique_ptr<Layout> record_layout(PyObject* g, Format format);

}  // namespace tlh
