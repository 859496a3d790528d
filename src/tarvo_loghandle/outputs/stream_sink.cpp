#include "outputs/stream_sink.hpp"

#include "outputs/descriptor_write.hpp"
#include "outputs/journal_socket.hpp"
#include "outputs/output_thread.hpp"
#include "outputs/whole_write.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

namespace tlh {
namespace {

Ref preferred_encoding() {
    return rt::call_method(rt::import("locale").get(), name<"getpreferredencoding">(), {Py_False});
}

bool is_default_path(PyObject* path) { return PyUnicode_Check(path) && equal(path, name<"/dev/stderr">()); }

// The encoding of the process's stderr, where it has one: what a handler writes there is read as
// the rest of stderr is.
Ref stderr_encoding(PyObject* process_stderr) {
    Ref encoding = rt::getattr(process_stderr, name<"encoding">());
    return PyUnicode_Check(encoding.get()) ? encoding : preferred_encoding();
}

// aiofiles.open(target, "ab", buffering=0, executor=executor), looked up when called.
Ref open_unbuffered(PyObject* g, PyObject* target, PyObject* executor) {
    PyObject* const kw = rt::keywords<"buffering", "executor">();
    static PyObject* const zero = rt::check(PyLong_FromLong(0));
    Ref open = rt::getattr(global<"aiofiles">(g).get(), name<"open">());
    return rt::call_kw(open.get(), {target, name<"ab">(), zero, executor}, kw);
}

// open_output(executor) -> (file, encoding), or None when there is nowhere to write.
rt::Async open_output(Bound a) {
    PyObject* g = a.globals();
    PyObject* executor = a[0];
    Ref path = global<"STDERR">(g);
    if (!is_default_path(path.get())) {
        Ref opening = open_unbuffered(g, path.get(), executor);
        path.reset();
        Ref file = co_await rt::await(std::move(opening));
        co_return rt::tuple({file.get(), preferred_encoding().get()});
    }
    path.reset();

    Ref process_stderr = rt::getattr(global<"sys">(g).get(), name<"__stderr__">());
    if (process_stderr.get() == Py_None) {
        debug(g, name<"write_aiologs writes nothing: the interpreter started without a standard error "
                      "(file descriptor 2), and the file that now has that number is not the log's">());
        co_return rt::none();
    }
    rt::Local encoding, fd;  // held across the open
    encoding = stderr_encoding(process_stderr.get());
    process_stderr.reset();
    static PyObject* const two = rt::check(PyLong_FromLong(2));
    fd = rt::call_method(global<"os">(g).get(), name<"dup">(), {two});
    Ref opening = open_unbuffered(g, fd.get(), executor);
    Caught failed;
    try {
        Ref file = co_await rt::await(std::move(opening));
        co_return rt::tuple({file.get(), encoding.get()});
    } catch (PyErr& e) {
        failed = std::move(e);
    }
    rt::Except handling(failed);
    rt::call_method(global<"os">(g).get(), name<"close">(), {fd.get()});
    failed.reraise();
}

const rt::FunctionDef open_output_def = {
    "open_output", "open_output", {"executor"}, rt::coroutine_entry<open_output>, rt::FunctionKind::coroutine};

// write_whole(file, data, piece_limit) -> None, or (bytes written, the OSError that stopped the
// write): the bytes handed to the file's awaited write until all are taken. A descriptor that is
// non-blocking and full takes nothing for a while: it is asked again shortly, for 2 s at most.
rt::Async write_whole(Bound a) {
    PyObject* g = a.globals();
    PyObject* file = a[0];
    rt::Local data;  // held across the writes
    data = Ref::incref(a[1]);
    size_t limit = PyLong_AsSize_t(a[2]);
    // How long the output has taken nothing is the run's, across writes: the close gives up on an
    // output that takes nothing, however many writes have tried it meanwhile.
    OutputProgress* progress = a[3] != Py_None ? &progress_of(a[3]) : nullptr;
    WholeWrite whole({PyBytes_AS_STRING(data.get()), size_t(PyBytes_GET_SIZE(data.get()))}, limit);
    Caught failed;
    try {
        // One write for each chunk, an empty one too; more only for what the system did not take.
        for (bool first = true; first || !whole.finished(); first = false) {
            Ref writing;
            {
                std::string_view piece = whole.next();
                Ref part = piece.size() == size_t(PyBytes_GET_SIZE(data.get()))
                               ? data.ref()
                               : rt::owned(PyBytes_FromStringAndSize(piece.data(), Py_ssize_t(piece.size())));
                writing = rt::call_method(file, name<"write">(), {part.get()});
            }
            Ref written = co_await rt::await(std::move(writing));
            size_t n = 0;
            if (written.get() != Py_None) {
                n = PyLong_AsSize_t(written.get());
                if (n == size_t(-1) && PyErr_Occurred()) rt::throw_error();
            }
            written.reset();
            if (progress) {
                double none = 0;
                if (n) progress->idle_since = 0;
                else if (!whole.finished()) progress->idle_since.compare_exchange_strong(none, monotonic_seconds());
            }
            if (whole.finished()) break;
            if (!whole.took(n)) rt::raise(PyExc_BlockingIOError, "the output took nothing for 2 s");
            if (n == 0) {
                static PyObject* const pause = rt::check(PyFloat_FromDouble(0.01));
                Ref sleeping = rt::call_method(global<"asyncio">(g).get(), name<"sleep">(), {pause});
                co_await rt::await(std::move(sleeping));
            }
        }
    } catch (PyErr& e) {
        if (!e.matches(PyExc_OSError)) throw;
        failed = std::move(e);
    }
    if (!failed) co_return rt::none();
    Ref done = rt::owned(PyLong_FromSize_t(whole.done()));
    co_return rt::tuple({done.get(), failed.value()});
}

const rt::FunctionDef write_whole_def = {"write_whole",
                                         "write_whole",
                                         {"file", "data", "piece_limit", "executor"},
                                         rt::coroutine_entry<write_whole>,
                                         rt::FunctionKind::coroutine};

// close_output(file): closes it; a failure to close is only reported.
rt::Async close_output(Bound a) {
    PyObject* g = a.globals();
    Ref closing = rt::call_method(a[0], name<"close">());
    Caught failed;
    try {
        co_await rt::await(std::move(closing));
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        failed = std::move(e);
    }
    if (failed) {
        rt::Except handling(failed);
        debug(g, rt::concat({name<"write_aiologs could not close its output: ">(), format_exc(g).get()}));
    }
    co_return rt::none();
}

const rt::FunctionDef close_output_def = {
    "close_output", "close_output", {"file"}, rt::coroutine_entry<close_output>, rt::FunctionKind::coroutine};

// Encodings in which an ASCII text is its own bytes: its entries end where its characters do.
bool ascii_is_itself(PyObject* encoding) {
    for (const char* e : {"utf-8", "utf8", "UTF-8", "ascii", "ANSI_X3.4-1968", "latin-1", "iso8859-1"})
        if (PyUnicode_CompareWithASCIIString(encoding, e) == 0) return true;
    return false;
}

Ref encoded(PyObject* text, PyObject* encoding) {
    const char* name = PyUnicode_AsUTF8(encoding);
    if (!name) rt::throw_error();
    return rt::owned(PyUnicode_AsEncodedString(text, name, "backslashreplace"));
}

// What the bytes of a text up to each of `ends` (characters) come to.
std::vector<size_t> byte_ends(PyObject* text, PyObject* encoding, const std::vector<Py_ssize_t>& ends) {
    std::vector<size_t> out;
    out.reserve(ends.size());
    if (PyUnicode_IS_ASCII(text) && ascii_is_itself(encoding)) {
        for (Py_ssize_t e : ends) out.push_back(size_t(e));
        return out;
    }
    size_t total = 0;
    Py_ssize_t from = 0;
    for (Py_ssize_t e : ends) {
        Ref part = rt::owned(PyUnicode_Substring(text, from, e));
        total += size_t(PyBytes_GET_SIZE(encoded(part.get(), encoding).get()));
        out.push_back(total);
        from = e;
    }
    return out;
}

}  // namespace

void check_output_path(PyObject* g) {
    Ref path = global<"STDERR">(g);
    if (PyLong_Check(path.get()) || is_default_path(path.get())) return;
    Ref os = global<"os">(g);
    Ref flags = rt::owned(PyLong_FromLong(O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK));
    Ref mode = rt::owned(PyLong_FromLong(0666));
    Ref fd;
    try {
        fd = rt::call_method(os.get(), name<"open">(), {path.get(), flags.get(), mode.get()});
    } catch (PyErr& e) {
        if (!e.matches(PyExc_OSError)) throw;
        Ref err = rt::getattr(e.value(), name<"errno">());
        if (PyLong_Check(err.get()) && PyLong_AsLong(err.get()) == ENXIO) return;
        throw;
    }
    rt::call_method(os.get(), name<"close">(), {fd.get()});
}

Ref StreamSink::opening(PyObject* g, PyObject* executor) {
    return rt::call(rt::make_function(open_output_def, g).get(), {executor});
}

StreamSink::StreamSink(PyObject* g, Ref opened, PyObject* executor)
    : g_(g), write_(rt::make_function(write_whole_def, g)), executor_(Ref::incref(executor)) {
    if (opened.get() == Py_None) return;
    file_ = Ref::incref(PyTuple_GET_ITEM(opened.get(), 0));
    encoding_ = Ref::incref(PyTuple_GET_ITEM(opened.get(), 1));
    if (file_.get() == Py_None) return;
    // A file object that has no descriptor to tell (a stand-in, a wrapper) is taken for no terminal.
    Ref fd = Ref::steal(PyObject_CallMethod(file_.get(), "fileno", nullptr));
    long n = fd && PyLong_Check(fd.get()) ? PyLong_AsLong(fd.get()) : -1;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) rt::throw_error();
        PyErr_Clear();
        n = -1;
    }
    described(int(n));
}

StreamSink::StreamSink(PyObject* g) : g_(g) {
    Ref path = global<"STDERR">(g);
    Ref process_stderr = rt::getattr(global<"sys">(g).get(), name<"__stderr__">());
    if (is_default_path(path.get())) {
        if (process_stderr.get() == Py_None) return;
        encoding_ = stderr_encoding(process_stderr.get());
        described(2);
        return;
    }
    encoding_ = preferred_encoding();
    if (PyLong_Check(path.get())) {  // a descriptor, as aiofiles.open takes one
        long fd = PyLong_AsLong(path.get());
        if (fd == -1 && PyErr_Occurred()) rt::throw_error();
        described(int(fd));
        return;
    }
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &converted)) rt::throw_error();
    Ref file = Ref::steal(converted);
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(PyBytes_AS_STRING(file.get()), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    Py_END_ALLOW_THREADS
    if (fd >= 0) {
        own_fd_ = true;
        described(fd);
        return;
    }
    // A path that cannot be opened (init() refuses it too): the entries go to the process's stderr.
    int err = errno;
    if (process_stderr.get() != Py_None) {
        described(2);
        return;
    }
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    rt::throw_error();
}

StreamSink::~StreamSink() noexcept(false) {
    if (own_fd_) ::close(fd_);
}

void StreamSink::described(int fd) {
    fd_ = fd;
    struct stat st;
    if (fd < 0 || syscall(SYS_fstat, fd, &st) != 0) return;
    // An output that other processes may share is written in pieces of whole lines that the system
    // keeps whole (descriptor_write.hpp). Writes at once to any other file that is no regular one (a
    // terminal) go in such pieces too: the system takes each once it says it has room, so that an
    // at-once write never blocks for long.
    shared_ = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    if (shared_ || (!file_ && !S_ISREG(st.st_mode))) piece_limit_ = PIPE_BUF;
    owed_.device = st.st_dev;  // what is owed to a file is told in that file
    owed_.inode = st.st_ino;
    owed_.add(take_owed(owed_.device, owed_.inode));  // what earlier writers owe this file is told here
}

bool StreamSink::terminal() const noexcept { return fd_ >= 0 && isatty(fd_) == 1; }

bool StreamSink::journal_stream() const { return is_journal_stream(g_, fd_); }

Py_ssize_t StreamSink::columns() const noexcept {
    winsize size{};
    if (fd_ < 0 || ioctl(fd_, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

int StreamSink::traverse(visitproc visit, void* arg) const {
    Py_VISIT(file_.get());
    Py_VISIT(encoding_.get());
    Py_VISIT(write_.get());
    Py_VISIT(executor_.get());
    Py_VISIT(data_.get());
    Py_VISIT(text_.get());
    Py_VISIT(owed_.reason.get());
    return 0;
}

void StreamSink::lose(long long entries, PyObject* reason) {
    owed_.lost += entries;
    owed_.reason = Ref::incref(reason);
}

void StreamSink::prepare(PyObject* text, const std::vector<Py_ssize_t>& ends, Py_ssize_t notice_end) {
    Ref bytes = encoded(text, encoding_.get());
    rest_end_ = owed_.rest.size();
    if (rest_end_) {
        std::string joined = std::move(owed_.rest);
        owed_.rest.clear();
        joined.append(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
        bytes = rt::owned(PyBytes_FromStringAndSize(joined.data(), Py_ssize_t(joined.size())));
    }
    data_ = std::move(bytes);
    // Where the notice and the entries end, in characters; in bytes only when a write stops in the
    // middle (what the text comes to in the file's encoding is worked out then).
    text_ = Ref::incref(text);
    char_ends_.clear();
    if (notice_end) char_ends_.push_back(notice_end);
    char_ends_.insert(char_ends_.end(), ends.begin(), ends.end());
    has_notice_ = notice_end != 0;
    entries_ = ends.size();
}

void StreamSink::find_byte_ends() {
    ends_.clear();
    notice_end_ = 0;
    if (char_ends_.empty()) return;
    std::vector<size_t> bytes_at = byte_ends(text_.get(), encoding_.get(), char_ends_);
    size_t k = 0;
    if (has_notice_) notice_end_ = rest_end_ + bytes_at[k++];
    for (; k < bytes_at.size(); ++k) ends_.push_back(rest_end_ + bytes_at[k]);
}

void StreamSink::stopped(size_t done, PyObject* error) {
    failed_ = true;
    find_byte_ends();
    owed_.reason = describe(error);
    const char* data = PyBytes_AS_STRING(data_.get());
    if (done < rest_end_) {  // the rest of the cut entry is still owed; nothing after it was written
        owed_.rest.assign(data + done, rest_end_ - done);
        owed_.lost += Py_ssize_t(ends_.size());
        return;
    }
    bool notice_told = notice_end_ && done >= notice_end_;
    if (notice_end_ && done > rest_end_ && done < notice_end_) {  // the notice itself was cut: it is told by its rest
        owed_.rest.assign(data + done, notice_end_ - done);
        notice_told = true;
    }
    if (notice_told) owed_.lost = owed_.partly = 0;
    Stopped s = stopped_at(ends_, done);
    if (s.cut) owed_.rest.assign(data + done, s.cut_end - done);
    owed_.lost += (long long)s.lost;
}

Ref StreamSink::delivering(ChunkOutput& chunk) {
    Ref text = chunk.take_text();
    if (!file_) return Ref();  // nowhere to write
    if (file_.get() == Py_None) rt::raise_none(PyExc_AssertionError);
    prepare(text.get(), chunk.entry_ends(), chunk.notice_end());
    return writing();
}

Ref StreamSink::delivering_texts(PyObject* texts) {
    if (!file_ || !PyList_GET_SIZE(texts)) return Ref();
    if (file_.get() == Py_None) rt::raise_none(PyExc_AssertionError);
    prepare_texts(texts);
    return writing();
}

void StreamSink::deliver_now(ChunkOutput& chunk) {
    Ref text = chunk.take_text();
    if (fd_ < 0) return;
    prepare(text.get(), chunk.entry_ends(), chunk.notice_end());
    write_now();
}

void StreamSink::deliver_texts_now(PyObject* texts) {
    if (fd_ < 0 || !PyList_GET_SIZE(texts)) return;
    prepare_texts(texts);
    write_now();
}

// Each text an entry's.
void StreamSink::prepare_texts(PyObject* texts) {
    std::vector<Py_ssize_t> ends;
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts); ++i)
        ends.push_back(at += PyUnicode_GET_LENGTH(PyList_GET_ITEM(texts, i)));
    Ref text = rt::owned(PyUnicode_Join(name<"">(), texts));
    prepare(text.get(), ends, 0);
}

Ref StreamSink::writing() {
    if (executor_.get() != Py_None) taken_before_ = progress_of(executor_.get()).bytes_taken.load();
    Ref limit = rt::owned(PyLong_FromSize_t(piece_limit_));
    if (shared_ && executor_.get() != Py_None) {
        // All of the chunk's pieces in one call of the run's thread, straight to the descriptor.
        Ref loop = rt::call(process().running_loop.get());
        Ref fd = rt::owned(PyLong_FromLong(fd_));
        return rt::call_method(
            loop.get(), name<"run_in_executor">(),
            {executor_.get(), descriptor_write_function(), fd.get(), data_.get(), limit.get(), executor_.get()});
    }
    return rt::call(write_.get(), {file_.get(), data_.get(), limit.get(), executor_.get()});
}

// The bytes prepared, written by this thread with the system's own calls (descriptor_write.hpp).
void StreamSink::write_now() {
    WholeWrite whole({PyBytes_AS_STRING(data_.get()), size_t(PyBytes_GET_SIZE(data_.get()))}, piece_limit_);
    int err = write_pieces(fd_, whole, shared_ ? Turns::bounded : Turns::none, nullptr);
    if (whole.finished()) {
        delivered(Py_None);
        return;
    }
    errno = err;
    PyErr_SetFromErrno(err == EAGAIN ? PyExc_BlockingIOError : PyExc_OSError);
    Ref error = rt::fetch_exception();
    Ref done = rt::owned(PyLong_FromSize_t(whole.done()));
    delivered(rt::tuple({done.get(), error.get()}).get());
}

Ref StreamSink::delivered(PyObject* result) {
    if (result == Py_None) {
        failed_ = false;
        if (has_notice_) owed_.lost = owed_.partly = 0;  // told
    } else {
        size_t done = PyLong_AsSize_t(PyTuple_GET_ITEM(result, 0));
        if (done == size_t(-1) && PyErr_Occurred()) rt::throw_error();
        stopped(done, PyTuple_GET_ITEM(result, 1));
    }
    data_.reset();
    text_.reset();
    return Ref();
}

Ref StreamSink::closing() {
    if (!file_ || file_.get() == Py_None) return Ref();
    return rt::call(rt::make_function(close_output_def, g_).get(), {file_.get()});
}

long long StreamSink::interrupted(PyObject* reason) {
    if (!data_ || executor_.get() == Py_None) return 0;
    OutputProgress& progress = progress_of(executor_.get());
    if (progress.busy_since.load()) return 0;  // a call still runs: what it takes is not known yet
    long long entries = (long long)entries_;
    Ref error = rt::call(PyExc_BlockingIOError, {reason});
    stopped(size_t(progress.bytes_taken.load() - taken_before_), error.get());
    data_.reset();
    text_.reset();
    return entries;
}

void StreamSink::hand_over() {
    Owed left;
    std::swap(left, owed_);
    owe(std::move(left));
}

}  // namespace tlh
