// The text of one record in the formats for log collectors: the plain format's lines, and the
// json format's line, made in C++ straight from what the entry says.
#pragma once
#include "common.hpp"

namespace tlh {

// str(o), or o itself when it is a str.
Ref text_of(PyObject* o);

// ts level logger file:function message key=value ..., and the message's further lines indented,
// each line ending with a line feed. `kwargs` may be null (no keyword values shown).
Ref plain_lines(double ts, PyObject* level, PyObject* logger, PyObject* place, PyObject* message, PyObject* kwargs);

// One JSON object on one line: the time, the level, the logger, module, file and function, the
// message without colour, the keyword values, the tags and the delay (now - ts). `kwargs` and
// `tags` may be null.
Ref json_line(double ts, PyObject* level, PyObject* logger, PyObject* module, PyObject* file, PyObject* function,
              PyObject* message, PyObject* kwargs, PyObject* tags, double now);

}  // namespace tlh
