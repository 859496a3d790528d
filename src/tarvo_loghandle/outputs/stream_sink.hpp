// The stream the log is written to: the process's stderr, or the file the user named in STDERR.
//
//   The default path STDERR ("/dev/stderr") is written through a duplicate of descriptor 2: it
//   shares the process's own stderr open file and offset, so the log and the process's other
//   output to stderr (a crash traceback) interleave in order and never overwrite each other, for
//   terminals, files, pipes and sockets alike. An interpreter started without a descriptor 2 gets
//   no output: whatever file later took that number may be the application's own. A path set by
//   the user is opened for appending.
//   The file is unbuffered and binary: each chunk is handed to the system by its own write, and a
//   failed write leaves nothing behind in a buffer to resurface or to block later chunks. What
//   the encoding cannot represent (lone surrogates from undecodable file names) is written escaped.
//
// A writer's run opens it through aiofiles, its blocking calls made by the run's own thread
// (output_thread.hpp); entries written at once open it on the caller's thread, for one write.
#pragma once
#include "outputs/sink.hpp"
#include "process_state.hpp"

#include <string>
#include <vector>

namespace tlh {

// An output file the user named (STDERR set to a path) is opened for appending, and closed, before
// a handler starts anything: a path that cannot be written fails init() with its OSError, not the
// end of the run. A FIFO that nobody reads yet is no failure: the writer waits for its reader.
void check_output_path(PyObject* g);

class StreamSink final : public Sink {
public:
    // A writer's run: opening the file on the run's thread `executor`, the coroutine to await; it
    // gives (file, encoding), or None when there is nowhere to write. The run's thread is told how
    // long the output has taken nothing, across writes, for the handler's close.
    static Ref opening(PyObject* g, PyObject* executor);
    StreamSink(PyObject* g, Ref opened, PyObject* executor);
    // Entries written at once: the file opened now, on this thread (a path that cannot be opened:
    // the process's stderr instead).
    explicit StreamSink(PyObject* g);
    ~StreamSink() noexcept(false) override;
    StreamSink(StreamSink&&) = delete;

    // What the file is: a terminal, the journal's stream (a service under systemd), how wide the
    // terminal is now (0: no terminal, or one that does not say).
    bool terminal() const noexcept;
    bool journal_stream() const;
    Py_ssize_t columns() const noexcept;

    int traverse(visitproc visit, void* arg) const override;
    Ref notice(bool) override { return owed_.text(); }
    // The notice was told by another way (a record of the journal's).
    void notice_told() noexcept { owed_.lost = owed_.partly = 0; }
    void lose(long long entries, PyObject* reason) override;
    long long interrupted(PyObject* reason) override;
    Ref delivering(ChunkOutput& chunk) override;
    Ref delivered(PyObject* result) override;
    Ref failure() const override { return failed_ ? owed_.text() : Ref(); }
    void deliver_now(ChunkOutput& chunk) override;
    Ref closing() override;
    void hand_over() override;

    // Texts that are no chunk of a layout's (the lines that stand in for journal records), a list
    // of one str per entry: the same steps.
    Ref delivering_texts(PyObject* texts);
    void deliver_texts_now(PyObject* texts);

private:
    void described(int fd);
    // The bytes to write: what is owed of a cut entry first, then the text; and where the parts end.
    void prepare(PyObject* text, const std::vector<Py_ssize_t>& ends, Py_ssize_t notice_end);
    void prepare_texts(PyObject* texts);
    Ref writing();
    void write_now();
    // What a write that stopped after `done` bytes (with `error`, or None) made of them.
    void stopped(size_t done, PyObject* error);

    PyObject* g_;
    Ref file_;      // the writer's aiofiles file, or null
    Ref encoding_;  // the name of the file's encoding
    Ref write_;     // the coroutine function that writes bytes whole through the file (made once)
    Ref executor_;  // the run's thread, or None
    int fd_ = -1;   // the descriptor written, where it tells it
    bool own_fd_ = false;
    size_t piece_limit_ = 0;
    bool shared_ = false;  // a pipe, a FIFO or a socket, which other processes may write too
    Owed owed_;  // what this output owes its reader now
    // Where a write that stopped in the middle stopped, in the entries (bytes).
    void find_byte_ends();

    // The write at hand: its bytes (the rest of a cut entry first, then the text), and where the
    // notice and each entry end in the text (characters); in the bytes once a write stopped.
    Ref data_;
    Ref text_;
    std::vector<Py_ssize_t> char_ends_;  // the notice's end first, when there is one
    bool has_notice_ = false;
    size_t entries_ = 0;
    std::vector<size_t> ends_;
    size_t rest_end_ = 0, notice_end_ = 0;
    unsigned long long taken_before_ = 0;  // what the run's thread had written before this write
    bool failed_ = false;
};

}  // namespace tlh
