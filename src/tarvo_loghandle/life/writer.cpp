// write_aiologs: the writer task's coroutine. Each chunk the splitter delivers is laid out entry by
// entry, by the layout of the run's output format, into the chunk's text (or records), which the
// output's sink takes. The writer itself knows neither the format nor the kind of output.
#include "life/log_queue.hpp"
#include "outputs/output.hpp"
#include "outputs/output_thread.hpp"

namespace tlh {
namespace {

// Counts of a run: the entries received, and the number of the chunk at hand.
struct Counts {
    rt::DecimalCount entries;
    rt::DecimalCount chunk;
};

// What the output owes its reader first (entries lost with chunks that could not be written, or
// sent elsewhere), as a line of the layout's own.
void add_notice(Output& out, bool at_end) {
    if (Ref notice = out.sink->notice(at_end)) {
        out.layout->add_losses(notice.get(), out.chunk);
        out.chunk.end_notice();
    }
}

// The entries of one chunk into its text, each with its messages; returns how many there are.
long long lay_out(PyObject* g, Output& out, PyObject* chunk, Counts& counts) {
    long long len = PyObject_Size(chunk);
    if (len < 0) rt::throw_error();
    debug(g, rt::ascii("write_aiologs receives chunk ", counts.chunk, " - ", len, " "));
    out.begin_chunk();
    add_notice(out, false);
    rt::DecimalCount i;
    for (Ref& element : rt::iterate(chunk)) {
        Ref pair[2];
        rt::unpack(element.get(), 2, pair);
        debug(g, rt::ascii("write_aiologs receives #", counts.entries, " (", counts.chunk, "/", i, ") "));
        ++counts.entries;
        show_entry(g, *out.layout, out.chunk, pair[1].get());
        out.chunk.end_entry();
        debug(g, rt::ascii("write_aiologs receives #", counts.entries, " (", counts.chunk, "/", i, ") - finished "));
        ++i;
    }
    debug(g, rt::ascii("write_aiologs finished chunk ", counts.chunk));
    return len;
}

// What the sink lost of the chunk (of the run's last text: `chunk` null), through debug.
void tell_failure(PyObject* g, Sink& sink, const rt::DecimalCount* chunk) {
    Ref failure = sink.failure();
    if (!failure) return;
    if (chunk)
        debug(g, rt::concat({name<"write_aiologs could not write chunk ">(), rt::integer(chunk->value()).get(),
                             name<", so far ">(), failure.get()}));
    else debug(g, rt::concat({name<"write_aiologs could not write its last text: ">(), failure.get()}));
}

// The run is over: what the output still owes goes to the process (told by the next write, or at
// exit), with what the close gave up on, and the queue learns that its writer is done.
void end_of_run(PyObject* g, RunThread& thread, Output& out) {
    if (long long given_up = thread.progress().given_up_entries) {
        PyObject* reason = name<"the output took nothing for 5 s">();
        given_up -= out.sink->interrupted(reason);  // the chunk whose write was cut off: by what was written
        if (given_up > 0) out.sink->lose(given_up, reason);
    }
    out.sink->hand_over();
    writer_ended(g, thread.queue(), thread.given_up());
}

// What is still to be written when the run ends: what the output owes (the losses of the last
// chunks), what the layout still owes (the last states of thinned bars), and the end of the last
// line, so that what comes after the log (a prompt, a traceback) starts on a line of its own.
void rest_of_run(Output& out) {
    add_notice(out, true);
    out.layout->finish(out.chunk);
    out.chunk.end_last_line();
}

rt::Async write_aiologs(Bound a) {
    PyObject* g = a.globals();
    PyObject* self = a[0];
    debug(g, name<"write_aiologs started">());
    // Held across the awaits below, where the collector sees them. The output is opened first: the
    // format (auto), colour and redraws follow what it is.
    rt::Held<RunThread> thread(self);
    Ref opening = StreamSink::opening(g, thread->executor());
    Ref opened = co_await rt::await(std::move(opening));
    rt::Held<Output> output(
        make_output(g, std::make_unique<StreamSink>(g, std::move(opened), thread->executor()), thread->executor()));
    Counts counts;
    rt::Caught caught;
    rt::Local step;  // what the sink asks to be awaited
    try {
        if (rt::getattr(self, name<"splitter">()).get() == Py_None) rt::raise_none(PyExc_AssertionError);
        rt::Local chunks;
        {
            Ref splitter = rt::getattr(self, name<"splitter">());
            Ref read_packets = rt::getattr(splitter.get(), name<"read_packets">());
            chunks =
                rt::aiter(rt::call_kw(read_packets.get(), {name<"write_aiologs">()}, rt::keywords<"sub_id">()).get());
        }
        for (;;) {
            Ref next = rt::anext(chunks.get());
            Ref chunk = co_await rt::await_next(std::move(next));
            if (!chunk) break;
            if (rt::truth(rt::getattr(self, name<"disabled">()).get())) {
                debug(g, name<"write_aiologs does nothing beause LoggingHandler is disabled\n">());
                taken(thread->queue(), PyObject_Size(chunk.get()));
                continue;
            }
            long long len = lay_out(g, *output, chunk.get(), counts);
            chunk.reset();
            taken(thread->queue(), len);
            // A failed write costs this chunk only: the writer goes on with the next.
            thread->in_flight(len);
            for (step = output->sink->delivering(output->chunk); step;) {
                Ref awaited = step.ref();
                step.reset();
                Ref result = co_await rt::await(std::move(awaited));
                step = output->sink->delivered(result.get());
            }
            thread->in_flight(0);
            tell_failure(g, *output->sink, &counts.chunk);
            debug(g, rt::ascii("write_aiologs finished chunk ", counts.chunk, " - and pushed"));
            ++counts.chunk;  // every chunk taken in ends here: no path above skips it
        }
    } catch (PyErr& e) {
        caught = std::move(e);
    }

    if (caught && !caught.matches(global<"SplitterBadFinish">(g).get())) {
        rt::Except handling(caught);
        debug(g, rt::concat({name<"write_aiologs receives Exception: ">(), format_exc(g).get()}));
        // An abandoned writer must not suspend; one given up on must not wait for its output.
        if (!caught.matches(PyExc_GeneratorExit) && !thread->given_up()) step = output->sink->closing();
        if (step) {
            Ref closing = step.ref();
            step.reset();
            co_await rt::await(std::move(closing));
        }
        end_of_run(g, *thread, *output);
        caught.reraise();
    }
    if (caught) {
        rt::Except handling(caught);
        debug(g, name<"write_aiologs receives SplitterBadFinish.">());
    } else {
        debug(g, name<"write_aiologs finished gracefully.">());
    }
    if (thread->given_up()) {
        end_of_run(g, *thread, *output);
        co_return rt::none();
    }
    rest_of_run(*output);
    for (step = output->chunk.empty() ? Ref() : output->sink->delivering(output->chunk); step;) {
        Ref awaited = step.ref();
        step.reset();
        Ref result = co_await rt::await(std::move(awaited));
        step = output->sink->delivered(result.get());
    }
    tell_failure(g, *output->sink, nullptr);  // nowhere left in this run's log to tell it: at the next write
    step = output->sink->closing();
    if (step) {
        Ref closing = step.ref();
        step.reset();
        co_await rt::await(std::move(closing));
    }
    end_of_run(g, *thread, *output);
    co_return rt::none();
}

}  // namespace

const rt::FunctionDef write_aiologs_def = {
    "write_aiologs",
    "LoggingHandler.write_aiologs",
    {"self"},
    rt::coroutine_entry<write_aiologs>,
    rt::FunctionKind::coroutine,
    "The writer task's coroutine: lays out each chunk of entries and writes it to the output with one write."};

}  // namespace tlh
