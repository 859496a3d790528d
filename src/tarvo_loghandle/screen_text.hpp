// Text of log data made safe to show on a terminal.
#pragma once
#include "common.hpp"

namespace tlh {

// The line with every character that could move the cursor, erase or otherwise rewrite the screen
// shown escaped (\x08, \x1b[2J): C0 controls but tab and line feed, DEL, C1 controls, and escape
// sequences other than colours (SGR, ESC [ ... m), which services and the colour functions use on
// purpose. Clean text (the usual case) is returned as it is, without a copy.
Ref shown_safely(PyObject* line);

// The text without its colour sequences (ESC [ ... m); text without any is returned as it is.
Ref without_colours(PyObject* text);

// How many characters of a shown line take a place on the terminal: colour sequences take none.
Py_ssize_t visible_length(PyObject* shown);

}  // namespace tlh
