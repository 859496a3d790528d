"""Native coroutines under real asyncio: awaiting, results, exceptions both ways, cancellation, close."""
import asyncio
import inspect
import sys
import traceback

import pytest


async def later(value, delay=0):
    await asyncio.sleep(delay)
    return value


async def fail_later(exc):
    await asyncio.sleep(0)
    raise exc


def test_await_results_and_return_values(rt):
    async def main():
        assert await rt.await_value(later(5)) == 5
        assert await rt.await_value(asyncio.sleep(0, "now")) == "now"  # completes without suspending
        assert await rt.await_both(later(1, 0.01), later(2)) == (1, 2)
        error = ValueError("as a value")
        assert await rt.returning((1, 2)) == (1, 2)
        assert await rt.returning(error) is error
        assert await asyncio.gather(rt.returning(1), rt.await_value(later(2, 0.01))) == [1, 2]
        assert await asyncio.wait_for(rt.await_value(later(3)), 1) == 3
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(rt.await_value(asyncio.sleep(10)), 0.01)
        with pytest.raises(TypeError, match="can't be used in 'await' expression|object can't be awaited"):
            await rt.await_value(42)

    asyncio.run(main())


def test_stop_iteration_carries_the_value(rt):
    for value in [None, 7, (1, 2), (), ValueError("v")]:
        with pytest.raises(StopIteration) as caught:
            rt.returning(value).send(None)
        assert caught.value.value is value or caught.value.value == value


def test_exceptions_keep_identity_and_traceback(rt):
    error = KeyError("k")

    async def main():
        with pytest.raises(KeyError) as caught:
            await rt.await_value(fail_later(error))
        assert caught.value is error
        assert "fail_later" in "".join(traceback.format_tb(error.__traceback__))
        with pytest.raises(KeyError) as caught:
            await rt.raising(error)
        assert caught.value is error

    asyncio.run(main())


def test_stop_iteration_leaving_a_body_becomes_runtime_error(rt):
    stop = StopIteration("leak")

    async def main():
        with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as caught:
            await rt.raising(stop)
        assert caught.value.__cause__ is stop

    asyncio.run(main())


def test_except_clause_semantics(rt):
    error = ValueError("handled")

    async def handler(e):
        # the handled exception is visible, also after an await inside the clause
        assert sys.exc_info()[1] is e
        await asyncio.sleep(0)
        assert traceback.format_exc().rstrip().endswith("ValueError: handled")
        return "done"

    async def raise_new(e):
        await asyncio.sleep(0)
        raise RuntimeError("while handling")

    async def reraise(e):
        return "reraise"

    async def main():
        assert await rt.catching(fail_later(error), handler) == ("handled", "done")
        assert await rt.catching(later(1), handler) == ("ok", 1)
        with pytest.raises(RuntimeError) as caught:
            await rt.catching(fail_later(error), raise_new)
        assert caught.value.__context__ is error
        with pytest.raises(ValueError) as caught:
            await rt.catching(fail_later(error), reraise)
        assert caught.value is error
        # nothing handled leaks out to the caller or the loop
        assert sys.exc_info() == (None, None, None)

    asyncio.run(main())


def test_cancellation_reaches_the_await(rt):
    async def on_cancel(e):
        assert isinstance(e, asyncio.CancelledError)
        await asyncio.sleep(0)
        return "cleaned up"

    async def main():
        task = asyncio.create_task(rt.await_value(asyncio.sleep(10)))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        task = asyncio.create_task(rt.catching(asyncio.sleep(10), on_cancel))
        await asyncio.sleep(0.01)
        task.cancel()
        assert await task == ("handled", "cleaned up")  # caught like `except CancelledError`

    asyncio.run(main())


class Step:
    """An awaitable that is not a coroutine: suspends once, then returns 1."""

    def __await__(self):
        yield None
        return 1


def test_protocol_edges(rt):
    coro = rt.await_value(Step())
    with pytest.raises(TypeError, match="non-None value"):
        coro.send(1)
    fut = coro.send(None)  # suspended inside the awaitable
    assert fut is None and coro.cr_await is not None
    coro.close()  # closes the awaited coroutine too
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)

    fresh = rt.await_value(Step())
    with pytest.raises(ZeroDivisionError):
        fresh.throw(ZeroDivisionError)  # thrown before the first line: raised at once
    with pytest.raises(ZeroDivisionError):
        rt.await_value(Step()).throw(ZeroDivisionError, ZeroDivisionError("x"), None)  # three-argument form

    c = rt.await_value(Step())
    assert c.__name__ == "await_value" and c.__qualname__ == "await_value"
    assert asyncio.iscoroutine(c)
    c.close()


def test_generators(rt):
    assert list(rt.count(3)) == [0, 1, 2]
    g = rt.count(10)
    assert next(g) == 0
    with pytest.raises(KeyError):
        g.throw(KeyError("into the yield"))
    assert list(g) == []
    g = rt.count(10)
    next(g)
    g.close()
    assert list(g) == []


def test_functions(rt):
    import functools

    add = rt.add
    assert add(1, 2) == 3 and add(self=1, other=2) == 3
    with pytest.raises(TypeError, match="missing required argument"):
        add(1)
    with pytest.raises(TypeError, match="unexpected keyword"):
        add(1, nope=2)
    with pytest.raises(TypeError, match="takes 2 positional arguments"):
        add(1, 2, 3)

    class Adder(int):
        plus = add

    assert Adder(40).plus(2) == 42
    assert (add.__name__, add.__qualname__, add.__module__, add.__doc__) == ("add", "Adder.add", "rt_testmod", None)
    assert add.__annotations__ == {"return": None}
    iscoroutinefunction = inspect.iscoroutinefunction if sys.version_info >= (3, 12) else asyncio.iscoroutinefunction
    assert iscoroutinefunction(rt.await_value) and not iscoroutinefunction(add)

    @functools.wraps(rt.await_value)
    async def wrapper(aw):
        return await rt.await_value(aw)

    assert wrapper.__qualname__ == "await_value" and wrapper.__wrapped__ is rt.await_value
    add.note = "kept"
    assert add.__dict__["note"] == "kept"


def test_interpreter_exit_with_suspended_objects(rt):
    """Suspended coroutines and async generators alive at exit are finalised without a crash."""
    import subprocess
    import textwrap

    code = textwrap.dedent(f"""
        import asyncio, importlib.util
        module_spec = importlib.util.spec_from_file_location("rt_testmod", {rt.__file__!r})
        rt = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(rt)

        class Step:
            def __await__(self):
                yield None

        async def pause():
            await asyncio.sleep(0)

        kept = rt.await_value(Step())
        kept.send(None)
        gen = rt.managed(print, pause)
        try:
            gen.__anext__().send(None)
        except StopIteration:
            pass
        cycle = [kept, gen]
        cycle.append(cycle)
        print("leaving")
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("enter\nleaving")
    assert "Fatal" not in r.stderr and "Segmentation" not in r.stderr
