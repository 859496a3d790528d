// The state shared by a native coroutine, generator or async generator object and the
// C++20 coroutine frame that runs its body.
//
// What the garbage collector must see lives in the Python object, not in the C++ frame: here the
// awaited delegate, the value to deliver on resumption, the result, and the list of Held objects
// the body keeps across its suspensions; beside it, in the frame object, the call's arguments.
#pragma once
#include "error.hpp"
#include "held.hpp"

#include <atomic>
#include <coroutine>
#include <new>

namespace rt {

enum class FrameKind : unsigned char { coroutine, generator, async_generator };
// "coroutine", "generator", "async generator": as Python's messages name them.
const char* kind_name(FrameKind k) noexcept;

struct FrameCore {
    std::coroutine_handle<> frame;
    Ref delegate;      // iterator of the awaitable being awaited
    Ref yielded;       // what the body produced at its last suspension
    Ref resume_value;  // result of the await, or value sent to a yield
    Ref resume_error;  // exception to raise where the body resumes
    Ref result;        // return value of the finished body
    Ref error;         // exception that ended the body
    HeldList held;     // what the body keeps across its suspensions
    // The exception the body is handling (an except clause it is in), pushed on the interpreter's
    // stack of handled exceptions while the body runs, as a Python generator's is. CPython's own
    // struct: its references are owned and released here (traverse_core, clear_core).
    _PyErr_StackItem exc_state{};
    FrameKind kind = FrameKind::coroutine;
    bool yielded_value = false;  // the last suspension was a co_yield, not a pass-through of an await
    bool started = false;
    std::atomic<bool> running{false};
    bool finished = false;
};

// What one step of a body gave: NEXT with the value yielded, RETURN with the result, or ERROR
// (the error indicator set, no value): am_send's results.
struct Step {
    PySendResult kind;
    Ref value;
    // For am_send and the methods built on it: the value as a new reference, or NULL.
    PySendResult into(PyObject** out) {
        *out = value.release();
        return kind;
    }
};

// Runs one step of the body: sends `arg`, or throws `exc` (an exception instance) when given.
// Not noexcept, like everything that runs Python code: a daemon thread ended at interpreter exit
// unwinds through here.
Step step(FrameCore& c, Borrowed arg, Borrowed exc);
// Throws GeneratorExit into a suspended body and checks that it ends; used by close() and finalizers.
Ref close_frame(FrameCore& c);
// Destroys the C++ frame of a body that is done or abandoned. A frame's C++ locals are released
// with it; the arguments belong to the Python object.
void drop_frame(FrameCore& c);
int traverse_core(const FrameCore& c, visitproc visit, void* arg);
void clear_core(FrameCore& c);

struct PromiseBase {
    FrameCore* core = nullptr;
    // Frames are small and short-lived: the interpreter's allocator serves them fastest.
    static void* operator new(size_t size) {
        if (void* p = PyMem_Malloc(size)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void* p) noexcept { PyMem_Free(p); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    // A forced unwind (the thread is ending) is rethrown: it leaves through resume().
    void unhandled_exception() {
        set_error_from_current();
        core->error = fetch_exception();
    }
};

// Owns a body's frame until a Python object takes it.
template <class Promise>
class BodyHandle {
public:
    explicit BodyHandle(std::coroutine_handle<Promise> h) noexcept : h_(h) {}
    BodyHandle(BodyHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    BodyHandle& operator=(BodyHandle&&) = delete;
    ~BodyHandle() {
        if (h_) h_.destroy();
    }
    std::coroutine_handle<> attach(FrameCore* core) noexcept {
        h_.promise().core = core;
        return std::exchange(h_, nullptr);
    }

private:
    std::coroutine_handle<Promise> h_;
};

// `co_await rt::await(x)`: runs the first step of the awaitable `x` at once; if it completes,
// the body goes on without suspending, otherwise its yields pass up to whoever drives us.
class Awaiter {
public:
    explicit Awaiter(Ref target, bool end_is_empty = false) noexcept
        : target_(std::move(target)), end_is_empty_(end_is_empty) {}
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) {
        core_ = h.promise().core;
        return start(std::move(target_));  // taken over: the C++ frame, where the awaiter lives, holds nothing
    }
    Ref await_resume();

private:
    bool start(Ref target);
    Ref target_;
    bool end_is_empty_;
    FrameCore* core_ = nullptr;
};

inline Awaiter await(Ref target) noexcept { return Awaiter(std::move(target)); }
// `co_await rt::await_next(rt::anext(it))`: one step of `async for`; an empty Ref when the
// iteration ends (StopAsyncIteration).
inline Awaiter await_next(Ref step) noexcept { return Awaiter(std::move(step), true); }

// Where a body stops at co_yield; resumes with the sent value or raises the thrown exception.
struct YieldPoint {
    FrameCore* core;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Ref await_resume() const;
};

}  // namespace rt
