"""Threads against one handler, run in a process of its own (test_threads.py, bench/bench_threads.py):

    python threads_child.py THREADS ENTRIES OUT

THREADS threads log ENTRIES entries each through a running handler while another thread replaces
the functions the writer recognises and puts them back, again and again; then loops of several
threads race to start handlers while one runs. The log goes to the file OUT; one line of JSON on
stdout tells what came out: entries, lost, duplicated, out of order (per thread), the handlers
started and refused, the wall time."""
import asyncio
import json
import math
import os
import re
import sys
import threading
import time

import termcolor

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log, loghandle_imp
from tarvo_utils_asyncio import SyncTaskInterface

THREADS, ENTRIES, OUT = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
loghandle_imp.STDERR = OUT
loghandle_imp.LOG_FORMAT = "plain"


def pass_through(owner, name):
    real = getattr(owner, name)

    def wrapper(*args, **kwargs):
        return real(*args, **kwargs)

    return real, wrapper


def replace_again_and_again(stop):
    """While the threads log: each recognised function replaced by a wrapper and put back."""
    swaps = [(owner, name, *pass_through(owner, name))
             for owner, name in ((time, "time_ns"), (math, "fabs"), (os.path, "basename"), (termcolor, "colored"))]
    n = 0
    while not stop.is_set():
        for owner, name, real, wrapper in swaps:
            setattr(owner, name, wrapper if n % 2 else real)
        n += 1
        time.sleep(0.0005)
    for owner, name, real, _ in swaps:
        setattr(owner, name, real)


async def many_threads():
    async with log(SyncTaskInterface(), ServiceConfig()):
        stop = threading.Event()
        swapper = threading.Thread(target=replace_again_and_again, args=(stop,))
        swapper.start()

        def produce(k):
            logger = TLogger(f"svc.t{k}")
            for i in range(ENTRIES):
                logger.info(f"entry {k} {i}", i=i)

        producers = [threading.Thread(target=produce, args=(k,)) for k in range(THREADS)]
        for t in producers:
            t.start()
        while any(t.is_alive() for t in producers):
            await asyncio.sleep(0.01)
        stop.set()
        swapper.join()


started = refused = 0
running_now = max_running = 0
counter_lock = threading.Lock()


def racing_loop(rounds):
    """A thread with its own event loop that starts handlers, racing the other threads."""
    global started, refused, running_now, max_running

    async def attempt():
        global started, refused, running_now, max_running
        try:
            async with log(SyncTaskInterface(), ServiceConfig()):
                with counter_lock:
                    started += 1
                    running_now += 1
                    max_running = max(max_running, running_now)
                await asyncio.sleep(0.001)
                with counter_lock:
                    running_now -= 1
        except RuntimeError as e:
            assert "already running" in str(e), e
            with counter_lock:
                refused += 1

    for _ in range(rounds):
        asyncio.run(attempt())


start = time.perf_counter()
asyncio.run(many_threads())
took = time.perf_counter() - start
racers = [threading.Thread(target=racing_loop, args=(20,)) for _ in range(4)]
for t in racers:
    t.start()
for t in racers:
    t.join()

seen = {}
duplicated = out_of_order = 0
with open(OUT, encoding="utf-8") as f:
    for line in f:
        m = re.search(r" entry (\d+) (\d+) i=", line)
        if not m:
            continue
        k, i = int(m.group(1)), int(m.group(2))
        last = seen.setdefault(k, [])
        if i in last[-1:]:
            duplicated += 1
        elif last and i < last[-1]:
            out_of_order += 1
        last.append(i)
written = sum(len(set(v)) for v in seen.values())
print(json.dumps({"threads": THREADS, "entries": THREADS * ENTRIES, "written": written,
                  "lost": THREADS * ENTRIES - written, "duplicated": duplicated, "out_of_order": out_of_order,
                  "started": started, "refused": refused, "most_at_once": max_running, "seconds": round(took, 3),
                  "gil": getattr(sys, "_is_gil_enabled", lambda: True)()}))
