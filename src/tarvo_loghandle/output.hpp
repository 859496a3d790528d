// The writer's output file: where it goes, and how a chunk's text reaches it.
#pragma once
#include "common.hpp"
#include "journal.hpp"
#include "output_thread.hpp"

#include <unistd.h>

namespace tlh {

// open_output(executor) -> (file, encoding), or None when there is nowhere to write; the file's
// blocking calls are made by `executor` (output_thread.hpp).
//   The default path STDERR ("/dev/stderr") is written through a duplicate of descriptor 2: it
//   shares the process's own stderr open file and offset, so the log and the process's other
//   output to stderr (a crash traceback) interleave in order and never overwrite each other, for
//   terminals, files, pipes and sockets alike. An interpreter started without a descriptor 2
//   gets no output: whatever file later took that number may be the application's own.
//   A path set by the user is opened for appending.
//   The file is unbuffered and binary: each chunk is handed to the OS by its own write, and a
//   failed write leaves nothing behind in a buffer to resurface or to block later chunks.
extern const rt::FunctionDef open_output_def;
// An output file the user named (STDERR set to a path) is opened for appending, and closed, before
// a handler starts anything: a path that cannot be written fails init() with its OSError, not the
// end of the run. A FIFO that nobody reads yet is no failure: the writer waits for its reader.
void check_output_path(PyObject* g);
// write_text(file, encoding, text) -> None, or the OSError that failed the write: the text encoded
// (what the encoding cannot represent, such as lone surrogates from undecodable file names,
// written escaped), written whole.
extern const rt::FunctionDef write_text_def;
// finish_output(file, encoding, text): the last text written (a failure is told through debug
// only: there is no later chunk to tell it in), then the file closed.
extern const rt::FunctionDef finish_output_def;
// close_output(file): closes it; a failure to close is only reported.
extern const rt::FunctionDef close_output_def;

// The output of one writer run, held by the writer across its awaits (rt::Held): its own thread
// for the file's blocking calls (output_thread.hpp), registered for the handler's close, and the file.
class Output final {
public:
    Output(PyObject* g, PyObject* handler);
    ~Output() noexcept(false);  // the run's thread ends after the calls given to it

    // Opening the file: the coroutine to await, then what it gave.
    Ref opening() const;
    void opened(Ref result);
    // Whether there is a file to write to (an interpreter without a descriptor 2 has none).
    bool writes() const noexcept { return file() != nullptr; }
    // Whether the file written is a terminal: the output itself, whatever descriptor 2 is.
    bool terminal() const noexcept { return fd_ >= 0 && isatty(fd_) == 1; }
    // Whether the file written is the journal's stream (a service under systemd).
    bool journal() const { return is_journal_stream(g_, fd_); }
    // The terminal's width in columns now (it may have been resized); 0 when it does not say.
    Py_ssize_t columns() const noexcept;
    // Writing the text (the coroutine to await: it gives None, or the OSError that failed the
    // write), the entries of the chunk counted as in flight; AssertionError when the file object
    // is None.
    Ref writing(PyObject* text, Py_ssize_t entries);
    void written() noexcept { progress_.entries_in_flight = 0; }
    // Sending the journal records of a chunk (bytes), on the output's thread: the coroutine to
    // await gives what send_records gives (journal.hpp); a socket that cannot be made, or a send
    // that fails as a whole, makes every record unsent.
    Ref sending(PyObject* records, Py_ssize_t entries);
    // Whether the handler's close has given up on the output: nothing more may be waited for.
    bool given_up() const noexcept { return progress_.abandoned; }
    // Whether there is a file to close: not without a file, nor when the handler's close has given
    // up on the output, which must then not be waited for. Closing it: the coroutine to await.
    bool closable() const noexcept;
    Ref closing() const;
    // The last text of the run written, then the file closed: the coroutine to await.
    Ref finishing(PyObject* text) const;

    int traverse(visitproc visit, void* arg) const;

private:
    PyObject* file() const noexcept;

    PyObject* g_;
    PyObject* handler_;
    Ref executor_;
    OutputProgress& progress_;
    Ref output_;  // (file, encoding), or None
    Ref write_;   // write_text, made once
    Ref journal_;  // the journal's socket, made when a chunk first has records
    int fd_ = -1;  // the file's descriptor, where it tells it
};

}  // namespace tlh
