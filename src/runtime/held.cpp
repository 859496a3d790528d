#include "held.hpp"

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
        list_->abandoned.store(true, std::memory_order_release);
        return;
    }
    if (prev_) prev_->next_ = next_;
    else list_->first = next_;
    if (next_) next_->prev_ = prev_;
    list_ = nullptr;
}

int HeldList::traverse(visitproc visit, void* arg) const {
    if (abandoned.load(std::memory_order_acquire)) return 0;
    for (const HeldNode* h = first; h; h = h->next_)
        if (int r = h->show_(h, visit, arg)) return r;
    return 0;
}

HeldList* HeldList::enter() noexcept { return std::exchange(current, this); }

void HeldList::leave(HeldList* before) noexcept { current = before; }

}  // namespace rt
