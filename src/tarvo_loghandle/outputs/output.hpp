// An output of the log as a writer's run or an at-once write uses it: the layout of its format,
// the sink that takes the layout's chunks, and the chunk between them. The format switch is here:
// a new output is one layout, one sink, and its name below.
#pragma once
#include "outputs/stream_sink.hpp"
#include "text/layout.hpp"

#include <memory>

namespace tlh {

struct Output {
    std::unique_ptr<Layout> layout;
    std::unique_ptr<Sink> sink;
    ChunkOutput chunk;
    StreamSink* stream;  // the stream under the sink (the sink itself, or the journal's fallback)

    // Before each chunk: a terminal may have been resized, and other processes may have started
    // writing the same output.
    void begin_chunk() {
        if (Py_ssize_t width = stream->columns()) chunk.set_width(width);
        bool among_others = one_of_several_processes();
        layout->chunk_begins(among_others);
        if (among_others) chunk.among_other_writers();
    }
    int traverse(visitproc visit, void* arg) const;
};

// The output of the format (loghandle_imp.LOG_FORMAT, TARVO_LOG_FORMAT) for the stream opened for
// it, which `auto` looks at. `executor`: the run's own thread; None for entries written at once,
// which have no run whose headers or bars a terminal layout could continue (they get plain).
Output make_output(PyObject* g, std::unique_ptr<StreamSink> stream, PyObject* executor);

}  // namespace tlh
