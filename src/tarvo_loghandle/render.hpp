// The renderer of one writer run: handle(le), the generator that turns an entry into output
// pieces, with the prefix memory it shares with the closures same_prefix and same_prefix_secondary.
#pragma once
#include "common.hpp"
#include "runtime/protocol.hpp"
#include "runtime/sequence.hpp"

namespace tlh {

// One output piece: (overlap, line, redraw), the flags being True or False.
struct Piece {
    PyObject* overlap;
    Ref line;
    PyObject* redraw;
};
using Pieces = rt::Sequence<Piece>;

// Made afresh by every run of the writer: two closure cells (last_write_line_prefix,
// last_write_line_prefix_secondary), the two closures over them, and handle, which calls both.
struct Renderer {
    Ref globals;
    Ref last_write_line_prefix;
    Ref last_write_line_prefix_secondary;
    Ref handle;

    explicit Renderer(PyObject* g);
    // The pieces of one entry, produced as handle(le) produces them for the writer's loop, without
    // a generator object or tuples in between; an exception ends them as it would end handle.
    template <class Sink>
    void each_piece(PyObject* le, Sink&& sink) const {
        try {
            for (Piece& p : pieces(le)) sink(p);
        } catch (PyErr& e) {
            if (!e.matches(PyExc_StopIteration)) throw;
            stop_iteration_escaped(e);
        }
    }
    // After an entry failed halfway, the next one starts with its header.
    void forget_prefixes();

private:
    Pieces pieces(PyObject* le) const;
    [[noreturn]] static void stop_iteration_escaped(const PyErr& e);
};

}  // namespace tlh
