#include "held.hpp"

namespace rt {
namespace {
// The list of the body that runs on this thread now (bodies run one inside another, each step
// restores the list of the step it ran in).
thread_local HeldList* current = nullptr;
}  // namespace

Held::Held() noexcept : list_(current) {
    if (!list_) return;
    next_ = list_->first;
    if (next_) next_->prev_ = this;
    list_->first = this;
}

Held::~Held() noexcept(false) {
    if (!list_) return;
    if (prev_) prev_->next_ = next_;
    else list_->first = next_;
    if (next_) next_->prev_ = prev_;
}

int HeldList::traverse(visitproc visit, void* arg) const {
    for (const Held* h = first; h; h = h->next_)
        if (int r = h->traverse(visit, arg)) return r;
    return 0;
}

HeldList* HeldList::enter() noexcept { return std::exchange(current, this); }

void HeldList::leave(HeldList* before) noexcept { current = before; }

int Local::traverse(visitproc visit, void* arg) const {
    Py_VISIT(ref_.get());
    return 0;
}

}  // namespace rt
