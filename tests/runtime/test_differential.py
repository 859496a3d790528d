"""The contract of the native coroutines, generators and async generators: every scenario runs
against the native object and against its Python twin (tests/runtime/twins.py) on the same
interpreter, and what they do must be the same: results, exception types and messages, warnings,
what the garbage collector sees."""
import asyncio
import gc
import sys
import types
import warnings
import weakref

import pytest
import twins

NATIVE_NAMES = [("native_coroutine_wrapper", "coroutine_wrapper"), ("native_coroutine", "coroutine"),
                ("native_async_generator", "async_generator"), ("native_generator", "generator")]


def normalize(text):
    for native, python in NATIVE_NAMES:
        text = text.replace(native, python)
    return text


def describe(e):
    return ("raised", type(e).__name__, normalize(str(e)))


def attempt(f, *args):
    try:
        return ("ok", f(*args))
    except BaseException as e:  # noqa: B902 - every outcome is compared
        return describe(e)


def send(obj, value=None):
    return attempt(obj.send, value)


def complete(awaitable, limit=10):
    """Drives an awaitable by hand to its end; what it yields on the way (a Step) is passed over."""
    it = awaitable.__await__()
    for _ in range(limit):
        try:
            it.send(None)
        except StopIteration as stop:
            return ("ok", stop.value)
        except BaseException as e:  # noqa: B902
            return describe(e)
    return ("pending",)


class Step:
    """An awaitable that suspends once (yields to whoever drives it), then returns "stepped"."""

    def __init__(self):
        self.c = None

    def __await__(self):
        yield
        return "stepped"


class Items(list):
    """A list that can be weakly referred to and can hold its own consumer."""


async def handled(e):
    return "handled " + type(e).__name__


async def handled_after_a_step(e):
    await Step()
    return "late"


def collected(make_cycle):
    """Builds a cycle through the object's arguments, drops it, collects; True when it is gone."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ref = make_cycle()
        gc.collect()
    return ref() is None, [(w.category.__name__, normalize(str(w.message))) for w in caught]


# Each scenario takes the module of functions to try (the native extension or the twins).

def coroutine_send_and_reuse(m):
    c = m.returning(7)
    return [send(c), send(c), attempt(c.throw, ValueError("v")), attempt(c.close)]


def coroutine_send_value_to_unstarted(m):
    c = m.await_value(Step())
    out = send(c, 1)
    c.close()
    return out


def coroutine_throw_into_unstarted(m):
    c = m.await_value(Step())
    return [attempt(c.throw, ValueError("v")), send(c)]


def coroutine_throw_stop_iteration_into_unstarted(m):
    c = m.await_value(Step())
    try:
        c.throw(StopIteration("s"))
    except BaseException as e:  # noqa: B902
        return describe(e), type(e.__cause__).__name__
    return "no error"


def coroutine_throw_forms_while_suspended(m):
    outcomes = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        for args in [(ValueError("one"),), (ValueError,), (ValueError, ValueError("three")), (KeyError, "k", None)]:
            c = m.await_value(Step())
            c.send(None)
            outcomes.append(attempt(c.throw, *args))
    return outcomes


def coroutine_close_then_send(m):
    unstarted = m.await_value(Step())
    suspended = m.await_value(Step())
    suspended.send(None)
    return [attempt(unstarted.close), send(unstarted), attempt(suspended.close), send(suspended)]


def coroutine_close_runs_the_handler(m):
    c = m.catching(Step(), handled)
    c.send(None)
    return [attempt(c.close), send(c)]


def coroutine_close_with_an_await_in_the_handler(m):
    c = m.catching(Step(), handled_after_a_step)
    c.send(None)
    return attempt(c.close)


def coroutine_return_values_in_stop_iteration(m):
    error = ValueError("as value")
    outcomes = []
    for value in [None, 0, (1, 2), (), error, StopIteration("s")]:
        try:
            m.returning(value).send(None)
        except StopIteration as stop:
            outcomes.append(stop.value is value or stop.value == value)
    return outcomes


def coroutine_exceptions_keep_identity(m):
    error = KeyError("k")
    c = m.raising(error)
    try:
        c.send(None)
    except KeyError as e:
        return e is error
    return False


def coroutine_stop_iteration_raised_in_the_body(m):
    stop = StopIteration("leak")
    try:
        m.raising(stop).send(None)
    except BaseException as e:  # noqa: B902
        return describe(e), e.__cause__ is stop
    return "no error"


def coroutine_await_of_odd_objects(m):
    def plain():
        yield

    @types.coroutine
    def iterable_coroutine():
        yield
        return "from generator"

    class NotIterator:
        def __await__(self):
            return 42

    class ReturnsCoroutine:
        def __await__(self):
            return twins.returning(1)

    outcomes = []
    for target in [plain(), iterable_coroutine(), 42, NotIterator(), ReturnsCoroutine(), asyncio.sleep(0, "slept")]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the coroutine made by ReturnsCoroutine
            outcomes.append(complete(m.await_value(target)))
    return outcomes


def coroutine_is_not_iterable_but_awaitable(m):
    c = m.returning(5)
    wrapper = c.__await__()
    shape = [attempt(iter, c), normalize(type(wrapper).__name__), iter(wrapper) is wrapper, hasattr(c, "__next__")]
    return shape + [attempt(next, wrapper), attempt(next, wrapper)]


def coroutine_awaited_twice(m):
    inner = m.await_value(Step())
    first = m.await_value(inner)
    second = m.await_value(inner)
    outcomes = [send(first), send(second), send(first)]
    return outcomes


def coroutine_awaited_twice_by_python_code(m):
    inner = m.await_value(Step())
    first = twins.await_value(inner)
    second = twins.await_value(inner)
    return [send(first), send(second), send(first)]


def coroutine_cancelled_in_a_task(m):
    async def main():
        task = asyncio.ensure_future(m.catching(asyncio.sleep(10), handled))
        await asyncio.sleep(0)
        task.cancel()
        plain = asyncio.ensure_future(m.await_value(asyncio.sleep(10)))
        await asyncio.sleep(0)
        plain.cancel()
        return [await task, (await asyncio.gather(plain, return_exceptions=True))[0].__class__.__name__]

    return asyncio.run(main())


def coroutine_unstarted_in_a_cycle(m):
    def make():
        s = Step()
        s.c = m.await_value(s)
        return weakref.ref(s)

    return collected(make)


def coroutine_suspended_in_a_cycle(m):
    def make():
        s = Step()
        s.c = m.await_value(s)
        s.c.send(None)
        return weakref.ref(s)

    return collected(make)


class Kept(Exception):
    """What a coroutine keeps across an await; the only way back to the coroutine is through it."""

    made = []

    def __init__(self):
        super().__init__()
        Kept.made.append(weakref.ref(self))


def kept_in_a_cycle(start):
    """The coroutine runs to its await, keeping a Kept; the Kept then refers to the coroutine."""

    def make():
        Kept.made.clear()
        c = start(Kept, Step())
        c.send(None)
        kept = Kept.made[0]()
        kept.c = c
        return Kept.made[0]

    return collected(make)


def coroutine_holding_a_local_in_a_cycle(m):
    return kept_in_a_cycle(m.hold_local)


def coroutine_holding_a_caught_exception_in_a_cycle(m):
    return kept_in_a_cycle(m.hold_exception)


def coroutine_never_awaited(m):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        m.returning(1)
        gc.collect()
    return [(w.category.__name__, w.message.args[0]) for w in caught]


def coroutine_weak_reference_callback(m):
    calls = []
    c = m.returning(1)
    ref = weakref.ref(c, lambda r: calls.append(r() is None))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        del c
        gc.collect()
    return calls, ref() is None


def coroutine_is_tracked(m):
    c = m.returning(1)
    tracked = gc.is_tracked(c)
    c.close()
    return tracked


def generator_protocol(m):
    g = m.count(2)
    return [send(g, 1), attempt(next, g), attempt(next, g), attempt(next, g), send(g),
            attempt(g.throw, ValueError("after the end")), attempt(g.close)]


def generator_throw_and_close(m):
    unstarted = m.count(3)
    started = m.count(3)
    next(started)
    stopped = m.count(3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return [attempt(unstarted.throw, ValueError("u")), attempt(next, unstarted),
                attempt(started.throw, KeyError("k")), attempt(next, started),
                attempt(stopped.throw, StopIteration("s")), attempt(stopped.close), list(m.count(3))]


def generator_in_a_cycle(m):
    class N:
        def __index__(self):
            return 2

    def make():
        n = N()
        n.g = m.count(n)
        next(n.g)
        return weakref.ref(n)

    return collected(make)


def async_generator_states(m):
    log = []
    outcomes = []

    def pause():
        return Step()

    g = m.echo_items([1, 2], log.append, pause)
    outcomes += [complete(g.asend("x")), complete(g.asend(None)), complete(g.asend("a")), complete(g.asend("b")),
                 complete(g.__anext__()), complete(g.athrow(ValueError("late"))), complete(g.aclose())]
    g = m.echo_items([1, 2], log.append, pause)
    outcomes += [complete(g.athrow(ValueError("unstarted"))), complete(g.__anext__()), complete(g.aclose())]
    g = m.echo_items([1, 2], log.append, pause)
    outcomes += [complete(g.aclose()), complete(g.__anext__()), complete(g.athrow(ValueError("closed")))]
    g = m.echo_items([1, 2], log.append, pause)
    outcomes += [complete(g.__anext__()), complete(g.athrow(KeyError("k"))), complete(g.__anext__())]
    g = m.echo_items([1, 2], log.append, pause)
    outcomes += [complete(g.__anext__()), complete(g.aclose()), complete(g.__anext__())]
    return outcomes, log


def async_generator_already_running(m):
    g = m.echo_items([1, 2], lambda sent: None, Step)
    assert complete(g.__anext__()) == ("ok", 1)
    running = g.__anext__()
    running.send(None)  # suspended in `await pause()`
    outcomes = [attempt(g.__anext__().send, None), attempt(g.aclose().send, None),
                attempt(g.athrow(ValueError("v")).send, None), g.ag_running]
    outcomes.append(attempt(running.send, None))
    outcomes.append(attempt(running.send, None))
    return outcomes


def async_generator_awaitables_cannot_be_reused(m):
    g = m.echo_items([1], lambda sent: None, Step)
    first = g.__anext__()
    closing = g.aclose()
    return [complete(first), attempt(first.send, None), complete(closing), attempt(closing.send, None)]


def async_generator_kept_by_the_finalizer_hook(m):
    kept = []
    saved = sys.get_asyncgen_hooks()
    sys.set_asyncgen_hooks(firstiter=lambda g: None, finalizer=kept.append)
    try:
        g = m.echo_items([1, 2], lambda sent: None, Step)
        complete(g.__anext__())
        del g
        gc.collect()
        outcome = [len(kept), gc.is_tracked(kept[0])]
    finally:
        sys.set_asyncgen_hooks(*saved)
    outcome.append(complete(kept[0].aclose()))
    return outcome


def async_generator_in_a_cycle(m):
    def make(started):
        def inner():
            items = Items([1, 2])
            items.append(m.echo_items(items, lambda sent: None, Step))
            if started:
                complete(items[-1].__anext__())
            return weakref.ref(items)
        return inner

    saved = sys.get_asyncgen_hooks()
    sys.set_asyncgen_hooks(None, None)
    try:
        return [collected(make(False)), collected(make(True))]
    finally:
        sys.set_asyncgen_hooks(*saved)


SCENARIOS = [f for name, f in sorted(globals().items()) if name.startswith(("coroutine_", "generator_", "async_generator_"))
             and callable(f) and name != "collected"]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda f: f.__name__)
def test_native_behaves_as_its_python_twin(rt, scenario):
    expected = scenario(twins)
    assert scenario(rt) == expected
