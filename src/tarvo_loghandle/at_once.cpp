#include "at_once.hpp"

#include "journal.hpp"
#include "layout.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tlh {
namespace {

// json stays json, so that a collector reading JSON lines is never handed another line, and the
// journal gets records; an unknown format (init() refuses it, with its message) gets plain.
Format record_format(PyObject* g) {
    try {
        Format format = resolve_format(g, false, is_journal_stream(g, 2));
        return format == Format::terminal ? Format::plain : format;
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return Format::plain;
    }
}

// How long sending a record may wait for a slow journal before its lines go to stderr instead.
constexpr double journal_patience = 2.0;

// The entries' text; in the journal format, their records are sent now, and the text is the
// lines of those the journal did not take.
Ref shown_text(PyObject* g, PyObject* entries) {
    std::unique_ptr<Layout> layout = record_layout(g, record_format(g));
    ChunkOutput out(true);
    for (Ref& le : rt::iterate(entries)) show_entry(g, *layout, out, le.get());
    layout->finish(out);
    Ref text = out.take_last_text();
    Ref records = out.take_records();
    if (!records) return text;
    Ref unsent;
    try {
        unsent = send_records(journal_socket(g, journal_patience).get(), PyTuple_GET_ITEM(records.get(), 0));
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        unsent = none_sent(PyList_GET_SIZE(PyTuple_GET_ITEM(records.get(), 0)), e.value());
    }
    return rt::concat({text.get(), out.unsent_text(records.get(), unsent.get()).get()});
}

// Where a handler would write: a descriptor of its own (closed after the write) for a path the
// user set (the process's stderr when it cannot be opened), descriptor 2 for the process's stderr,
// none for an interpreter started without one.
struct Target {
    int fd = -1;
    bool own = false;
    Ref encoding;

    ~Target() {
        if (own) ::close(fd);
    }
};

Ref preferred_encoding() {
    return rt::call_method(rt::import("locale").get(), name<"getpreferredencoding">(), {Py_False});
}

void open_target(PyObject* g, Target& t) {
    Ref path = global<"STDERR">(g);
    if (PyUnicode_Check(path.get()) && equal(path.get(), name<"/dev/stderr">())) {
        Ref process_stderr = rt::getattr(global<"sys">(g).get(), name<"__stderr__">());
        if (process_stderr.get() == Py_None) return;
        t.encoding = rt::getattr(process_stderr.get(), name<"encoding">());
        if (!PyUnicode_Check(t.encoding.get())) t.encoding = preferred_encoding();
        t.fd = 2;
        return;
    }
    t.encoding = preferred_encoding();
    if (PyLong_Check(path.get())) {  // a descriptor, as aiofiles.open takes one
        long fd = PyLong_AsLong(path.get());
        if (fd == -1 && PyErr_Occurred()) rt::throw_error();
        t.fd = int(fd);
        return;
    }
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &converted)) rt::throw_error();
    Ref file = Ref::steal(converted);
    int fd;
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(PyBytes_AS_STRING(file.get()), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    Py_END_ALLOW_THREADS
    if (fd >= 0) {
        t.fd = fd;
        t.own = true;
        return;
    }
    // A path that cannot be opened (init() refuses it too): the entries go to the process's stderr.
    int err = errno;
    Ref process_stderr = rt::getattr(global<"sys">(g).get(), name<"__stderr__">());
    if (process_stderr.get() != Py_None) {
        t.fd = 2;
        return;
    }
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    rt::throw_error();
}

// All of `data`: a descriptor that takes nothing for 2 s (non-blocking, and full) fails the write.
void write_all(int fd, PyObject* data) {
    const char* p = PyBytes_AS_STRING(data);
    Py_ssize_t left = PyBytes_GET_SIZE(data);
    int idle = 0;
    while (left > 0) {
        Py_ssize_t n;
        int err;
        Py_BEGIN_ALLOW_THREADS
        n = ::write(fd, p, size_t(left));
        err = errno;
        Py_END_ALLOW_THREADS
        if (n > 0) {
            p += n;
            left -= n;
            idle = 0;
            continue;
        }
        if (n < 0 && err == EINTR) {
            if (PyErr_CheckSignals() < 0) rt::throw_error();
            continue;
        }
        if (n < 0 && err != EAGAIN && err != EWOULDBLOCK) {
            errno = err;
            PyErr_SetFromErrno(PyExc_OSError);
            rt::throw_error();
        }
        if (++idle > 20) rt::raise(PyExc_BlockingIOError, "the output took nothing for 2 s");
        pollfd waiting{fd, POLLOUT, 0};
        Py_BEGIN_ALLOW_THREADS
        ::poll(&waiting, 1, 100);
        Py_END_ALLOW_THREADS
    }
}

}  // namespace

void write_at_once(PyObject* g, PyObject* entries) {
    try {
        Ref text = shown_text(g, entries);
        if (!PyUnicode_GET_LENGTH(text.get())) return;
        Target target;
        open_target(g, target);
        if (target.fd < 0) return;
        const char* encoding = PyUnicode_AsUTF8(target.encoding.get());
        if (!encoding) rt::throw_error();
        Ref data = rt::owned(PyUnicode_AsEncodedString(text.get(), encoding, "backslashreplace"));
        write_all(target.fd, data.get());
    } catch (PyErr& e) {
        if (!e.matches(PyExc_Exception)) throw;
        debug(g, rt::concat({name<"log entries written while no handler runs could not be written: ">(),
                             describe(e.value()).get()}));
    }
}

}  // namespace tlh
