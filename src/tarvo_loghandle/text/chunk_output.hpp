// The text of one chunk as the layouts make it (or the journal records of its entries), with where
// each entry ends: the output takes it with one write.
#pragma once
#include "package_base.hpp"

#include <vector>

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
        Py_ssize_t chars;
        Py_ssize_t records;
        Ref last_overlap;
        bool last_was_redrawing;
        Py_ssize_t last_in_place_width;
        bool line_open;
        bool line_ended;
    };
    Mark mark() const;
    void rollback(const Mark& m);

    // Other processes write the same output between chunks: this chunk starts on a line of its own
    // (a line the chunk before left open is ended first; a run's first piece gets no line feed before
    // it), and take_text() ends its last line, a line drawn in place too.
    void among_other_writers();

    // The chunk's text; the chunk starts empty again. Its last line is ended (other writers of
    // stderr, a warning or a traceback, then start on a line of their own), unless it is being
    // drawn in place: a progress bar in progress stays where the next state overwrites it.
    Ref take_text();
    // The run ends: the last line is ended in any case, a progress bar's too.
    void end_last_line();
    // The chunk's journal records, (datagrams, stand-ins): two lists, or an empty Ref when the
    // chunk has none; the chunk has none again.
    Ref take_records();
    // What the journal did not take of `records` (as send_records tells it: None, or the indices
    // and the error): the lines that stand in for each of them on stderr, a list.
    static Ref unsent_texts(PyObject* records, PyObject* unsent);
    // The end of an entry: where its text ends in the chunk's text (in characters), so that a
    // write that stops in the middle of the chunk can tell which entries it wrote.
    void end_entry() { ends_.push_back(size_); }
    // The end of the line that tells what the output owed before the chunk's entries.
    void end_notice() noexcept { notice_end_ = size_; }
    // Where that line ends in the text last taken; 0 when it had none.
    Py_ssize_t notice_end() const noexcept { return taken_notice_end_; }
    // Where the entries of the text last taken end, in characters; the last one at its end.
    const std::vector<Py_ssize_t>& entry_ends() const noexcept { return taken_ends_; }
    // Whether nothing was added since the text and records were last taken.
    bool empty() const noexcept { return size_ == 0 && PyList_GET_SIZE(datagrams_.get()) == 0; }
    // The number of entries of the chunk at hand.
    Py_ssize_t entries() const noexcept { return Py_ssize_t(ends_.size()); }

    int traverse(visitproc visit, void* arg) const;

private:
    void append(PyObject* s) {
        rt::check_int(PyList_Append(parts_.get(), s));
        size_ += PyUnicode_GET_LENGTH(s);
    }

    Ref parts_;
    Py_ssize_t size_ = 0;  // characters in parts_
    std::vector<Py_ssize_t> ends_, taken_ends_;
    Py_ssize_t notice_end_ = 0, taken_notice_end_ = 0;
    Ref datagrams_, stand_ins_;
    Ref last_overlap_;
    bool last_was_redrawing_ = false;
    bool colour_;
    Py_ssize_t width_ = 0;
    Py_ssize_t last_in_place_width_ = 0;
    bool line_open_ = false;   // the cursor stands at the end of the last piece
    bool line_ended_ = false;
    bool among_others_ =
        false;  // the chunk at hand: among_other_writers()  // a chunk ended that piece's line: the next piece needs no line feed
};

// "Type: message" on one line: what a line of the handler's own says of an exception.
Ref describe(PyObject* exc);

}  // namespace tlh
