// write_aiologs: renders the entries of each chunk the splitter delivers and writes the chunk's
// text with one write. Pieces are separated by line feeds, or by carriage returns where a piece
// is drawn over the previous one in place (progress bars).
#include "output.hpp"
#include "output_thread.hpp"
#include "records.hpp"
#include "render.hpp"
#include "screen_text.hpp"

#include <string>

namespace tlh {
namespace {

// The text and separator state of the chunk being assembled.
struct Assembly {
    Ref parts = rt::owned(PyList_New(0));
    Ref last_overlap = rt::boolean(false);
    bool last_was_redrawing = false;
    // A piece drawn in place erases the rest of the line it overwrites with ESC [ K; under NO_COLOR,
    // which asks for no escape sequences, with spaces up to the columns of the piece before it.
    bool erase_with_escape = true;
    Py_ssize_t last_in_place_width = 0;

    struct Mark {
        Py_ssize_t size;
        Ref last_overlap;
        bool last_was_redrawing;
        Py_ssize_t last_in_place_width;
    };
    Mark mark() const {
        return {PyList_GET_SIZE(parts.get()), last_overlap, last_was_redrawing, last_in_place_width};
    }
    void rollback(const Mark& m) {
        rt::check_int(PyList_SetSlice(parts.get(), m.size, PyList_GET_SIZE(parts.get()), nullptr));
        last_overlap = m.last_overlap;
        last_was_redrawing = m.last_was_redrawing;
        last_in_place_width = m.last_in_place_width;
    }

    void append(PyObject* s) { rt::check_int(PyList_Append(parts.get(), s)); }

    // The separator rule: drawn in place when (overlap and last_overlap) or redraw. A piece drawn
    // in place erases what is left of the longer line it overwrites. Log data never moves the
    // cursor or rewrites the screen itself: its control characters are shown escaped.
    void add(PyObject* overlap, PyObject* line, PyObject* redraw) {
        bool in_place = (rt::truth(overlap) && rt::truth(last_overlap.get())) || rt::truth(redraw);
        if (!PyUnicode_Check(line))
            rt::raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(line)->tp_name);
        Ref shown = shown_safely(line);
        if (in_place) {
            shown = tabs_expanded(shown.get());
            if (!last_was_redrawing) append(name<"\n">());
            append(name<"\r">());
            append(shown.get());
            if (erase_with_escape) {
                append(name<"\x1b[K">());
            } else {
                Py_ssize_t width = columns(shown.get());
                if (last_was_redrawing && last_in_place_width > width)
                    append(rt::str(std::string(size_t(last_in_place_width - width), ' ')).get());
                last_in_place_width = width;
            }
            last_was_redrawing = true;
        } else {
            append(name<"\n">());
            append(shown.get());
            last_was_redrawing = false;
        }
        last_overlap = Ref::incref(overlap);
    }

    Ref take_text() {
        Ref text = rt::owned(PyUnicode_Join(name<"">(), parts.get()));
        rt::check_int(PyList_SetSlice(parts.get(), 0, PyList_GET_SIZE(parts.get()), nullptr));
        return text;
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

// Entries whose chunk could not be written (a full disk, a closed pipe): counted, and told in one
// red line at the head of the next chunk that can be.
struct Losses {
    long long entries = 0;
    Ref reason;

    void add(long long count, PyObject* exc) {
        entries += count;
        reason = describe(exc);
    }
    Ref text() const {
        Ref count = rt::integer(entries);
        if (entries == 1) return rt::concat({count.get(), name<" log entry was lost: ">(), reason.get()});
        return rt::concat({count.get(), name<" log entries were lost: ">(), reason.get()});
    }
};

// The red line that tells the losses on a terminal.
Ref loss_line(PyObject* g, const Losses& lost) {
    Ref report = rt::concat({name<"✗">(), lost.text().get()});
    return rt::call(global<"color_red">(g).get(), {report.get()});
}

rt::Async write_aiologs(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    debug(g, name<"write_aiologs started">());

    Renderer renderer(g);
    Format format = resolve_format(g);
    Records records(g, format);

    // Frame-held: they live across the awaits below, where the collector must see them.
    rt::Local output;  // (file, encoding), or None
    rt::Local chunks;
    rt::Local executor;
    executor = start_output_thread();
    OutputProgress& progress = progress_of(executor.get());
    set_output_of(self, executor.get());
    struct Ending {  // however the run ends, its thread ends after the calls given to it
        PyObject* handler;
        PyObject* executor;
        ~Ending() noexcept(false) {
            if (!rt::may_touch_objects()) return;
            set_output_of(handler, nullptr);
            try {
                stop_output_thread(executor);
            } catch (PyErr& e) {  // it may run while an exception leaves the body: reported, not thrown
                e.restore();
                PyErr_WriteUnraisable(executor);
            }
        }
    } ending{self, executor.get()};
    Ref opening = rt::call(rt::make_function(open_output_def, g).get(), {executor.get()});
    output = co_await rt::await(std::move(opening));
    PyObject* file = output.get() == Py_None ? nullptr : PyTuple_GET_ITEM(output.get(), 0);
    PyObject* encoding = file ? PyTuple_GET_ITEM(output.get(), 1) : nullptr;
    // An output file object that is None (an aiofiles that gave none) is refused at the first write.
    auto closable = [&] { return file && file != Py_None && !progress.abandoned; };
    Ref write_fn = rt::make_function(write_text_def, g);

    rt::DecimalCount n, chunk_number;  // entries received, and the number of the chunk at hand
    Assembly out;
    {
        Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
        out.erase_with_escape = !rt::check_int(PySequence_Contains(environ.get(), name<"NO_COLOR">()));
    }
    Losses lost;
    bool wrote_any = false;
    Caught caught;
    try {
        if (rt::getattr(self, name<"splitter">()).get() == Py_None) rt::raise_none(PyExc_AssertionError);
        out.last_was_redrawing = false;
        {
            PyObject* const sub_kw = rt::keywords<"sub_id">();
            Ref splitter = rt::getattr(self, name<"splitter">());
            Ref read_packets = rt::getattr(splitter.get(), name<"read_packets">());
            Ref packets = rt::call_kw(read_packets.get(), {name<"write_aiologs">()}, sub_kw);
            chunks = rt::aiter(packets.get());
        }
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
            long long len = PyObject_Size(chunk.get());
            if (len < 0) rt::throw_error();
            debug(g, rt::ascii("write_aiologs receives chunk ", chunk_number, " - ", len, " "));
            if (lost.entries) {
                if (format == Format::terminal)
                    out.add(Py_False, loss_line(g, lost).get(), Py_False);
                else
                    records.add_own(lost.text().get(), out.parts.get());
            }
            rt::DecimalCount i;
            for (Ref& element : rt::iterate(chunk.get())) {
                Ref pair[2];
                rt::unpack(element.get(), 2, pair);
                PyObject* le0 = pair[1].get();
                debug(g, rt::ascii("write_aiologs receives #", n, " (", chunk_number, "/", i, ") "));
                ++n;
                Assembly::Mark mark = out.mark();
                try {
                    if (format != Format::terminal) {
                        records.add(le0, out.parts.get());
                    } else {
                        renderer.each_piece(le0, [&](Piece& p) { out.add(p.overlap, p.line.get(), p.redraw); });
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
                    auto failure = [&] { return rt::concat({name<"Cannot handle the log message: ">(), describe(e.value()).get()}); };
                    if (format != Format::terminal) {
                        records.add_own(failure().get(), out.parts.get());
                    } else {
                        renderer.forget_prefixes();
                        Ref glyph = rt::call_method(global<"termcolor">(g).get(), name<"colored">(), {name<"✗">(), name<"red">()});
                        out.add(Py_False, rt::concat({glyph.get(), failure().get()}).get(), Py_False);
                    }
                }
                debug(g, rt::ascii("write_aiologs receives #", n, " (", chunk_number, "/", i, ") - finished "));
                ++i;
            }
            debug(g, rt::ascii("write_aiologs finished chunk ", chunk_number));
            Ref text = out.take_text();
            if (file == Py_None) rt::raise_none(PyExc_AssertionError);
            if (file) {
                // A failed write costs this chunk only: the writer goes on with the next.
                Ref writing = rt::call(write_fn.get(), {file, encoding, text.get()});
                Caught failed;
                progress.entries_in_flight = len;
                try {
                    co_await rt::await(std::move(writing));
                    progress.entries_in_flight = 0;
                    if (PyUnicode_GET_LENGTH(text.get())) wrote_any = true;
                    lost.entries = 0;
                } catch (PyErr& e) {
                    if (!e.matches(PyExc_OSError)) throw;
                    failed = std::move(e);
                }
                progress.entries_in_flight = 0;
                if (failed) {
                    lost.add(len, failed.value());
                    debug(g, rt::concat({name<"write_aiologs could not write chunk ">(), rt::integer(chunk_number.value()).get(),
                                         name<", so far ">(), lost.text().get()}));
                }
            }
            debug(g, rt::ascii("write_aiologs finished chunk ", chunk_number, " - and pushed"));
            ++chunk_number;  // every chunk taken in ends here: no path above skips it
        }
    } catch (PyErr& e) {
        caught = std::move(e);
    }

    if (caught && !caught.matches(global<"SplitterBadFinish">(g).get())) {
        rt::Except handling(caught);
        debug(g, rt::concat({name<"write_aiologs receives Exception: ">(), format_exc(g).get()}));
        // An abandoned writer must not suspend, nor wait for an output the close gave up on.
        if (closable() && !caught.matches(PyExc_GeneratorExit)) {
            Ref closing = rt::call(rt::make_function(close_output_def, g).get(), {file});
            co_await rt::await(std::move(closing));
        }
        caught.reraise();
    }
    if (caught) {
        rt::Except handling(caught);
        debug(g, name<"write_aiologs receives SplitterBadFinish.">());
    } else {
        debug(g, name<"write_aiologs finished gracefully.">());
    }
    if (closable()) {
        // What is still to be written: losses not told yet (the last chunks could not be written),
        // for log collectors the last state of a thinned run, and on a terminal the end of the last
        // line, so that what comes after the log (a prompt, a traceback) starts on its own.
        Ref rest;
        if (format != Format::terminal) {
            if (lost.entries) records.add_own(lost.text().get(), out.parts.get());
            records.flush(out.parts.get());
            rest = out.take_text();
        } else if (wrote_any || lost.entries) {
            if (lost.entries) out.add(Py_False, loss_line(g, lost).get(), Py_False);
            rest = rt::concat({out.take_text().get(), name<"\n">()});
        }
        if (rest && PyUnicode_GET_LENGTH(rest.get())) {
            Ref writing = rt::call(write_fn.get(), {file, encoding, rest.get()});
            try {
                co_await rt::await(std::move(writing));
            } catch (PyErr& e) {
                if (!e.matches(PyExc_OSError)) throw;
            }
        }
        Ref closing = rt::call(rt::make_function(close_output_def, g).get(), {file});
        co_await rt::await(std::move(closing));
    }
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef write_aiologs_def = {"write_aiologs", "LoggingHandler.write_aiologs", {"self"},
                                           rt::coroutine_entry<write_aiologs>, rt::FunctionKind::coroutine,
    "The writer task's coroutine: renders each chunk of entries and writes it to the output with one write."};

}  // namespace tlh
