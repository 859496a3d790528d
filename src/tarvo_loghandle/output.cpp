#include "output.hpp"

#include "chunk_output.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>

namespace tlh {
namespace {

// aiofiles.open(target, "ab", buffering=0, executor=executor), looked up when called.
Ref open_unbuffered(PyObject* g, PyObject* target, PyObject* executor) {
    PyObject* const kw = rt::keywords<"buffering", "executor">();
    static PyObject* const zero = rt::check(PyLong_FromLong(0));
    Ref open = rt::getattr(global<"aiofiles">(g).get(), name<"open">());
    return rt::call_kw(open.get(), {target, name<"ab">(), zero, executor}, kw);
}

Ref preferred_encoding() {
    return rt::call_method(rt::import("locale").get(), name<"getpreferredencoding">(), {Py_False});
}

rt::Async open_output(Bound a) {
    PyObject* g = a.globals();
    PyObject* executor = a[0];
    Ref path = global<"STDERR">(g);
    if (!(PyUnicode_Check(path.get()) && equal(path.get(), name<"/dev/stderr">()))) {
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
    encoding = rt::getattr(process_stderr.get(), name<"encoding">());
    process_stderr.reset();
    if (!PyUnicode_Check(encoding.get())) encoding = preferred_encoding();
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

// The whole text, raising OSError when it cannot be written.
rt::Async write_all(Bound a) {
    PyObject* g = a.globals();
    PyObject* file = a[0];
    rt::Local data;  // held across the writes
    data = rt::owned(PyUnicode_AsEncodedString(a[2], PyUnicode_AsUTF8(a[1]), "backslashreplace"));
    Py_ssize_t size = PyBytes_GET_SIZE(data.get());
    Py_ssize_t done = 0;
    int idle = 0;
    do {  // one write as a rule; the loop only takes up what the OS did not take at once
        Ref rest = done ? rt::owned(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data.get()) + done, size - done)) : data.ref();
        Ref writing = rt::call_method(file, name<"write">(), {rest.get()});
        rest.reset();
        Ref written = co_await rt::await(std::move(writing));
        Py_ssize_t n = written.get() == Py_None ? 0 : PyLong_AsSsize_t(written.get());
        written.reset();
        if (n < 0 && PyErr_Occurred()) rt::throw_error();
        if (n > 0) {
            done += n;
            idle = 0;
        } else if (size > 0) {
            // A non-blocking descriptor that takes nothing now: try again shortly, for a while.
            if (++idle > 200) rt::raise_format(PyExc_BlockingIOError, "the output took nothing for 2 s");
            static PyObject* const pause = rt::check(PyFloat_FromDouble(0.01));
            Ref sleeping = rt::call_method(global<"asyncio">(g).get(), name<"sleep">(), {pause});
            co_await rt::await(std::move(sleeping));
        }
    } while (done < size);
    co_return rt::none();
}

const rt::FunctionDef write_all_def = {"write_all", "write_all", {"file", "encoding", "text"},
                                       rt::coroutine_entry<write_all>, rt::FunctionKind::coroutine};

rt::Async write_text(Bound a) {
    Ref writing = rt::call(rt::make_function(write_all_def, a.globals()).get(), {a[0], a[1], a[2]});
    try {
        co_await rt::await(std::move(writing));
    } catch (PyErr& e) {
        if (!e.matches(PyExc_OSError)) throw;
        co_return e.ref();
    }
    co_return rt::none();
}

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

rt::Async finish_output(Bound a) {
    PyObject* g = a.globals();
    if (PyUnicode_GET_LENGTH(a[2])) {
        Ref writing = rt::call(rt::make_function(write_text_def, g).get(), {a[0], a[1], a[2]});
        Ref failure = co_await rt::await(std::move(writing));
        if (failure.get() != Py_None)  // nowhere left in the log to tell it
            debug(g, rt::concat({name<"write_aiologs could not write its last text: ">(), describe(failure.get()).get()}));
    }
    Ref closing = rt::call(rt::make_function(close_output_def, a.globals()).get(), {a[0]});
    co_await rt::await(std::move(closing));
    co_return rt::none();
}

// send_chunk(executor, socket, records): send_records on the output's thread; `socket` is the
// exception that stopped its making instead, when it could not be made.
rt::Async send_chunk(Bound a) {
    PyObject* g = a.globals();
    rt::Local records;  // held across the await
    records = Ref::incref(a[2]);
    Caught failed;
    if (PyExceptionInstance_Check(a[1])) {
        failed = PyErr(Ref::incref(a[1]));
    } else {
        try {
            Ref future;
            {
                Ref loop = rt::call_method(global<"asyncio">(g).get(), name<"get_running_loop">());
                Ref send = rt::make_function(send_records_def, g);
                future = rt::call_method(loop.get(), name<"run_in_executor">(), {a[0], send.get(), a[1], records.get()});
            }
            Ref unsent = co_await rt::await(std::move(future));
            co_return unsent;
        } catch (PyErr& e) {
            if (!e.matches(PyExc_Exception)) throw;
            failed = std::move(e);
        }
    }
    co_return none_sent(PyList_GET_SIZE(records.get()), failed.value());
}

const rt::FunctionDef send_chunk_def = {"send_chunk", "send_chunk", {"executor", "socket", "records"},
                                        rt::coroutine_entry<send_chunk>, rt::FunctionKind::coroutine};

}  // namespace

void check_output_path(PyObject* g) {
    Ref path = global<"STDERR">(g);
    if (PyLong_Check(path.get()) || (PyUnicode_Check(path.get()) && equal(path.get(), name<"/dev/stderr">()))) return;
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

Output::Output(PyObject* g, PyObject* handler)
    : g_(g), handler_(handler), executor_(start_output_thread()), progress_(progress_of(executor_.get())),
      output_(rt::none()), write_(rt::make_function(write_text_def, g)) {
    set_output_of(handler, executor_.get());
}

Output::~Output() noexcept(false) {
    if (!rt::may_touch_objects()) return;
    set_output_of(handler_, nullptr);
    try {
        stop_output_thread(executor_.get());
    } catch (PyErr& e) {  // it may run while an exception leaves the body: reported, not thrown
        e.restore();
        PyErr_WriteUnraisable(executor_.get());
    }
}

Ref Output::opening() const { return rt::call(rt::make_function(open_output_def, g_).get(), {executor_.get()}); }

void Output::opened(Ref result) {
    output_ = std::move(result);
    PyObject* f = file();
    if (!f || f == Py_None) return;
    // A file object that has no descriptor to tell (a stand-in, a wrapper) is taken for no terminal.
    Ref fd = Ref::steal(PyObject_CallMethod(f, "fileno", nullptr));
    long n = fd && PyLong_Check(fd.get()) ? PyLong_AsLong(fd.get()) : -1;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) rt::throw_error();
        PyErr_Clear();
        n = -1;
    }
    fd_ = int(n);
}

Py_ssize_t Output::columns() const noexcept {
    winsize size{};
    if (fd_ < 0 || ioctl(fd_, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

PyObject* Output::file() const noexcept {
    return output_.get() == Py_None ? nullptr : PyTuple_GET_ITEM(output_.get(), 0);
}

Ref Output::writing(PyObject* text, Py_ssize_t entries) {
    if (file() == Py_None) rt::raise_none(PyExc_AssertionError);
    progress_.entries_in_flight = entries;
    return rt::call(write_.get(), {file(), PyTuple_GET_ITEM(output_.get(), 1), text});
}

Ref Output::sending(PyObject* records, Py_ssize_t entries) {
    Ref socket = journal_;
    if (!socket) {
        try {
            socket = journal_ = journal_socket(g_, 0);
        } catch (PyErr& e) {  // tried again with the next chunk
            if (!e.matches(PyExc_Exception)) throw;
            socket = e.ref();
        }
    }
    progress_.entries_in_flight = entries;
    return rt::call(rt::make_function(send_chunk_def, g_).get(), {executor_.get(), socket.get(), records});
}

bool Output::closable() const noexcept { return file() && file() != Py_None && !progress_.abandoned; }

Ref Output::closing() const { return rt::call(rt::make_function(close_output_def, g_).get(), {file()}); }

Ref Output::finishing(PyObject* text) const {
    return rt::call(rt::make_function(finish_output_def, g_).get(), {file(), PyTuple_GET_ITEM(output_.get(), 1), text});
}

int Output::traverse(visitproc visit, void* arg) const {
    Py_VISIT(executor_.get());
    Py_VISIT(output_.get());
    Py_VISIT(write_.get());
    Py_VISIT(journal_.get());
    return 0;
}

const rt::FunctionDef open_output_def = {"open_output", "open_output", {"executor"}, rt::coroutine_entry<open_output>,
                                         rt::FunctionKind::coroutine};
const rt::FunctionDef write_text_def = {"write_text", "write_text", {"file", "encoding", "text"},
                                        rt::coroutine_entry<write_text>, rt::FunctionKind::coroutine};
const rt::FunctionDef finish_output_def = {"finish_output", "finish_output", {"file", "encoding", "text"},
                                           rt::coroutine_entry<finish_output>, rt::FunctionKind::coroutine};
const rt::FunctionDef close_output_def = {"close_output", "close_output", {"file"}, rt::coroutine_entry<close_output>,
                                          rt::FunctionKind::coroutine};

}  // namespace tlh
