#include "process_state.hpp"

#include <mutex>
#include <utility>

namespace tlh {

namespace {
ProcessState state;
}  // namespace

ProcessState& process() noexcept { return state; }

Ref Owed::text() const {
    if (!lost && !partly) return Ref();
    Ref why = reason ? reason : Ref::incref(name<"the output failed">());
    Ref part;
    if (partly) {
        Ref count = rt::integer(partly);
        part = rt::concat({count.get(), partly == 1 ? name<" log entry was written only in part">()
                                                    : name<" log entries were written only in part">()});
    }
    if (!lost) return rt::concat({part.get(), name<": ">(), why.get()});
    Ref count = rt::integer(lost);
    Ref head = rt::concat({count.get(), lost == 1 ? name<" log entry was lost">() : name<" log entries were lost">()});
    if (part) head = rt::concat({head.get(), name<" and ">(), part.get()});
    return rt::concat({head.get(), name<": ">(), why.get()});
}

void Owed::add(Owed&& other) {
    if (!other.any()) return;
    lost += other.lost;
    partly += other.partly;
    if (other.reason) reason = std::move(other.reason);
    if (!rest.empty() && !other.rest.empty()) ++partly;  // one rest can come first, the other is given up
    else if (rest.empty()) rest = std::move(other.rest);
    device = other.device;
    inode = other.inode;
}

Owed take_owed(dev_t device, ino_t inode) {
    Owed taken;
    std::lock_guard<rt::ProcessLock> locked(state.lock);
    if (state.owed.any() && state.owed.device == device && state.owed.inode == inode) std::swap(taken, state.owed);
    return taken;
}

void owe(Owed&& owed) {
    if (!owed.any()) return;
    Owed dropped;  // released outside the lock
    {
        std::lock_guard<rt::ProcessLock> locked(state.lock);
        if (state.owed.any() && (state.owed.device != owed.device || state.owed.inode != owed.inode)) {
            // Another file: what was owed to the one before can no longer be told there.
            std::swap(dropped, state.owed);
        }
        state.owed.add(std::move(owed));
    }
}

void ProcessState::teardown() {
    std::vector<Ref> left;
    Owed owed_left;
    Ref executor, queue;
    {
        std::lock_guard<rt::ProcessLock> locked(lock);
        left.swap(deferred);
        std::swap(owed_left, owed);
        run_handler = nullptr;
        executor = std::move(run_executor);
        queue = std::move(run_queue);
    }
    // What every import would make again is kept: a later import (a test's reload) uses it.
}

ProcessState::~ProcessState() {
    // After the interpreter has gone nothing may be released: what teardown() did not take back
    // (an exit that skipped it) is left as it is.
    for (Ref& r : deferred) (void)r.release();
    for (Ref* r : {&owed.reason, &run_executor, &run_queue, &globals, &waiting_queue_type, &running_queue_type,
                   &queue_class, &queue_put, &queue_get, &running_loop})
        (void)r->release();
}

}  // namespace tlh
