"""Throughput of a running handler, and the cost of the native coroutine bridge.

    .venv/py310/bin/python bench/bench_handler.py

Entries are made beforehand and put straight on the queue, so the figures are the handler's:
queue -> pump -> splitter -> writer -> renderer -> one write per chunk to /dev/null. The
sibling stand-ins are pure Python; the second figure replaces their calls on the per-entry path
(debug, colours, prefix, get_as_strings, indent, the level lookups) by C builtins, to show what
the handler itself costs (one small lambda stays, for the level filter)."""
import asyncio
import gc
import statistics
import sys
import time

from tarvo_commons.logs import LogEntry, StackInfo, TLogger
from tarvo_loghandle import loghandle_imp

N = 20000


def entries(n):
    now = time.time()
    out = []
    for i in range(n):
        kind = i % 10
        tags = frozenset({"raw_line", "redraw"}) if kind == 9 else frozenset()
        out.append(LogEntry(f"message {i}", now, "INFO", ("svc", f"part{kind % 3}"), "svc.mod", tags, {},
                            StackInfo("/src/svc/mod.py", f"func{kind % 2}")))
    return out


async def run_once(items, handler_class=None):
    """Seconds from the first entry put on the queue until the handler (of `handler_class`, by
    default the package's) has written them all to /dev/null and closed."""
    loghandle_imp.STDERR = "/dev/null"
    h = (handler_class or loghandle_imp.LoggingHandler)()
    await h.init()
    q = TLogger.queue
    start = time.perf_counter()
    for le in items:
        q.put_nowait(le)
    await h.aclose()
    return time.perf_counter() - start


def timed_run():
    items = entries(N)
    gc.collect()  # so that no collection of the fresh entries lands in the timed part
    return asyncio.run(run_once(items))


def throughput(label):
    times = [timed_run() for _ in range(5)]
    best = min(times)
    print(f"{label:<46} {N / best:>10,.0f} entries/s  {best / N * 1e6:6.2f} us/entry "
          f"(median {statistics.median(times) / N * 1e6:.2f})")


def light_siblings():
    import operator

    m = loghandle_imp
    m.debug = len
    for name in ("color_red", "color_gray", "color_module", "color_function", "color_raw_line"):
        setattr(m, name, str)
    # str.format(text, anything) returns text unchanged when it holds no braces
    m.add_color = m.get_as_strings = m.indent = str.format
    m.format_logentry_prefix = operator.attrgetter("level")
    m.get_min_level = lambda prefix, module: 0  # the one Python call left per entry
    TLogger.level_from_level_name = staticmethod(len)


async def coroutine_cost():
    async def py_f(_sti):
        return None

    sti = object()
    handler = loghandle_imp.LoggingHandler()
    native = handler.inited  # plain native method, for the call cost

    def timeit(fn, n=200000):
        t = time.perf_counter()
        fn(n)
        return (time.perf_counter() - t) / n * 1e9

    def run_to_end(coroutine_function):
        def loop(n):
            for _ in range(n):
                try:
                    coroutine_function(sti).send(None)
                except StopIteration:
                    pass

        return loop

    def call_native(n):
        for _ in range(n):
            native()

    f = await _native_f()
    print(f"{'native coroutine: create and run to the end':<46} {timeit(run_to_end(f)):8.0f} ns")
    print(f"{'async def: create and run to the end':<46} {timeit(run_to_end(py_f)):8.0f} ns")
    print(f"{'native method call (inited)':<46} {timeit(call_native):8.0f} ns")


async def _native_f():
    from tarvo_kivo_interfaces import ServiceConfig
    from tarvo_loghandle import config

    got = []

    class Sti:
        async def set_interface_gen(self, key, f):
            got.append(f)

    class Quiet:
        async def init(self):
            pass

        async def aclose(self):
            pass

    saved = config.LoggingHandler
    config.LoggingHandler = Quiet
    try:
        async with config.log(Sti(), ServiceConfig()):
            pass
    finally:
        config.LoggingHandler = saved
    return got[0]


if __name__ == "__main__":
    print(f"CPython {sys.version.split()[0]}, {N} entries per run, best of 5")
    throughput("with the pure-Python stand-ins")
    asyncio.run(coroutine_cost())
    light_siblings()
    throughput("sibling calls replaced by C builtins")
