#include "held.hpp"

#include <thread>

namespace rt {
namespace {
// The list of the body that runs on this thread now (bodies run one inside another, each step
// restores the list of the step it ran in).
thread_local HeldList* current = nullptr;
}  // namespace

void HeldNode::link() noexcept {
    list_ = current;
    if (!list_) return;
    next_ = list_->first;
    if (next_) next_->prev_ = this;
    list_->first = this;
}

void HeldNode::unlink() noexcept {
    if (!list_) return;
    if (!may_touch_objects()) {  // this thread is being ended at exit, without the GIL
        list_->abandon();
        return;
    }
    if (prev_) prev_->next_ = next_;
    else list_->first = next_;
    if (next_) next_->prev_ = prev_;
    list_ = nullptr;
}

int HeldList::traverse(visitproc visit, void* arg) const {
    if (walks.fetch_add(1, std::memory_order_acquire) & abandoned_mark) {
        walks.fetch_sub(1, std::memory_order_relaxed);
        return 0;
    }
    int r = 0;
    for (const HeldNode* h = first; h && !r; h = h->next_) r = h->show_(h, visit, arg);
    walks.fetch_sub(1, std::memory_order_release);
    return r;
}

void HeldList::abandon() noexcept {
    // The walker holds the GIL and waits for nothing of this thread's: its walk ends.
    if (walks.fetch_or(abandoned_mark, std::memory_order_acq_rel) & abandoned_mark) return;
    while (walks.load(std::memory_order_acquire) != abandoned_mark) std::this_thread::yield();
}

HeldList* HeldList::enter() noexcept { return std::exchange(current, this); }

void HeldList::leave(HeldList* before) noexcept { current = before; }

}  // namespace rt
