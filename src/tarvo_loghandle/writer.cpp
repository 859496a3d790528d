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
    if (out.diverted() && out.journal_taking()) {
        layout.add_losses(out.diversion_text().get(), out);
        out.diversion_told();
    }
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
// written), what the layout still owes (the last states of thinned bars), entries the journal did
// not take that were not told yet, and the end of the last
// line, so that what comes after the log (a prompt, a traceback) starts on a line of its own.
Ref rest_of_run(Layout& layout, ChunkOutput& out) {
    if (out.lost()) layout.add_losses(out.losses_text().get(), out);
    layout.finish(out);
    if (out.diverted()) {
        layout.add_losses(out.diversion_text().get(), out);
        out.diversion_told();
    }
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
    rt::Held<std::unique_ptr<Layout>> layout(make_layout(g, output->terminal(), output->journal()));
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
            rt::Local diverted;  // the journal format: the lines of what the journal did not take
            if (Ref records = out->take_records()) {
                // The chunk's records are sent; stderr gets what the journal does not take, in
                // the lines that stand in for them.
                rt::Local sent;
                sent = std::move(records);
                Ref sending = output->sending(PyTuple_GET_ITEM(sent.get(), 0), len);
                Ref unsent = co_await rt::await(std::move(sending));
                output->written();
                len = unsent.get() == Py_None ? 0 : PyTuple_GET_SIZE(PyTuple_GET_ITEM(unsent.get(), 0));
                diverted = out->unsent_text(sent.get(), unsent.get());
            }
            Ref text = out->take_text();
            bool all_sent = diverted && len == 0 && PyUnicode_GET_LENGTH(text.get()) == 0;
            if (diverted) text = rt::concat({text.get(), diverted.get()});
            diverted.reset();
            if (all_sent) out->losses_told();  // the journal took every record: nothing to write
            if (output->writes() && !all_sent) {
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
    if (output->given_up()) co_return rt::none();
    rt::Local last;
    last = rest_of_run(**layout, *out);
    if (Ref records = out->take_records()) {  // the journal's last records
        rt::Local sent;
        sent = std::move(records);
        Ref sending = output->sending(PyTuple_GET_ITEM(sent.get(), 0), 0);
        Ref unsent = co_await rt::await(std::move(sending));
        output->written();
        last = rt::concat({last.get(), out->unsent_text(sent.get(), unsent.get()).get()});
    }
    if (output->closable()) {
        Ref finishing = output->finishing(last.get());
        co_await rt::await(std::move(finishing));
    }
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef write_aiologs_def = {"write_aiologs", "LoggingHandler.write_aiologs", {"self"},
                                           rt::coroutine_entry<write_aiologs>, rt::FunctionKind::coroutine,
    "The writer task's coroutine: lays out each chunk of entries and writes it to the output with one write."};

}  // namespace tlh
