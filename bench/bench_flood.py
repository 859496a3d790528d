"""A flood from threads: what logging costs the event loop, and whether every line arrives.

    .venv/py310/bin/python bench/bench_flood.py [--uvloop] [--threads 4] [--entries 50000]
    .venv/py310/bin/python bench/bench_flood.py --from-loop 1000000

With --from-loop N, the loop's own task logs N records through Python's logging without ever
letting the writer run (a flood that no waiting can slow down): reported are the peak resident
memory and the time, and the lines are checked as above.

Producer threads log through TLogger (which hands each entry to the loop thread-safely) while a
ticker task on the loop measures how late it wakes up. The threads are joined, the handler is
closed, and the output file is read back: every line of every thread must be there, in order.
Reported: entries lost, entries out of order per thread, the loop's largest and 99th-percentile
lag, the peak resident memory of the process, and the wall time."""
import argparse
import asyncio
import os
import resource
import statistics
import sys
import tempfile
import threading
import time

import tarvo_utils_asyncio
from tarvo_commons.logs import TLogger
from tarvo_loghandle import loghandle_imp


def produce(k, n, ready):
    logger = TLogger(f"bench.t{k}")
    ready.wait()
    for i in range(n):
        logger.info(f"t{k} {i}")


async def flood(threads, entries, path):
    loghandle_imp.STDERR = path
    h = loghandle_imp.LoggingHandler()
    await h.init()
    loop = asyncio.get_running_loop()
    lags = []
    stop = False

    async def ticker():
        while not stop:
            before = loop.time()
            await asyncio.sleep(0.001)
            lags.append(loop.time() - before - 0.001)

    tick = asyncio.create_task(ticker())
    ready = threading.Event()
    workers = [threading.Thread(target=produce, args=(k, entries, ready)) for k in range(threads)]
    for w in workers:
        w.start()
    start = time.perf_counter()
    ready.set()
    while any(w.is_alive() for w in workers):
        await asyncio.sleep(0.01)
    for w in workers:
        w.join()
    await h.aclose()
    elapsed = time.perf_counter() - start
    stop = True
    await tick
    return lags, elapsed


async def loop_flood(records, path):
    import logging

    from tarvo_loghandle import stdlib

    loghandle_imp.STDERR = path
    h = loghandle_imp.LoggingHandler()
    await h.init()
    lib = logging.getLogger("bench.lib")
    lib.propagate = False
    lib.setLevel(logging.INFO)
    lib.addHandler(stdlib.RecordHandler())
    start = time.perf_counter()
    for i in range(records):
        lib.info("t0 %d", i)
    await h.aclose()
    return time.perf_counter() - start


def check(path, threads, entries):
    seen = {k: [] for k in range(threads)}
    with open(path, encoding="utf-8") as f:
        for line in f:
            for part in line.split("\x1b[0m"):
                words = part.rsplit(" t", 1)
                if len(words) == 2 and " " in words[1]:
                    k, i = words[1].split(" ", 1)
                    if k.isdigit() and i.strip().isdigit():
                        seen[int(k)].append(int(i.strip()))
    lost = sum(entries - len(set(v)) for v in seen.values())
    disorder = sum(sum(1 for a, b in zip(v, v[1:]) if b <= a) for v in seen.values())
    return lost, disorder


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--entries", type=int, default=50000)
    parser.add_argument("--uvloop", action="store_true")
    parser.add_argument("--from-loop", type=int, default=0, metavar="N")
    args = parser.parse_args()
    os.environ.pop("TARVO_DEBUG", None)
    tarvo_utils_asyncio.reread_debug_target()
    if args.from_loop:
        before_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "log.txt")
            elapsed = asyncio.run(loop_flood(args.from_loop, path))
            lost, disorder = check(path, 1, args.from_loop)
        peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(f"CPython {sys.version.split()[0]}: {args.from_loop} records from the loop's own task: lost {lost}, "
              f"out of order {disorder}, peak RSS {peak_mb:.0f} MB (before: {before_mb:.0f} MB), {elapsed:.1f} s")
        return
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "log.txt")
        if args.uvloop:
            import uvloop

            lags, elapsed = uvloop.run(flood(args.threads, args.entries, path))
        else:
            lags, elapsed = asyncio.run(flood(args.threads, args.entries, path))
        lost, disorder = check(path, args.threads, args.entries)
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    p99 = statistics.quantiles(lags, n=100)[98] if len(lags) > 100 else max(lags)
    print(f"CPython {sys.version.split()[0]}{' uvloop' if args.uvloop else ''}: {args.threads} threads x "
          f"{args.entries} entries: lost {lost}, out of order {disorder}, loop lag max {max(lags) * 1000:.1f} ms "
          f"p99 {p99 * 1000:.1f} ms, peak RSS {peak_mb:.0f} MB, {elapsed:.1f} s "
          f"({args.threads * args.entries / elapsed:,.0f} entries/s)")


if __name__ == "__main__":
    main()
