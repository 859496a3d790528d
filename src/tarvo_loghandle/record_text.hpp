// The text of one record in the formats for log collectors: the plain format's lines, and the
// json format's line, made in C++ straight from what the entry says.
#pragma once
#include "common.hpp"

namespace tlh {

// str(o), or o itself when it is a str.
Ref text_of(PyObject* o);

// What a record says, read from an entry (or made by the handler for a line of its own). The
// objects are borrowed; kwargs, tags, exception and traceback may be null.
struct Record {
    double ts;
    double now;  // the clock when written: json's delay
    PyObject* level;
    PyObject* logger;
    PyObject* module;
    PyObject* file;
    PyObject* function;
    PyObject* line;    // the line of the call, an int, or None or null where unknown
    long process;      // the process id
    PyObject* thread;  // the name of the thread that logged, or None or null where unknown
    PyObject* message;
    PyObject* kwargs;
    PyObject* tags;
    PyObject* exception;
    PyObject* traceback;  // the exception's traceback text
};

// ts level logger file:function:line message key=value ..., and the message's further lines (and
// the traceback) indented, each line ending with a line feed. The keyword values as their repr().
Ref plain_lines(const Record& r, PyObject* place);

// One JSON object on one line: the time, the level, the logger, module, file, function and line,
// the process and thread, the message without colour, the keyword values (typed), the tags, the
// delay (now - ts), and the exception.
Ref json_line(const Record& r);

}  // namespace tlh
