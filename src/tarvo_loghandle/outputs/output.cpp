#include "outputs/output.hpp"

#include "outputs/journal_sink.hpp"

namespace tlh {

int Output::traverse(visitproc visit, void* arg) const {
    if (int r = layout->traverse(visit, arg)) return r;
    if (int r = sink->traverse(visit, arg)) return r;
    return chunk.traverse(visit, arg);
}

Output make_output(PyObject* g, std::unique_ptr<StreamSink> stream, PyObject* executor) {
    bool at_once = executor == Py_None;
    Format format;
    try {
        format = resolve_format(g, stream->terminal(), stream->journal_stream());
    } catch (PyErr& e) {  // an unknown format: init() refuses it with its message; at once, plain
        if (!at_once || !e.matches(PyExc_Exception)) throw;
        format = Format::plain;
    }
    // At once, json stays json, so that a collector reading JSON lines is never handed another line,
    // and the journal gets records.
    if (at_once && format == Format::terminal) format = Format::plain;
    StreamSink* s = stream.get();
    bool colour = at_once || colour_wanted(g, s->terminal());
    switch (format) {
        case Format::terminal: return Output{terminal_layout(g), std::move(stream), ChunkOutput(colour), s};
        case Format::plain:
        case Format::json: return Output{record_layout(g, format), std::move(stream), ChunkOutput(colour), s};
        case Format::journal:
            return Output{record_layout(g, format), std::make_unique<JournalSink>(g, std::move(stream), executor),
                          ChunkOutput(colour), s};
    }
    rt::raise(PyExc_SystemError, "no output for the log format");
}

}  // namespace tlh
