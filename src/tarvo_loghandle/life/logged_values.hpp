// An entry shows its values as they were when it was logged, not when it is written: a dict that
// the caller goes on changing, an exception whose arguments it rewrites. What can change is taken
// at the producer's side, where the entry is put on the queue: containers copied, other objects
// replaced by their texts (repr and str, what the formats show of them), the exception copied.
// Values that cannot change (str, int, float, bool, None, bytes, tuples and frozensets of them)
// are kept as they are, at no cost but a look at their type.
#pragma once
#include "package_base.hpp"

#include <utility>

namespace tlh {

// For a LogEntry: its keyword values and its exception taken as they are now, with the fields bound
// for the caller's context and the trace it is logged in (life/current_trace.hpp) after them. Entries that the
// level filter will drop are left alone, and so is whatever cannot be taken (a repr that fails:
// the writer shows that failure as it would have).
void keep_as_logged(PyObject* g, PyObject* entry);

// What an entry about to be made will carry, taken as keep_as_logged takes an entry's: its keyword
// values (a dict of the caller's own) with the context they are logged in, and its exception (or
// None); whatever the level says, as the entry to ask it of is not made yet.
std::pair<Ref, Ref> logged_now(PyObject* kwargs, PyObject* exception);

// The fields bound in the caller's context now (tarvo_loghandle.context), which every entry put
// carries after its own keyword values: a dict that nobody changes, or null when none is bound.
Ref bound_fields_now();

// While it lives, the entry given is known on this thread to pass the level filter already (a
// logging record's entry, tested before it is put), so that keep_as_logged does not ask again.
class LevelPassed {
public:
    explicit LevelPassed(PyObject* entry) noexcept : outer_(std::exchange(current, entry)) {}
    ~LevelPassed() { current = outer_; }
    LevelPassed(const LevelPassed&) = delete;
    LevelPassed& operator=(const LevelPassed&) = delete;
    static bool of(PyObject* entry) noexcept { return entry == current; }

private:
    static inline thread_local PyObject* current = nullptr;  // compared only
    PyObject* outer_;
};

}  // namespace tlh
