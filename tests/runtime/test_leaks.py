"""Many runs of the bridges must not grow traced memory or the number of live objects."""
import asyncio
import contextlib
import gc
import tracemalloc


async def pause():
    await asyncio.sleep(0)


async def reraise(e):
    return "reraise"


async def workload(rt, rounds):
    managed = contextlib.asynccontextmanager(rt.managed)
    for i in range(rounds):
        await rt.await_value(pause())
        try:
            await rt.catching(rt.raising(ValueError(i)), reraise)
        except ValueError:
            pass
        async with managed(lambda *a: None, pause):
            pass
        try:
            async with managed(lambda *a: None, pause):
                raise KeyError(i)
        except KeyError:
            pass
        list(rt.count(3))
        c = rt.await_value(asyncio.sleep(0))
        c.send(None)
        c.close()
        task = asyncio.ensure_future(rt.await_value(asyncio.sleep(1)))
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass


def measure(rt, rounds):
    asyncio.run(workload(rt, rounds))
    gc.collect()
    return tracemalloc.get_traced_memory()[0], len(gc.get_objects())


def test_no_growth(rt):
    tracemalloc.start()
    try:
        measure(rt, 300)  # warm caches
        mem1, objs1 = measure(rt, 1000)
        mem2, objs2 = measure(rt, 3000)
    finally:
        tracemalloc.stop()
    assert objs2 - objs1 < 50, (objs1, objs2)
    assert mem2 - mem1 < 64 * 1024, (mem1, mem2)
