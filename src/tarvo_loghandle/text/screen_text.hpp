// Text of log data made safe to show on a terminal or in a log collector's line.
#pragma once
#include "package_base.hpp"

namespace tlh {

// What a shown text keeps as it is; every other control character (C0, DEL, C1) is written out
// as \xNN, so that log data cannot move the cursor, erase, or draw a line of its own.
enum class Keep : unsigned char {
    colours_tabs_line_feeds,  // terminal text: colour sequences (SGR, ESC [ ... m), tabs, line feeds
    colours_tabs,             // one terminal line (a header, a function line): no line feed either
    nothing,                  // a log collector's line: no control character at all, ESC included
};

// The text with what it may not keep escaped. Clean text (the usual case) is returned as it is,
// without a copy.
Ref shown_safely(PyObject* text, Keep keep = Keep::colours_tabs_line_feeds);

// The text without its colour sequences (ESC [ ... m), removed until none is left: a sequence
// that removing others puts together goes too. Text without any is returned as it is.
Ref without_colours(PyObject* text);

// Whether a str holds no control character at all (C0, ESC among them, DEL, C1): what any of the
// above shows of it is the text itself, on one line.
bool plain_already(PyObject* text);

// without_colours, then shown_safely: the text as a line without colour shows it, in one pass
// where it can be.
Ref shown_without_colours(PyObject* text, Keep keep = Keep::colours_tabs_line_feeds);

// How many terminal columns a shown line takes from the start of a line: colour sequences none,
// wide characters two, combining marks none, a tab up to the next multiple of 8.
Py_ssize_t columns(PyObject* shown);

// The start of a shown line that takes at most `max_columns` columns (a colour it leaves open
// reset at its end); an empty Ref when the whole line fits.
Ref cut_to_columns(PyObject* shown, Py_ssize_t max_columns);

// A line that is drawn over another in place: its tabs become the spaces they move over, since a
// tab moves the cursor without erasing what the earlier line left under it.
Ref tabs_expanded(PyObject* shown);

}  // namespace tlh
