// What a native coroutine, generator or async generator holds across its suspensions, shown to
// the garbage collector the way a Python frame's locals are: by construction. A held value made
// while a body runs links itself to that body's frame object, which visits it when the collector
// asks, until the value is destroyed (at the latest, with the body's frame). A cycle through it
// (handler -> task -> coroutine -> a local that holds the handler) is then collected.
//
//     rt::Local handler;              // a Ref held across awaits
//     rt::Caught caught;              // an exception kept for an except clause that awaits
//     rt::Held<ChunkOutput> out(...); // any value with traverse(visit, arg) const
//
// A value is linked only once it is whole and unlinked before it is taken apart: the collector may
// run while it is made or destroyed (its constructor or destructor may call Python code).
#pragma once
#include "ref.hpp"

#include <atomic>
#include <memory>
#include <utility>

namespace rt {

struct HeldList;

class HeldNode {
public:
    HeldNode(const HeldNode&) = delete;
    HeldNode& operator=(const HeldNode&) = delete;

protected:
    using Show = int (*)(const HeldNode*, visitproc, void*);
    explicit HeldNode(Show show) noexcept : show_(show) {}
    ~HeldNode() = default;
    // Into the list of the body that runs on this thread now (none outside a body).
    void link() noexcept;
    void unlink() noexcept;

private:
    friend struct HeldList;
    Show show_;
    HeldList* list_ = nullptr;
    HeldNode* prev_ = nullptr;
    HeldNode* next_ = nullptr;
};

// The held values of one frame. While a body runs, its list is the running thread's current one.
struct HeldList {
    HeldNode* first = nullptr;
    // A daemon thread ended at interpreter exit unwinds through the body without the GIL, while
    // the exiting thread may be collecting: it leaves the list as it is and marks it abandoned,
    // waits for a walk already under way to end, and only then lets its values be destroyed; the
    // collector looks at the list no more (what it held is leaked, as everything that thread held).
    // The walks under way are counted below the mark.
    static constexpr unsigned abandoned_mark = 1u << 31;
    mutable std::atomic<unsigned> walks{0};

    int traverse(visitproc visit, void* arg) const;
    void abandon() noexcept;
    // Makes this the list that held values made on this thread join; returns the one before.
    HeldList* enter() noexcept;
    static void leave(HeldList* before) noexcept;
};

// How a held value shows what it holds: its traverse(), or its pointee's.
template <class T>
int traverse_value(const T& value, visitproc visit, void* arg) {
    return value.traverse(visit, arg);
}
template <class T>
int traverse_value(const std::unique_ptr<T>& value, visitproc visit, void* arg) {
    return value ? value->traverse(visit, arg) : 0;
}

template <class T>
class Held final : HeldNode {
public:
    template <class... Args>
    explicit Held(Args&&... args) : HeldNode(&show), value_(std::forward<Args>(args)...) {
        link();
    }
    ~Held() noexcept(false) { unlink(); }  // the value's references are released after this

    T& operator*() noexcept { return value_; }
    T* operator->() noexcept { return &value_; }

private:
    static int show(const HeldNode* node, visitproc visit, void* arg) {
        return traverse_value(static_cast<const Held*>(node)->value_, visit, arg);
    }
    T value_;
};

// A reference held across suspensions.
class Local final : HeldNode {
public:
    Local() noexcept : HeldNode(&show) { link(); }
    ~Local() noexcept(false) {
        unlink();
        ref_.reset();
    }
    Local& operator=(Ref r) {
        ref_ = std::move(r);
        return *this;
    }
    PyObject* get() const noexcept { return ref_.get(); }
    const Ref& ref() const noexcept { return ref_; }
    operator Borrowed() const noexcept { return Borrowed(ref_); }  // NOLINT: lent like a Ref
    explicit operator bool() const noexcept { return bool(ref_); }
    void reset() { ref_.reset(); }

private:
    static int show(const HeldNode* node, visitproc visit, void* arg) {
        Py_VISIT(static_cast<const Local*>(node)->ref_.get());
        return 0;
    }
    Ref ref_;
};

}  // namespace rt
