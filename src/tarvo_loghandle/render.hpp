// The renderer of one writer run: handle(le), the generator that turns an entry into output
// pieces, with the prefix memory it shares with the closures same_prefix and same_prefix_secondary.
#pragma once
#include "common.hpp"

namespace tlh {

// Made afresh by every run of the writer: two closure cells (last_write_line_prefix,
// last_write_line_prefix_secondary), the two closures over them, and handle, which calls both.
struct Renderer {
    Ref last_write_line_prefix;
    Ref last_write_line_prefix_secondary;
    Ref handle;

    explicit Renderer(PyObject* g);
    // After an entry failed halfway, the next one starts with its header.
    void forget_prefixes();
};

}  // namespace tlh
