"""Entries per second of the output formats, and of the standard library's queue logging with a
JSON formatter, on the same workload: N log calls with a keyword value, then everything written
(to /dev/null) and the pipeline closed. Alternating runs; the median of each is reported.

    .venv/py310/bin/python bench/bench_formats.py [N]"""
import asyncio
import json
import logging
import logging.handlers
import os
import queue
import statistics
import sys
import time

import tarvo_utils_asyncio
from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp

N = int(sys.argv[1]) if len(sys.argv) > 1 else 30000
ROUNDS = 5


def tarvo(fmt):
    async def main():
        loghandle_imp.STDERR = "/dev/null"
        loghandle_imp.LOG_FORMAT = fmt
        logger = TLogger("bench.svc")
        h = loghandle_imp.LoggingHandler()
        await h.init()
        start = time.perf_counter()
        for i in range(N):
            logger.info("request handled", n=i)
            if i % 1000 == 999:
                await asyncio.sleep(0)
        await h.aclose()
        return time.perf_counter() - start

    return asyncio.run(main())


class JsonFormatter(logging.Formatter):
    def format(self, record):
        return json.dumps({"time": self.formatTime(record), "level": record.levelname, "logger": record.name,
                           "module": record.module, "file": record.pathname, "function": record.funcName,
                           "message": record.getMessage(), "fields": getattr(record, "fields", {})})


def stdlib():
    q = queue.SimpleQueue()
    stream = logging.StreamHandler(open(os.devnull, "w"))
    stream.setFormatter(JsonFormatter())
    listener = logging.handlers.QueueListener(q, stream)
    logger = logging.getLogger("bench.stdlib")
    logger.handlers[:] = [logging.handlers.QueueHandler(q)]
    logger.setLevel(logging.INFO)
    logger.propagate = False
    listener.start()
    start = time.perf_counter()
    for i in range(N):
        logger.info("request handled", extra={"fields": {"n": repr(i)}})
    listener.stop()
    return time.perf_counter() - start


def main():
    os.environ.pop("TARVO_DEBUG", None)
    tarvo_utils_asyncio.reread_debug_target()
    pipelines = {"json": lambda: tarvo("json"), "plain": lambda: tarvo("plain"), "terminal": lambda: tarvo("terminal"),
                 "stdlib QueueHandler + JSON": stdlib}
    times = {name: [] for name in pipelines}
    for _ in range(ROUNDS):
        for name, run in pipelines.items():
            times[name].append(run())
    rate = {name: N / statistics.median(t) for name, t in times.items()}
    print(f"CPython {sys.version.split()[0]}, {N} entries, median of {ROUNDS} alternating runs")
    for name, r in rate.items():
        print(f"  {name:28} {r:10,.0f} entries/s   {r / rate['stdlib QueueHandler + JSON']:.2f}x the standard library")


if __name__ == "__main__":
    main()
