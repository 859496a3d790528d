// write_aiologs: renders the entries of each chunk the splitter delivers and writes the chunk's
// text with one write. Pieces are separated by line feeds, or by carriage returns where a piece
// is drawn over the previous one in place (progress bars).
#include "common.hpp"

#include <optional>

namespace tlh {
namespace {

// `same = x == <cell 0>`, then cell 0 remembers x; the result object is returned as == gave it.
Ref compare_and_remember(const Bound& a) {
    PyObject* x = a[0];
    Ref last = a.cell(0);
    Ref same = rt::owned(PyObject_RichCompare(x, last.get(), Py_EQ));
    a.set_cell(0, x);
    return same;
}

// Closure cells: (last_write_line_prefix, last_write_line_prefix_secondary). A new primary
// prefix also forgets the secondary one.
Ref same_prefix(Bound a) {
    Ref same = compare_and_remember(a);
    if (!rt::truth(same.get())) a.set_cell(1, Py_None);
    return same;
}

// Closure cell: (last_write_line_prefix_secondary,).
Ref same_prefix_secondary(Bound a) { return compare_and_remember(a); }

Ref cell(PyObject* v) { return rt::owned(PyCell_New(v)); }

// aiofiles.open(target, "a", buffering=1), looked up when called.
Ref open_appending(PyObject* g, PyObject* target) {
    static PyObject* const kw = rt::check(Py_BuildValue("(s)", "buffering"));
    static PyObject* const one = rt::check(PyLong_FromLong(1));
    return rt::call_kw(rt::getattr(global<"aiofiles">(g).get(), name<"open">()).get(), {target, name<"a">(), one}, kw);
}

// Opens the output. Under a service manager stderr may be a socket, which "/dev/stderr" cannot
// open: the default path then falls back to a duplicate of descriptor 2. Line buffering hands
// each chunk (it always holds a line feed or carriage return) to the OS with its write.
rt::Async open_output(Bound a) {
    PyObject* g = a.globals();
    Ref path = global<"STDERR">(g);
    Ref opening = open_appending(g, path.get());
    Caught failed;
    try {
        Ref file = co_await rt::await(std::move(opening));
        co_return file;
    } catch (PyErr& e) {
        if (!e.matches(PyExc_OSError) || !PyUnicode_Check(path.get()) || !equal(path.get(), name<"/dev/stderr">())) throw;
        failed = std::move(e);
    }
    rt::Except handling(failed);
    static PyObject* const two = rt::check(PyLong_FromLong(2));
    Ref fd = rt::call_method(global<"os">(g).get(), name<"dup">(), {two});
    Ref reopening = open_appending(g, fd.get());
    Ref file = co_await rt::await(std::move(reopening));
    co_return file;
}
const rt::FunctionDef open_output_def = {"open_output", "open_output", {}, rt::coroutine_entry<open_output>,
                                         rt::FunctionKind::coroutine};

// Writes one chunk's text. Characters the output's encoding cannot represent (lone surrogates
// from undecodable file names) are written escaped rather than failing the whole chunk.
rt::Async write_text(Bound a) {
    PyObject* stderr_file = a[0];
    Ref text = Ref::incref(a[1]);
    Caught unencodable;
    try {
        Ref writing = rt::call_method(stderr_file, name<"write">(), {text.get()});
        co_await rt::await(std::move(writing));
        co_return rt::none();
    } catch (PyErr& e) {
        if (!e.matches(PyExc_UnicodeEncodeError)) throw;
        unencodable = std::move(e);
    }
    rt::Except handling(unencodable);
    Ref encoding = rt::getattr(unencodable.value(), name<"encoding">());
    Ref bytes = rt::call_method(text.get(), name<"encode">(), {encoding.get(), name<"backslashreplace">()});
    Ref escaped = rt::call_method(bytes.get(), name<"decode">(), {encoding.get()});
    Ref writing = rt::call_method(stderr_file, name<"write">(), {escaped.get()});
    co_await rt::await(std::move(writing));
    co_return rt::none();
}
const rt::FunctionDef write_text_def = {"write_text", "write_text", {"stderr", "text"},
                                        rt::coroutine_entry<write_text>, rt::FunctionKind::coroutine};

// The text and separator state of the chunk being assembled.
struct Assembly {
    Ref parts = rt::owned(PyList_New(0));
    Ref last_overlap = rt::boolean(false);
    bool last_was_redrawing = false;

    struct Mark {
        Py_ssize_t size;
        Ref last_overlap;
        bool last_was_redrawing;
    };
    Mark mark() const { return {PyList_GET_SIZE(parts.get()), last_overlap, last_was_redrawing}; }
    void rollback(const Mark& m) {
        rt::check_int(PyList_SetSlice(parts.get(), m.size, PyList_GET_SIZE(parts.get()), nullptr));
        last_overlap = m.last_overlap;
        last_was_redrawing = m.last_was_redrawing;
    }

    void append(PyObject* s) { rt::check_int(PyList_Append(parts.get(), s)); }

    // The separator rule: drawn in place when (overlap and last_overlap) or redraw.
    void add(PyObject* overlap, PyObject* line, PyObject* redraw) {
        bool in_place = (rt::truth(overlap) && rt::truth(last_overlap.get())) || rt::truth(redraw);
        if (in_place) {
            if (!last_was_redrawing) append(name<"\n">());
            append(name<"\r">());
            last_was_redrawing = true;
        } else {
            append(name<"\n">());
            last_was_redrawing = false;
        }
        if (!PyUnicode_Check(line))
            rt::raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(line)->tp_name);
        append(line);
        last_overlap = Ref::incref(overlap);
    }

    Ref take_text() {
        Ref text = rt::owned(PyUnicode_Join(name<"">(), parts.get()));
        rt::check_int(PyList_SetSlice(parts.get(), 0, PyList_GET_SIZE(parts.get()), nullptr));
        return text;
    }
};

// The writer's prefix memory (closure cells) and the closures that share it, made afresh by every
// run: same_prefix, same_prefix_secondary, and handle, the renderer, which calls both.
struct Renderer {
    Ref last_write_line_prefix = cell(Py_None);
    Ref last_write_line_prefix_secondary = cell(Py_None);
    Ref handle;

    explicit Renderer(PyObject* g) {
        Ref any_tuple = subscript(global<"Tuple">(g), {global<"Any">(g).get(), Py_Ellipsis});
        Ref same_prefix_fn =
            rt::make_function(same_prefix_def, g,
                              rt::tuple({last_write_line_prefix.get(), last_write_line_prefix_secondary.get()}).get(),
                              annotations({{"x", any_tuple.get()}, {"return", global<"bool">(g).get()}}).get());
        Ref same_prefix_secondary_fn =
            rt::make_function(same_prefix_secondary_def, g, rt::tuple({last_write_line_prefix_secondary.get()}).get(),
                              annotations({{"x", any_tuple.get()}, {"return", global<"bool">(g).get()}}).get());
        Ref piece = subscript(global<"Tuple">(g), {global<"bool">(g).get(), global<"str">(g).get(), global<"bool">(g).get()});
        Ref pieces = subscript(global<"Iterator">(g), {piece.get()});
        handle = rt::make_function(handle_def, g,
                                   rt::tuple({cell(same_prefix_fn.get()).get(), cell(same_prefix_secondary_fn.get()).get()}).get(),
                                   annotations({{"le", global<"LogEntry">(g).get()}, {"return", pieces.get()}}).get());
    }

    // After an entry failed halfway, the next one starts with its header.
    void forget_prefixes() {
        rt::check_int(PyCell_Set(last_write_line_prefix.get(), Py_None));
        rt::check_int(PyCell_Set(last_write_line_prefix_secondary.get(), Py_None));
    }
};

// "Type: message" on one line, for the line that stands in for an entry that cannot be shown.
Ref describe(PyObject* exc) {
    Ref type_name = rt::owned(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__name__"));
    PyObject* text = PyObject_Str(exc);
    if (!text) {
        PyErr_Clear();
        return type_name;
    }
    Ref message = Ref::steal(text);
    if (PyUnicode_GET_LENGTH(message.get()) == 0) return type_name;
    Ref flat = rt::call_method(message.get(), name<"replace">(), {name<"\r">(), name<" ">()});
    flat = rt::call_method(flat.get(), name<"replace">(), {name<"\n">(), name<" ">()});
    return rt::concat({type_name.get(), name<": ">(), flat.get()});
}

rt::Async write_aiologs(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    debug(g, name<"write_aiologs started">());

    Renderer renderer(g);

    Ref opening = rt::call(rt::make_function(open_output_def, g).get());
    Ref stderr_file = co_await rt::await(std::move(opening));

    long long n = 0, nchunks = 0;
    Assembly out;
    Caught caught;
    try {
        if (rt::getattr(self, name<"splitter">()).get() == Py_None) rt::raise_none(PyExc_AssertionError);
        out.last_was_redrawing = false;
        static PyObject* const sub_kw = rt::check(Py_BuildValue("(s)", "sub_id"));
        Ref splitter = rt::getattr(self, name<"splitter">());
        Ref packets = rt::call_kw(rt::getattr(splitter.get(), name<"read_packets">()).get(), {name<"write_aiologs">()}, sub_kw);
        Ref chunks = rt::aiter(packets.get());
        Ref write_fn = rt::make_function(write_text_def, g);
        for (;;) {
            Ref step = rt::anext(chunks.get());
            Ref chunk;
            try {
                chunk = co_await rt::await(std::move(step));
            } catch (PyErr& e) {
                if (!e.matches(PyExc_StopAsyncIteration)) throw;
                break;
            }
            if (rt::truth(rt::getattr(self, name<"disabled">()).get())) {
                debug(g, name<"write_aiologs does nothing beause LoggingHandler is disabled\n">());
                continue;
            }
            ++nchunks;
            long long len = PyObject_Size(chunk.get());
            if (len < 0) rt::throw_error();
            debug(g, rt::ascii("write_aiologs receives chunk ", nchunks - 1, " - ", len, " "));
            long long i = 0;
            for (Ref& element : rt::iterate(chunk.get())) {
                Ref pair[2];
                rt::unpack(element.get(), 2, pair);
                PyObject* le0 = pair[1].get();
                debug(g, rt::ascii("write_aiologs receives #", n, " (", nchunks - 1, "/", i, ") "));
                ++n;
                Assembly::Mark mark = out.mark();
                try {
                    Ref pieces = rt::call(renderer.handle.get(), {le0});
                    for (Ref& item : rt::iterate(pieces.get())) {
                        Ref fields[3];
                        rt::unpack(item.get(), 3, fields);
                        out.add(fields[0].get(), fields[1].get(), fields[2].get());
                    }
                } catch (PyErr& e) {
                    // One entry that cannot be shown must not stop the log: it is reported, its
                    // pieces are taken back, and one line stands in its place. KeyboardInterrupt,
                    // SystemExit and the like are no rendering failures: they end the writer.
                    if (!e.matches(PyExc_Exception)) throw;
                    rt::Except handling(e);
                    Ref msg = rt::concat({name<"Cannot handle the log message: ">(), format_exc(g).get()});
                    debug(g, msg);
                    out.rollback(mark);
                    renderer.forget_prefixes();
                    Ref glyph = rt::call_method(global<"termcolor">(g).get(), name<"colored">(), {name<"✗">(), name<"red">()});
                    Ref line = rt::concat({glyph.get(), name<"Cannot handle the log message: ">(), describe(e.value()).get()});
                    out.add(Py_False, line.get(), Py_False);
                }
                debug(g, rt::ascii("write_aiologs receives #", n, " (", nchunks - 1, "/", i, ") - finished "));
                ++i;
            }
            debug(g, rt::ascii("write_aiologs finished chunk ", nchunks - 1));
            if (stderr_file.get() == Py_None) rt::raise_none(PyExc_AssertionError);
            Ref text = out.take_text();
            Ref writing = rt::call(write_fn.get(), {stderr_file.get(), text.get()});
            co_await rt::await(std::move(writing));
            debug(g, rt::ascii("write_aiologs finished chunk ", nchunks - 1, " - and pushed"));
        }
    } catch (PyErr& e) {
        caught = std::move(e);
    }

    if (caught.matches(global<"SplitterBadFinish">(g).get())) {
        rt::Except handling(caught);
        debug(g, name<"write_aiologs receives SplitterBadFinish.">());
        co_return rt::none();
    }
    if (caught) {
        rt::Except handling(caught);
        debug(g, rt::concat({name<"write_aiologs receives Exception: ">(), format_exc(g).get()}));
        caught.reraise();
    }
    debug(g, name<"write_aiologs finished gracefully.">());
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef same_prefix_def = {"same_prefix", "LoggingHandler.write_aiologs.<locals>.same_prefix", {"x"},
                                         same_prefix, rt::FunctionKind::plain};
const rt::FunctionDef same_prefix_secondary_def = {"same_prefix_secondary",
                                                   "LoggingHandler.write_aiologs.<locals>.same_prefix_secondary",
                                                   {"x"}, same_prefix_secondary, rt::FunctionKind::plain};
const rt::FunctionDef write_aiologs_def = {"write_aiologs", "LoggingHandler.write_aiologs", {"self"},
                                           rt::coroutine_entry<write_aiologs>, rt::FunctionKind::coroutine};

}  // namespace tlh
