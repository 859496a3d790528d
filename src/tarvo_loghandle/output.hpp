// The writer's output file: where it goes, and how a chunk's text reaches it.
#pragma once
#include "common.hpp"

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
// write_text(file, encoding, text): the text encoded (what the encoding cannot represent, such as
// lone surrogates from undecodable file names, written escaped), written whole; OSError on failure.
extern const rt::FunctionDef write_text_def;
// close_output(file): closes it; a failure to close is only reported.
extern const rt::FunctionDef close_output_def;

}  // namespace tlh
