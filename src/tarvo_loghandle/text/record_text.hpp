// The text of one record in the formats for log collectors: the plain format's lines, and the
// json format's line, made in C++ straight from what the entry says.
#pragma once
#include "package_base.hpp"

#include <string>

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
    PyObject* trace;      // the trace it was logged in (text/trace_ids.hpp), or null
};

// The message with its keyword values after it (key=repr(value) ...), then, if asked and the entry
// has them, its trace ids (trace_id=... span_id=...), and the traceback under it.
Ref message_body(const Record& r, bool with_trace);

// ts level logger file:function:line message key=value ..., and the message's further lines (and
// the traceback) indented, each line ending with a line feed. The keyword values as their repr().
Ref plain_lines(const Record& r, PyObject* place);
// The same of a message body made before (message_body).
Ref plain_lines(double ts, PyObject* level, PyObject* logger, PyObject* place, PyObject* body);

// One JSON object on one line: the time, the level, the logger, module, file, function and line,
// the process and thread, the message without colour, the keyword values (typed), the tags, the
// delay (now - ts), and the exception.
Ref json_line(const Record& r);

// 2026-12-08T10:49:17.123Z: the time in UTC to the millisecond (the number itself where no date of
// the years 1 to 9999 fits).
std::string iso_time(double ts);

// The journal's record of an entry, in the journal's native protocol: MESSAGE (the message body
// without colour: all its lines in one record), PRIORITY, SYSLOG_IDENTIFIER, CODE_FILE, CODE_LINE,
// CODE_FUNC, the package's own TARVO_LOGGER, TARVO_MODULE, TARVO_LEVEL, TARVO_THREAD, TARVO_TIME,
// TARVO_TAGS, TARVO_EXCEPTION and TARVO_TRACEBACK, and each keyword value (its str()) under its
// journal field name.
Ref journal_record(const Record& r, PyObject* body, int priority, PyObject* identifier);

// A keyword's journal field name: upper case, every ASCII character but letters, digits and the
// underscore made an underscore, every other character written by its code point (U00E9), no
// underscore first, at most 64 characters; a name that would be empty, start with a digit, or be a
// field the package writes or that journald and journalctl interpret (MESSAGE_ID, ERRNO, SYSLOG_*,
// OBJECT_*, COREDUMP_*, UNIT, TID, ...) gets FIELD_ before it.
std::string journal_field_name(PyObject* key);

// What stands in for a record on stderr when the journal does not take it is made only then, from
// what `stand_in` keeps of the entry: the plain format's lines, each after "<N>", its priority,
// which the journal reads from its stream.
Ref journal_stand_in(double ts, PyObject* level, PyObject* logger, PyObject* place, PyObject* body, int priority);
Ref journal_fallback(PyObject* stand_in);

}  // namespace tlh
