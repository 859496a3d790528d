// write_aiologs: the writer task's coroutine. Each chunk the splitter delivers is laid out entry by
// entry, by the layout of the run's output format, into the chunk's text, which the output takes
// with one write. The writer itself does not know the format.
#include "chunk_output.hpp"
#include "layout.hpp"
#include "output.hpp"

namespace tlh {
namespace {

// Counts of a run: the entries received, and the number of the chunk at hand.
struct Counts {
    rt::DecimalCount entries;
    rt::DecimalCount chunk;
};

// The entries of one chunk into its text, each with its messages; returns how many there are.
long long lay_out(PyObject* g, Layout& layout, ChunkOutput& out, PyObject* chunk, Counts& counts) {
    long long len = PyObject_Size(chunk);
    if (len < 0) rt::throw_error();
    debug(g, rt::ascii("write_aiologs receives chunk ", counts.chunk, " - ", len, " "));
    if (out.lost()) layout.add_losses(out.losses_text().get(), out);
    rt::DecimalCount i;
    for (Ref& element : rt::iterate(chunk)) {
        Ref pair[2];
        rt::unpack(element.get(), 2, pair);
        debug(g, rt::ascii("write_aiologs receives #", counts.entries, " (", counts.chunk, "/", i, ") "));
        ++counts.entries;
        show_entry(g, layout, out, pair[1].get());
        debug(g, rt::ascii("write_aiologs receives #", counts.entries, " (", counts.chunk, "/", i, ") - finished "));
        ++i;
    }
    debug(g, rt::ascii("write_aiologs finished chunk ", counts.chunk));
    return len;
}

// What is still to be written when the run ends: losses not told yet (the last chunks could not be
// written), what the layout still owes (the last states of thinned bars), and the end of the last
// line, so that what comes after the log (a prompt, a traceback) starts on a line of its own.
Ref rest_of_run(Layout& layout, ChunkOutput& out) {
    if (out.lost()) layout.add_losses(out.losses_text().get(), out);
    layout.finish(out);
    return out.take_last_text();
}

rt::Async write_aiologs(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    debug(g, name<"write_aiologs started">());
    // Held across the awaits below, where the collector sees them. The output is opened first: the
    // format (auto), colour and redraws follow what it is.
    rt::Held<Output> output(g, self);
    Ref opening = output->opening();
    Ref opened = co_await rt::await(std::move(opening));
    output->opened(std::move(opened));
    rt::Held<std::unique_ptr<Layout>> layout(make_layout(g, output->terminal()));
    rt::Held<ChunkOutput> out(colour_wanted(g, output->terminal()));
    Counts counts;
    rt::Caught caught;
    try {
        if (rt::getattr(self, name<"splitter">()).get() == Py_None) rt::raise_none(PyExc_AssertionError);
        rt::Local chunks;
        {
            Ref splitter = rt::getattr(self, name<"splitter">());
            Ref read_packets = rt::getattr(splitter.get(), name<"read_packets">());
            chunks = rt::aiter(rt::call_kw(read_packets.get(), {name<"write_aiologs">()}, rt::keywords<"sub_id">()).get());
        }
        for (;;) {
            Ref step = rt::anext(chunks.get());
            Ref chunk = co_await rt::await_next(std::move(step));
            if (!chunk) break;
            if (rt::truth(rt::getattr(self, name<"disabled">()).get())) {
                debug(g, name<"write_aiologs does nothing beause LoggingHandler is disabled\n">());
                continue;
            }
            if (output->terminal()) out->set_width(output->columns());  // it may have been resized
            long long len = lay_out(g, **layout, *out, chunk.get(), counts);
            chunk.reset();
            Ref text = out->take_text();
            if (output->writes()) {
                // A failed write costs this chunk only: the writer goes on with the next.
                Ref writing = output->writing(text.get(), len);
                text.reset();
                Ref failure = co_await rt::await(std::move(writing));
                output->written();
                if (failure.get() == Py_None) {
                    out->losses_told();
                } else {
                    out->lose(len, failure.get());
                    debug(g, rt::concat({name<"write_aiologs could not write chunk ">(), rt::integer(counts.chunk.value()).get(),
                                         name<", so far ">(), out->losses_text().get()}));
                }
            }
            debug(g, rt::ascii("write_aiologs finished chunk ", counts.chunk, " - and pushed"));
            ++counts.chunk;  // every chunk taken in ends here: no path above skips it
        }
    } catch (PyErr& e) {
        caught = std::move(e);
    }

    if (caught && !caught.matches(global<"SplitterBadFinish">(g).get())) {
        rt::Except handling(caught);
        debug(g, rt::concat({name<"write_aiologs receives Exception: ">(), format_exc(g).get()}));
        if (output->closable() && !caught.matches(PyExc_GeneratorExit)) {  // an abandoned writer must not suspend
            Ref closing = output->closing();
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
    if (output->closable()) {
        Ref finishing = output->finishing(rest_of_run(**layout, *out).get());
        co_await rt::await(std::move(finishing));
    }
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef write_aiologs_def = {"write_aiologs", "LoggingHandler.write_aiologs", {"self"},
                                           rt::coroutine_entry<write_aiologs>, rt::FunctionKind::coroutine,
    "The writer task's coroutine: lays out each chunk of entries and writes it to the output with one write."};

}  // namespace tlh
