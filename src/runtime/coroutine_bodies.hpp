// Return types of C++ coroutine bodies, and the Python objects that run them.
//
//   rt::Async    body of a coroutine function: co_await rt::await(x), co_return value
//   rt::Gen      body of a generator function: co_yield value
//   rt::AsyncGen body of an async generator function: co_await rt::await(x) and co_yield value
//
// A body takes a Bound: it borrows its arguments from the Python object that runs it, which owns
// them for as long as the body can run (its first send comes long after the call returned).
#pragma once
#include "frame.hpp"
#include "type.hpp"

namespace rt {

class Async {
public:
    struct promise_type : PromiseBase {
        Async get_return_object() noexcept { return Async(std::coroutine_handle<promise_type>::from_promise(*this)); }
        void return_value(Ref v) { core->result = std::move(v); }
    };
    BodyHandle<promise_type> body;

private:
    explicit Async(std::coroutine_handle<promise_type> h) noexcept : body(h) {}
};

template <class Tag>
class YieldingBody {
public:
    struct promise_type : PromiseBase {
        YieldingBody get_return_object() noexcept {
            return YieldingBody(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        void return_void() noexcept {}
        YieldPoint yield_value(Ref v) {
            core->yielded = std::move(v);
            core->yielded_value = true;
            return YieldPoint{core};
        }
    };
    BodyHandle<promise_type> body;

private:
    explicit YieldingBody(std::coroutine_handle<promise_type> h) noexcept : body(h) {}
};

using Gen = YieldingBody<struct GenTag>;
using AsyncGen = YieldingBody<struct AsyncGenTag>;

extern StaticType CoroutineType;
extern StaticType GeneratorType;
extern StaticType AsyncGeneratorType;

}  // namespace rt
