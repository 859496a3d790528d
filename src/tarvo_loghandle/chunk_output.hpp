// The text of one chunk as the layouts make it, and what the writer's output lost: the writer
// hands the chunk's text to the output with one write, and tells the losses when it can.
#pragma once
#include "common.hpp"

namespace tlh {

// Held by the writer across its awaits (rt::Held): traverse() shows the collector what it holds.
class ChunkOutput final {
public:
    // With colour, a piece drawn in place erases the rest of the line it overwrites with ESC [ K.
    // Without (an output that is no terminal, NO_COLOR and the like), which asks for no escape
    // sequences at all, it erases with spaces up to the columns of the piece before it, and the
    // pieces lose their colour sequences.
    explicit ChunkOutput(bool colour);

    // The width of the terminal the output is, in columns (0: no terminal, or one that does not
    // say): a piece drawn in place that is wider is cut to fit, with a mark, so that the next
    // redraw can replace it.
    void set_width(Py_ssize_t columns) noexcept { width_ = columns; }

    // A piece of the terminal layout, by the separator rule: drawn in place (after a carriage
    // return) when (overlap and last_overlap) or redraw, else on a new line. Log data never moves
    // the cursor or rewrites the screen itself: its control characters are shown escaped.
    void piece(PyObject* overlap, PyObject* line, PyObject* redraw);
    // A line that ends with its own line feed (the formats for log collectors).
    void line(PyObject* text);
    // A record of the journal (bytes in its native protocol), with what the lines that stand in
    // for it on stderr are made of when the journal does not take it (journal_stand_in).
    void record(PyObject* datagram, PyObject* stand_in);

    // Where the chunk stands, to take back what an entry that failed halfway added.
    struct Mark {
        Py_ssize_t size;
        Py_ssize_t records;
        Ref last_overlap;
        bool last_was_redrawing;
        Py_ssize_t last_in_place_width;
        bool line_open;
        bool line_ended;
    };
    Mark mark() const;
    void rollback(const Mark& m);

    // The chunk's text; the chunk starts empty again. Its last line is ended (other writers of
    // stderr, a warning or a traceback, then start on a line of their own), unless it is being
    // drawn in place: a progress bar in progress stays where the next state overwrites it.
    Ref take_text();
    // The text that is left when the writer ends, with its last line ended in any case.
    Ref take_last_text();
    // The chunk's journal records, (datagrams, stand-ins): two lists, or an empty Ref when the
    // chunk has none; the chunk has none again.
    Ref take_records();
    // What the journal did not take of `records` (as send_records tells it: None, or the indices
    // and the error): the lines that stand in for them, for stderr, counted and told like lost
    // entries.
    Ref unsent_text(PyObject* records, PyObject* unsent);

    // Entries whose chunk could not be written (a full disk, a closed pipe): counted, and told in
    // one line when a chunk can be written again, or at the end.
    void lose(long long entries, PyObject* exc);
    long long lost() const noexcept { return lost_; }
    Ref losses_text() const;
    void losses_told() noexcept { lost_ = 0; }
    // Entries that the journal did not take, written to stderr instead: told in a record once the
    // journal takes records again, or at the end.
    long long diverted() const noexcept { return diverted_; }
    bool journal_taking() const noexcept { return journal_taking_; }
    Ref diversion_text() const;
    void diversion_told() noexcept { diverted_ = 0; }

    int traverse(visitproc visit, void* arg) const;

private:
    void append(PyObject* s) { rt::check_int(PyList_Append(parts_.get(), s)); }

    Ref parts_;
    Ref datagrams_, stand_ins_;
    Ref last_overlap_;
    bool last_was_redrawing_ = false;
    bool colour_;
    Py_ssize_t width_ = 0;
    Py_ssize_t last_in_place_width_ = 0;
    bool line_open_ = false;   // the cursor stands at the end of the last piece
    bool line_ended_ = false;  // a chunk ended that piece's line: the next piece needs no line feed
    long long lost_ = 0;
    Ref lost_reason_;
    long long diverted_ = 0;
    bool journal_taking_ = true;
    Ref diverted_reason_;
};

// "Type: message" on one line: what a line of the handler's own says of an exception.
Ref describe(PyObject* exc);

}  // namespace tlh
