// rt::Sequence<T>: a lazy C++ generator, for native code that produces values one at a time for
// native consumers (no Python object in between). `for (T& v : seq)` resumes the body up to its
// next co_yield; an exception that ends the body (a PyErr, or any other) reaches the consumer.
//
// A Python generator that yields what a Sequence yields keeps the Sequence's laziness: each
// request runs the body exactly up to the next value.
#pragma once
#include "error.hpp"

#include <coroutine>
#include <cstdlib>
#include <exception>
#include <new>
#include <utility>

namespace rt {

namespace detail {
// Frames of one body type are all the same size and live one at a time, mostly: the last freed
// one is kept for the next, one per thread. (Plain thread-local values, without a destructor: a
// thread that ends leaves its one spare frame behind.)
template <class Tag>
struct FrameCache {
    static inline thread_local void* spare = nullptr;
    static inline thread_local size_t spare_size = 0;
    static void* take(size_t size) {
        if (spare && spare_size == size) return std::exchange(spare, nullptr);
        if (void* p = std::malloc(size)) return p;
        throw std::bad_alloc();
    }
    static void give(void* p, size_t size) noexcept {
        if (!spare) {
            spare = p;
            spare_size = size;
        } else {
            std::free(p);
        }
    }
};
}  // namespace detail

template <class T>
class Sequence {
public:
    struct promise_type {
        T* current = nullptr;
        std::exception_ptr error;

        static void* operator new(size_t size) { return detail::FrameCache<Sequence>::take(size); }
        static void operator delete(void* p, size_t size) noexcept { detail::FrameCache<Sequence>::give(p, size); }

        Sequence get_return_object() noexcept { return Sequence(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        std::suspend_always yield_value(T& v) noexcept {
            current = std::addressof(v);
            return {};
        }
        std::suspend_always yield_value(T&& v) noexcept {
            current = std::addressof(v);
            return {};
        }
        void return_void() noexcept {}
        // A forced unwind (the thread is ending) leaves through resume(); anything else is kept
        // for the consumer.
        void unhandled_exception() {
            if (handling_foreign_exception()) throw;
            error = std::current_exception();
        }
    };

    Sequence(Sequence&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    Sequence& operator=(Sequence&&) = delete;
    ~Sequence() {
        if (h_) h_.destroy();
    }

    // Runs the body to its next value; false when it ended. Rethrows what ended it.
    bool next() {
        h_.resume();
        if (h_.done()) {
            if (h_.promise().error) std::rethrow_exception(std::exchange(h_.promise().error, nullptr));
            return false;
        }
        return true;
    }
    T& value() const noexcept { return *h_.promise().current; }

    struct End {};
    class Iterator {
    public:
        explicit Iterator(Sequence* s) : s_(s) { advance(); }
        T& operator*() const noexcept { return s_->value(); }
        Iterator& operator++() {
            advance();
            return *this;
        }
        bool operator==(End) const noexcept { return done_; }

    private:
        void advance() { done_ = !s_->next(); }
        Sequence* s_;
        bool done_ = false;
    };
    Iterator begin() { return Iterator(this); }
    End end() const noexcept { return {}; }

private:
    explicit Sequence(std::coroutine_handle<promise_type> h) noexcept : h_(h) {}
    std::coroutine_handle<promise_type> h_;
};

}  // namespace rt
