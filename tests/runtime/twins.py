"""Python twins of the native functions of the test extension: the same bodies as `async def`,
generators and async generators, so that a scenario can run against both and compare."""
import sys


async def await_value(aw):
    return await aw


async def await_both(a, b):
    return (await a, await b)


async def returning(value):
    return value


async def raising(exc):
    raise exc


async def catching(aw, handler):
    try:
        return ("ok", await aw)
    except BaseException as e:  # noqa: B902 - the twin of a catch-all
        r = await handler(e)
        if r == "reraise":
            raise
        return ("handled", r)


async def hold_local(make, aw):
    kept = make()
    return (kept, await aw)


async def hold_exception(make, aw):
    try:
        raise make()
    except BaseException:  # noqa: B902 - the twin of a catch-all
        await aw
        raise


def count(n):
    for i in range(n):
        yield i


async def managed(log, pause):
    log("enter")
    try:
        yield None
    except BaseException:  # noqa: B902
        log("except", sys.exc_info()[1])
        await pause()
        raise
    await pause()
    log("exit")


async def echo_items(items, log, pause):
    for x in items:
        sent = yield x
        log(sent)
        await pause()
