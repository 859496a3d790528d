"""Native coroutines under asyncio's newer ways of running them, on the interpreters that have them."""
import asyncio
import sys

import pytest
import twins

needs_311 = pytest.mark.skipif(sys.version_info < (3, 11), reason="TaskGroup, timeout and Runner are 3.11's")
needs_312 = pytest.mark.skipif(sys.version_info < (3, 12), reason="eager tasks are 3.12's")


async def later(value, delay=0.0):
    await asyncio.sleep(delay)
    return value


def outcomes(m):
    """The same steps with the native functions and with their Python twins must agree."""

    async def main():
        out = []
        async with asyncio.TaskGroup() as group:
            a = group.create_task(m.await_value(later(1)))
            b = group.create_task(m.catching(later(2, 0.01), twins.returning))
        out.append((a.result(), b.result()))
        try:
            async with asyncio.timeout(0.01):
                await m.catching(asyncio.sleep(10), twins.raising)
        except TimeoutError as e:
            out.append(("timeout", type(e).__name__, asyncio.current_task().cancelling()))
        try:
            async with asyncio.TaskGroup() as group:
                group.create_task(m.raising(KeyError("in group")))
                group.create_task(m.await_value(asyncio.sleep(10)))
        except BaseException as eg:  # noqa: B902 - an ExceptionGroup (the test runs from 3.11 on)
            out.append(("group", type(eg).__name__, [str(e) for e in eg.exceptions]))
        return out

    return main


@needs_311
def test_task_groups_timeouts_and_runner(rt):
    results = []
    for m in (twins, rt):
        with asyncio.Runner() as runner:
            results.append(runner.run(outcomes(m)()))
    assert results[0] == results[1]


@needs_312
def test_eager_tasks(rt):
    def run(m):
        async def main():
            asyncio.get_running_loop().set_task_factory(asyncio.eager_task_factory)
            done_at_once = asyncio.create_task(m.returning(5))  # completes inside create_task
            waits = asyncio.create_task(m.await_value(later(6, 0.01)))
            cancelled = asyncio.create_task(m.await_value(asyncio.sleep(10)))
            await asyncio.sleep(0)
            cancelled.cancel()
            gathered = await asyncio.gather(waits, cancelled, return_exceptions=True)
            return done_at_once.done(), done_at_once.result(), gathered[0], type(gathered[1]).__name__

        return asyncio.run(main())

    assert run(rt) == run(twins) == (True, 5, 6, "CancelledError")
