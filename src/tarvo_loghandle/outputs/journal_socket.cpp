#include "outputs/journal_socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

// memfd_create and file seals came after the oldest glibc and kernel headers the wheels are built
// against; the kernel's numbers are stable. fstat and fcntl are made as system calls too: glibc
// 2.28 and 2.33 gave them new symbols, which the wheels' baseline (glibc 2.17) does not have.
#ifndef MFD_CLOEXEC
#define MFD_CLOEXEC 0x0001U
#define MFD_ALLOW_SEALING 0x0002U
#endif
#ifndef F_ADD_SEALS
#define F_ADD_SEALS 1033
#define F_SEAL_SEAL 0x0001
#define F_SEAL_SHRINK 0x0002
#define F_SEAL_GROW 0x0004
#define F_SEAL_WRITE 0x0008
#endif
#ifndef SYS_memfd_create
#if defined(__x86_64__)
#define SYS_memfd_create 319
#elif defined(__aarch64__)
#define SYS_memfd_create 279
#endif
#endif

namespace tlh {

bool is_journal_stream(PyObject* g, int fd) {
    if (fd < 0) return false;
    Ref environ = rt::getattr(global<"os">(g).get(), name<"environ">());
    Ref value = rt::call_method(environ.get(), name<"get">(), {name<"JOURNAL_STREAM">(), name<"">()});
    const char* text = PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8(value.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return false;
    }
    unsigned long long dev = 0, ino = 0;
    char end = 0;
    if (std::sscanf(text, "%llu:%llu%c", &dev, &ino, &end) != 2) return false;
    struct stat st;
    if (syscall(SYS_fstat, fd, &st) != 0) return false;
    return st.st_dev == dev && st.st_ino == ino;
}

namespace {

// The socket and its address, held by a Python object (a capsule) so that a send in flight on
// the output thread keeps the descriptor open.
struct JournalSocket {
    int fd;
    sockaddr_un address;
    socklen_t address_size;
};

constexpr const char* capsule_name = "tarvo_loghandle.journal_socket";

void close_socket(PyObject* capsule) {
    auto* s = static_cast<JournalSocket*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (!s) return PyErr_Clear();
    ::close(s->fd);
    delete s;
}

JournalSocket& socket_of(PyObject* capsule) {
    auto* s = static_cast<JournalSocket*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (!s) rt::throw_error();
    return *s;
}

}  // namespace

Ref journal_socket(PyObject* g, double timeout) {
    Ref path = global<"JOURNAL_SOCKET">(g);
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path.get(), &converted)) rt::throw_error();
    Ref bytes = Ref::steal(converted);
    auto s = std::make_unique<JournalSocket>();
    std::memset(&s->address, 0, sizeof s->address);
    s->address.sun_family = AF_UNIX;
    Py_ssize_t n = PyBytes_GET_SIZE(bytes.get());
    if (n <= 0 || size_t(n) >= sizeof s->address.sun_path)
        rt::raise_format(PyExc_ValueError, "JOURNAL_SOCKET: not a path a socket can have: %R", path.get());
    std::memcpy(s->address.sun_path, PyBytes_AS_STRING(bytes.get()), size_t(n));
    s->address_size = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(n));
    s->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s->fd < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        rt::throw_error();
    }
    // Records of a few hundred kilobytes still go as datagrams, as the journal's own clients send them.
    int buffer = 8 * 1024 * 1024;
    setsockopt(s->fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    if (timeout > 0) {
        timeval tv{time_t(timeout), suseconds_t((timeout - double(time_t(timeout))) * 1e6)};
        setsockopt(s->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    Ref capsule = Ref::steal(PyCapsule_New(s.get(), capsule_name, close_socket));
    if (!capsule) {
        ::close(s->fd);
        rt::throw_error();
    }
    s.release();
    return capsule;
}

namespace {

// A record too large for a datagram: written to a memory file, sealed so that it cannot change
// any more, and its descriptor sent in a datagram of its own. 0, or the errno that failed.
int send_in_memory_file(const JournalSocket& s, std::string_view record) {
#ifdef SYS_memfd_create
    int file = int(syscall(SYS_memfd_create, "journal-record", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (file < 0) return errno;
    int err = 0;
    for (size_t done = 0; done < record.size() && !err;) {
        ssize_t n = ::write(file, record.data() + done, record.size() - done);
        if (n > 0) done += size_t(n);
        else if (n < 0 && errno != EINTR) err = errno;
    }
    if (!err && syscall(SYS_fcntl, file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0)
        err = errno;
    if (!err) {
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr m{};
        m.msg_name = const_cast<sockaddr_un*>(&s.address);
        m.msg_namelen = s.address_size;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &file, sizeof(int));
        while (sendmsg(s.fd, &m, MSG_NOSIGNAL) < 0) {
            if (errno != EINTR) {
                err = errno;
                break;
            }
        }
    }
    ::close(file);
    return err;
#else
    (void)s, (void)record;
    return EMSGSIZE;
#endif
}

// The records sent, many to a system call; the indices of those the journal did not take, and
// the errno of the first of them.
void send_all(const JournalSocket& s, const std::vector<std::string_view>& records, std::vector<Py_ssize_t>& failed,
              int& first_errno) {
    constexpr size_t batch = 64;
    iovec iov[batch];
    mmsghdr msgs[batch];
    size_t i = 0;
    auto fail = [&](size_t at, int err) {
        if (failed.empty()) first_errno = err;
        failed.push_back(Py_ssize_t(at));
    };
    while (i < records.size()) {
        size_t n = std::min(batch, records.size() - i);
        for (size_t k = 0; k < n; ++k) {
            iov[k] = {const_cast<char*>(records[i + k].data()), records[i + k].size()};
            msgs[k] = {};
            msgs[k].msg_hdr.msg_name = const_cast<sockaddr_un*>(&s.address);
            msgs[k].msg_hdr.msg_namelen = s.address_size;
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
        int sent = sendmmsg(s.fd, msgs, unsigned(n), MSG_NOSIGNAL);
        if (sent > 0) {
            i += size_t(sent);
            continue;
        }
        int err = errno;
        if (sent < 0 && err == EINTR) continue;
        // The record at i was not taken: too large for a datagram, it goes in a memory file; a
        // refusal of this record alone leaves the next ones to be tried.
        if (sent < 0 && (err == EMSGSIZE || err == ENOBUFS)) err = send_in_memory_file(s, records[i]);
        if (err == EAGAIN || err == EWOULDBLOCK || err == ENOENT || err == ECONNREFUSED) {
            // No journal, or one that took nothing for the whole timeout: the rest is not tried,
            // so that a stalled journal costs one timeout, not one per record.
            for (; i < records.size(); ++i) fail(i, err);
            break;
        }
        if (err) fail(i, err);
        ++i;
    }
}

}  // namespace

Ref send_records(PyObject* socket, PyObject* records) {
    const JournalSocket& s = socket_of(socket);
    Ref items = rt::owned(PySequence_Tuple(records));  // its bytes stay while the lock is released
    std::vector<std::string_view> views;
    views.reserve(size_t(PyTuple_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* r = PyTuple_GET_ITEM(items.get(), i);
        if (!PyBytes_Check(r))
            rt::raise_format(PyExc_TypeError, "a journal record is bytes, not %.200s", Py_TYPE(r)->tp_name);
        views.emplace_back(PyBytes_AS_STRING(r), size_t(PyBytes_GET_SIZE(r)));
    }
    std::vector<Py_ssize_t> failed;
    int first_errno = 0;
    Py_BEGIN_ALLOW_THREADS
    send_all(s, views, failed, first_errno);
    Py_END_ALLOW_THREADS
    if (failed.empty()) return rt::none();
    Ref indices = rt::owned(PyTuple_New(Py_ssize_t(failed.size())));
    for (size_t k = 0; k < failed.size(); ++k)
        PyTuple_SET_ITEM(indices.get(), Py_ssize_t(k), rt::owned(PyLong_FromSsize_t(failed[k])).release());
    errno = first_errno;
    Ref path = rt::owned(PyUnicode_DecodeFSDefault(s.address.sun_path));
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
    Ref error = rt::fetch_exception();
    return rt::tuple({indices.get(), error.get()});
}

Ref none_sent(Py_ssize_t count, PyObject* error) {
    Ref all = rt::owned(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(all.get(), i, rt::owned(PyLong_FromSsize_t(i)).release());
    return rt::tuple({all.get(), error});
}

namespace {

Ref send_records_entry(Bound a) { return send_records(a[0], a[1]); }

}  // namespace

const rt::FunctionDef send_records_def = {
    "send_records", "send_records", {"socket", "records"}, send_records_entry, rt::FunctionKind::plain};

}  // namespace tlh
