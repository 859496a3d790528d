"""Native async generators, as the standard library's asynccontextmanager and async for drive them."""
import asyncio
import contextlib

import pytest


def recorder():
    events = []

    def log(*args):
        events.append(args if len(args) > 1 else args[0])

    return events, log


async def pause():
    await asyncio.sleep(0)


def test_context_manager_paths(rt):
    managed = contextlib.asynccontextmanager(rt.managed)
    events, log = recorder()
    error = ValueError("in the block")

    async def main():
        async with managed(log, pause) as value:
            assert value is None
        with pytest.raises(ValueError) as caught:
            async with managed(log, pause):
                raise error
        assert caught.value is error

        async def service():
            async with managed(log, pause):
                await asyncio.sleep(10)

        task = asyncio.create_task(service())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert events[:4] == ["enter", "exit", "enter", ("except", error)]
    assert events[4] == "enter" and events[5][0] == "except" and isinstance(events[5][1], asyncio.CancelledError)


def test_async_for_and_asend(rt):
    seen, log = recorder()

    async def main():
        got = [x async for x in rt.echo_items([1, 2, 3], log, pause)]
        assert got == [1, 2, 3]
        gen = rt.echo_items("ab", log, pause)
        assert await gen.asend(None) == "a"
        assert await gen.asend("sent") == "b"
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()
        with pytest.raises(RuntimeError, match="ignored|already"):
            pass_through = rt.echo_items("xy", log, pause)
            await pass_through.__anext__()
            op = pass_through.__anext__()
            await op
            await op  # an awaited step cannot be awaited again
        gen = rt.echo_items("xyz", log, pause)
        await gen.__anext__()
        with pytest.raises(KeyError):
            await gen.athrow(KeyError("thrown"))
        gen = rt.echo_items("xyz", log, pause)
        await gen.__anext__()
        await gen.aclose()
        await gen.aclose()  # closing twice is fine
        with pytest.raises(StopAsyncIteration):
            await gen.__anext__()

    asyncio.run(main())
    assert seen[:3] == [None, None, None] and "sent" in seen


def test_abandoned_generator_is_finalised_by_the_loop(rt):
    events, log = recorder()
    managed = rt.managed

    async def main():
        gen = managed(log, pause)
        await gen.__anext__()
        del gen
        await asyncio.sleep(0.01)

    asyncio.run(main())
    assert events[0] == "enter" and events[1][0] == "except"
