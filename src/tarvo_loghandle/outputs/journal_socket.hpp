// The systemd journal: knowing that stderr is the stream a service manager connected to it, and
// sending it records with its native protocol (a datagram per record on its socket; a record too
// large for a datagram in a sealed memory file whose descriptor a datagram carries).
#pragma once
#include "package_base.hpp"

namespace tlh {

// Whether descriptor `fd` is the journal's stream: JOURNAL_STREAM ("device:inode", read from
// os.environ now, as the service manager sets it) names the file the descriptor is.
bool is_journal_stream(PyObject* g, int fd);

// A datagram socket to the journal socket at loghandle_imp.JOURNAL_SOCKET: a Python object that
// closes its descriptor when the last reference goes (a send in flight on another thread holds
// one). `timeout`: seconds a send may wait for a slow journal (0: for ever).
Ref journal_socket(PyObject* g, double timeout);

// send_records(socket, records) -> None when the journal took every record (a list of bytes),
// else (indices of those it did not take, the OSError of the first). Made from any thread; the
// lock of the interpreter is released while the records are sent, several to a system call.
extern const rt::FunctionDef send_records_def;
Ref send_records(PyObject* socket, PyObject* records);
// What send_records gives when none of `count` records was sent, for `error`.
Ref none_sent(Py_ssize_t count, PyObject* error);

}  // namespace tlh
