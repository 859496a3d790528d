// Bytes written straight to a descriptor with the system's own calls: by the thread that writes
// entries at once, or by the writer's own thread, in one call for a whole chunk.
//
// An output that several processes may share (a pipe, a FIFO, a socket: what a container runtime,
// a log collector or a pre-fork server's workers have on their stderr) is written in pieces of
// whole lines, PIPE_BUF bytes at most, which the system keeps whole: no other process's write of
// PIPE_BUF bytes or less lands inside one of its lines. A line longer than PIPE_BUF is a piece of
// its own, which the system may take in parts; processes of this package that share the output
// therefore take turns on it, piece by piece (a record lock on the output, as fcntl gives one to
// each process), so that among theirs such a line reaches the reader whole too. A process that
// holds the turn for write_patience_s is no longer waited for.
#pragma once
#include "outputs/output_thread.hpp"
#include "outputs/whole_write.hpp"
#include "package_base.hpp"

namespace tlh {

// A pipe, a FIFO or a socket.
bool is_shared_output(int fd) noexcept;

// How a write takes its turns with the other processes on the output: not at all (an output of
// its own), waited for write_patience_s at most (a write at once, which must not hold its caller
// for long), or waited for (the writer's own thread: the handler's close bounds how long it waits).
enum class Turns : unsigned char { none, bounded, waited_for };

// All of `whole`'s pieces written to `fd`, the interpreter let go during each system call, each
// piece in its turn with the processes sharing the output. Returns 0, or the errno
// that stopped it (EAGAIN: the output took nothing for write_patience_s). `progress`, the run's
// thread's when given, is told what the system takes, and since when it has taken nothing. Raises
// only what a signal's handler raises.
int write_pieces(int fd, WholeWrite& whole, Turns turns, OutputProgress* progress);

// The same as a call for a writer's own thread:
//   write_to_descriptor(fd, data, piece_limit, executor) -> None, or (bytes written, the OSError)
// where `executor` (the run's thread) counts what the system takes, for the handler's close.
PyObject* descriptor_write_function();

}  // namespace tlh
