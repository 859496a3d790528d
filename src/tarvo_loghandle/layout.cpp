#include "layout.hpp"

#include <unistd.h>

namespace tlh {

Format resolve_format(PyObject* g) {
    Ref value = global<"LOG_FORMAT">(g);
    if (value.get() == Py_None) {
        Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
        value = rt::call_method(environ.get(), name<"get">(), {name<"TARVO_LOG_FORMAT">(), name<"terminal">()});
    }
    if (PyUnicode_Check(value.get())) {
        if (equal(value.get(), name<"terminal">()) || equal(value.get(), name<"">())) return Format::terminal;
        if (equal(value.get(), name<"plain">())) return Format::plain;
        if (equal(value.get(), name<"json">())) return Format::json;
        if (equal(value.get(), name<"auto">())) {
            // A terminal is the process's stderr on a terminal, with the default output path.
            Ref path = global<"STDERR">(g);
            if (!(PyUnicode_Check(path.get()) && equal(path.get(), name<"/dev/stderr">()))) return Format::plain;
            Ref process_stderr = rt::getattr(global<"sys">(g).get(), name<"__stderr__">());
            if (process_stderr.get() == Py_None) return Format::plain;
            return isatty(2) == 1 ? Format::terminal : Format::plain;
        }
    }
    rt::raise_format(PyExc_ValueError,
                     "unknown log format %R: TARVO_LOG_FORMAT and tarvo_loghandle.loghandle_imp.LOG_FORMAT take "
                     "'terminal', 'plain', 'json' or 'auto'",
                     value.get());
}

void show_entry(PyObject* g, Layout& layout, ChunkOutput& out, PyObject* le) {
    ChunkOutput::Mark mark = out.mark();
    try {
        EntryView entry(g, le);
        layout.add(entry, out);
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        rt::Except handling(e);
        debug(g, rt::concat({name<"Cannot handle the log message: ">(), format_exc(g).get()}));
        out.rollback(mark);
        layout.add_failure(describe(e.value()).get(), out);
    }
}

std::unique_ptr<Layout> make_layout(PyObject* g) {
    Format format = resolve_format(g);
    if (format == Format::terminal) return terminal_layout(g);
    return record_layout(g, format);
}

}  // namespace tlh
