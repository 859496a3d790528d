// The state shared by a native coroutine, generator or async generator object and the
// C++20 coroutine frame that runs its body.
//
// What the garbage collector must see lives in the Python object, not in the C++ frame: here the
// awaited delegate, the value to deliver on resumption and the result; beside it, in the frame
// object, the call's arguments and the body's frame-held locals (frame_object.hpp).
#pragma once
#include "error.hpp"

#include <atomic>
#include <coroutine>
#include <new>

namespace rt {

enum class FrameKind : unsigned char { coroutine, generator, async_generator };

struct FrameCore {
    std::coroutine_handle<> frame;
    PyObject* delegate = nullptr;       // iterator of the awaitable being awaited
    PyObject* yielded = nullptr;        // what the body produced at its last suspension
    PyObject* resume_value = nullptr;   // result of the await, or value sent to a yield
    PyObject* resume_error = nullptr;   // exception to raise where the body resumes
    PyObject* result = nullptr;         // return value of the finished body
    PyObject* error = nullptr;          // exception that ended the body
    // The exception the body is handling (an except clause it is in), pushed on the interpreter's
    // stack of handled exceptions while the body runs, as a Python generator's is.
    _PyErr_StackItem exc_state{};
    FrameKind kind = FrameKind::coroutine;
    bool yielded_value = false;  // the last suspension was a co_yield, not a pass-through of an await
    bool started = false;
    std::atomic<bool> running{false};
    bool finished = false;
};

// Runs one step of the body: sends `arg`, or throws `exc` (an exception instance) when given.
// Returns like am_send: NEXT with the yielded value, RETURN with the result, or ERROR.
// Not noexcept, like everything that runs Python code: a daemon thread ended at interpreter exit
// unwinds through here.
PySendResult step(FrameCore& c, PyObject* arg, PyObject* exc, PyObject** out);
// Throws GeneratorExit into a suspended body and checks that it ends; used by close() and finalizers.
PyObject* close_frame(FrameCore& c);
// Destroys the C++ frame of a body that is done or abandoned. A frame's C++ locals are released
// with it; the arguments belong to the Python object.
void drop_frame(FrameCore& c);
int traverse_core(FrameCore& c, visitproc visit, void* arg);
void clear_core(FrameCore& c);

// The iterator that `await target` drives, with Python's errors for what cannot be awaited
// (a plain generator, a coroutine someone else awaits already); NULL with the error set.
PyObject* awaitable_iterator(PyObject* target);

// A StopIteration (or, from an async generator, StopAsyncIteration) leaving a body would be
// taken for its end by whoever drives it: it becomes RuntimeError, as in Python. Steals `err`,
// returns the exception to raise instead (`err` itself when it is no such exception).
PyObject* replace_stop_iteration(FrameKind kind, PyObject* err);

// Conversions between am_send results and the iterator protocol.
PyObject* stop_iteration(PyObject* value);  // sets StopIteration(value), returns NULL; steals value
PyObject* send_result(PySendResult r, PyObject* out);
// Builds the exception instance of a throw() call in either argument form.
PyObject* thrown_exception(PyObject* const* args, Py_ssize_t nargs);

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
    explicit Awaiter(Ref target) noexcept : target_(std::move(target)) {}
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) {
        core_ = h.promise().core;
        return start(Ref(std::move(target_)));
    }
    Ref await_resume();

private:
    bool start(Ref target);
    Ref target_;
    FrameCore* core_ = nullptr;
};

inline Awaiter await(Ref target) noexcept { return Awaiter(std::move(target)); }

// Where a body stops at co_yield; resumes with the sent value or raises the thrown exception.
struct YieldPoint {
    FrameCore* core;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Ref await_resume() const;
};

}  // namespace rt
