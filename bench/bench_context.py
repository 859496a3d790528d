"""Fields bound for a context: what they cost the code that logs, on the event loop's thread.

    .venv/py311/bin/python bench/bench_context.py          # 15 rounds of each case
    .venv/py311/bin/python bench/bench_context.py --trace  # with OpenTelemetry: no span, in a span
    PYTHONPATH=/path/to/other/build .venv/py311/bin/python bench/bench_context.py --before
                                                            # the first case on a build without them

A handler runs (json, written to /dev/null) and `logger.info("request served", n=i)` is called N
times in a row from the loop's thread, then the handler drains what was put. The figure is the
thread CPU time of the calls alone (no garbage collection among them), per call, the best of the
rounds:
- nothing bound: the call as every service makes it (what taking the context costs when it is empty);
- three bound: the same call inside `with bound(request_id=..., user=..., route=...)`;
- three by hand: no field bound, the three passed as keyword values to every call instead.
--trace runs two more, with OpenTelemetry's SDK imported (which every case then pays for: the
package asks it for the current span): "no span" (nothing bound, no span current) and "in a span"
(the call inside a recording span, whose ids the entry carries).
--before runs only the first case, for a build of the package that has no bound fields; --only CASE
runs one case alone (under callgrind, what it costs in instructions: two values of BENCH_CONTEXT,
the difference over the calls between them)."""
import asyncio
import gc
import os
import sys
import time

from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp

N = int(os.environ.get("BENCH_CONTEXT", 5000))
ROUNDS = 15
logger = TLogger("bench.context")


def nothing_bound(i):
    logger.info("request served", n=i)


def by_hand(i):
    logger.info("request served", n=i, request_id="4bf92f35", user="u-1021", route="/orders")


async def one_round(call, block=None):
    if block:
        block.__enter__()
    gc.disable()  # a collection among the calls would be counted against the case it falls in
    t0 = time.thread_time_ns()
    for i in range(N):
        call(i)
    t1 = time.thread_time_ns()
    gc.enable()
    if block:
        block.__exit__(None, None, None)
    await asyncio.sleep(0.05)  # the writer drains what was put
    while not loghandle_imp.TLogger.queue.empty():
        await asyncio.sleep(0.01)
    return (t1 - t0) / N


async def best_of(cases):
    """The cases' rounds taken in turn, so that the machine's drift touches each alike."""
    best = {name: float("inf") for name in cases}
    for _ in range(ROUNDS):
        for name, (call, block) in cases.items():
            best[name] = min(best[name], await one_round(call, block))
    return best


class InSpan:
    """A recording span made current for a round, as a request's span is."""
    def __init__(self):
        from opentelemetry.sdk.trace import TracerProvider

        self.tracer = TracerProvider().get_tracer("bench")

    def __enter__(self):
        self.block = self.tracer.start_as_current_span("request")
        self.block.__enter__()

    def __exit__(self, *exc):
        self.block.__exit__(*exc)


async def main(before, only, trace):
    loghandle_imp.STDERR = os.devnull
    loghandle_imp.LOG_FORMAT = "json"
    loghandle_imp.debug = lambda msg: None
    h = loghandle_imp.LoggingHandler()
    await h.init()
    for i in range(2000):  # warm: caches, the interpreter's specialisations
        nothing_bound(i)
    await asyncio.sleep(0.1)
    print(f"CPython {sys.version.split()[0]}, {N} calls a round, thread CPU per call (best of {ROUNDS})")
    cases = {"nothing bound": (nothing_bound, None)}
    if not before:
        from tarvo_loghandle.context import bound

        cases["three bound"] = (nothing_bound, bound(request_id="4bf92f35", user="u-1021", route="/orders"))
        cases["three by hand"] = (by_hand, None)
    if trace:
        cases = {"no span": (nothing_bound, None), "in a span": (nothing_bound, InSpan())}
    if only:
        cases = {only: cases[only]}
    for name, ns in (await best_of(cases)).items():
        print(f"  {name:15} {ns:7.0f} ns")
    await h.aclose()


if __name__ == "__main__":
    only = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else None
    asyncio.run(main("--before" in sys.argv, only, "--trace" in sys.argv))
