#include "text/layout.hpp"

namespace tlh {

Format resolve_format(PyObject* g, bool terminal, bool journal) {
    Ref value = global<"LOG_FORMAT">(g);
    if (value.get() == Py_None) {
        Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
        value = rt::call_method(environ.get(), name<"get">(), {name<"TARVO_LOG_FORMAT">(), name<"terminal">()});
    }
    if (PyUnicode_Check(value.get())) {
        if (equal(value.get(), name<"terminal">()) || equal(value.get(), name<"">())) return Format::terminal;
        if (equal(value.get(), name<"plain">())) return Format::plain;
        if (equal(value.get(), name<"json">())) return Format::json;
        if (equal(value.get(), name<"journal">())) return Format::journal;
        if (equal(value.get(), name<"auto">()))
            return journal ? Format::journal : terminal ? Format::terminal : Format::plain;
    }
    rt::raise_format(PyExc_ValueError,
                     "unknown log format %R: TARVO_LOG_FORMAT and tarvo_loghandle.loghandle_imp.LOG_FORMAT take "
                     "'terminal', 'plain', 'json', 'journal' or 'auto'",
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

namespace {

// os.environ.get(name), as text; empty where it is not set.
Ref environment(PyObject* g, PyObject* variable) {
    Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
    return rt::call_method(environ.get(), name<"get">(), {variable, name<"">()});
}

}  // namespace

bool colour_wanted(PyObject* g, bool terminal) {
    Ref python_colors = environment(g, name<"PYTHON_COLORS">());
    if (equal(python_colors.get(), name<"1">())) return true;
    if (equal(python_colors.get(), name<"0">())) return false;
    if (rt::truth(environment(g, name<"NO_COLOR">()).get())) return false;
    if (rt::truth(environment(g, name<"FORCE_COLOR">()).get())) return true;
    if (equal(environment(g, name<"TERM">()).get(), name<"dumb">())) return false;
    return terminal;
}

}  // namespace tlh
