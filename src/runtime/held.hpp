// What a native coroutine, generator or async generator holds across its suspensions, shown to
// the garbage collector the way a Python frame's locals are: by construction. A Held object made
// while a body runs links itself to that body's frame object, which visits it when the collector
// asks, until the object is destroyed (at the latest, with the body's frame). A cycle through it
// (handler -> task -> coroutine -> a local that holds the handler) is then collected.
//
//     rt::Local handler;              // a Ref held across awaits
//     rt::Caught caught;              // an exception kept for an except clause that awaits
//     class Layout : public rt::Held  // anything else: traverse() shows what it holds
#pragma once
#include "ref.hpp"

namespace rt {

struct HeldList;

class Held {
public:
    Held() noexcept;
    virtual ~Held() noexcept(false);  // what derives holds references, released as they go
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    // Visits every object this holds, as tp_traverse does.
    virtual int traverse(visitproc visit, void* arg) const = 0;

private:
    friend struct HeldList;
    HeldList* list_ = nullptr;
    Held* prev_ = nullptr;
    Held* next_ = nullptr;
};

// The Held objects of one frame. While a body runs, its list is the running thread's current one.
struct HeldList {
    Held* first = nullptr;

    int traverse(visitproc visit, void* arg) const;
    // Makes this the list that Held objects made on this thread join; returns the one before.
    HeldList* enter() noexcept;
    static void leave(HeldList* before) noexcept;
};

// A reference held across suspensions.
class Local final : public Held {
public:
    Local() noexcept = default;
    Local& operator=(Ref r) {
        ref_ = std::move(r);
        return *this;
    }
    PyObject* get() const noexcept { return ref_.get(); }
    const Ref& ref() const noexcept { return ref_; }
    operator Borrowed() const noexcept { return Borrowed(ref_); }  // NOLINT: lent like a Ref
    explicit operator bool() const noexcept { return bool(ref_); }
    void reset() { ref_.reset(); }
    int traverse(visitproc visit, void* arg) const override;

private:
    Ref ref_;
};

}  // namespace rt
