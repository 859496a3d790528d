"""A service pushed to the edges of what the handler promises, run as a child process by
test_promise.py: `python promise_child.py MODE ARGS`. The format comes from TARVO_LOG_FORMAT, the
loop from CHILD_LOOP (asyncio or uvloop); the log is stderr unless a mode says otherwise."""
import asyncio
import json
import logging
import os
import resource
import sys
import threading
import time

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log, loghandle_imp, stdlib
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.main")
lib = logging.getLogger("thirdparty.lib")


def run(coroutine):
    if os.environ.get("CHILD_LOOP") == "uvloop":
        import uvloop

        return uvloop.run(coroutine)
    return asyncio.run(coroutine)


def block():
    return log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd()))


def report(**facts):
    print(json.dumps(facts), flush=True)


def closes(via, rounds):
    """Threads number their entries while handlers start and close again and again; between two
    handlers their entries are written at once."""
    if via == "logging":  # the application's own setup: the records reach the stream across the closes
        stdlib.AUTO_CONNECT = False
        logging.basicConfig(level=logging.INFO, handlers=[stdlib.RecordHandler()])
    stop = threading.Event()
    counts = {}

    def produce(k):
        i = 0
        while not stop.is_set():
            if via == "logging":
                lib.info("thread %d seq %d", k, i)
            else:
                lg.info(f"thread {k} seq {i}")
            i += 1
            if i % 8 == 0:
                time.sleep(0.001)
        counts[k] = i

    async def one_round(r):
        handler = loghandle_imp.LoggingHandler()
        await handler.init()
        for i in range(100):
            lg.info(f"loop {r} seq {i}")
            if i % 10 == 0:
                await asyncio.sleep(0.001)
        await handler.aclose()

    threads = [threading.Thread(target=produce, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for r in range(rounds):
        run(one_round(r))
        time.sleep(0.002)
    stop.set()
    for t in threads:
        t.join()
    report(counts=counts)


def threads_at_once(size):
    """After the handler has closed, 8 threads log entries of `size` bytes: each is written at once,
    by the thread that logs it."""
    async def main():
        async with block():
            lg.info("the handler runs")

    run(main())

    def produce(k):
        for i in range(100):
            lg.info(f"thread {k} seq {i} " + chr(ord("a") + k) * size)

    threads = [threading.Thread(target=produce, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def full_disk(filler):
    """The log goes to a file on a filesystem that `filler` fills; halfway, the filler is removed."""
    async def main():
        async with block():
            for i in range(400):
                lg.info(f"seq {i} " + "p" * 300)
                if i % 20 == 0:
                    await asyncio.sleep(0.01)
                if i == 200:
                    await asyncio.sleep(0.1)
                    os.unlink(filler)

    run(main())


def stalled(n):
    """stderr is a pipe, non-blocking, that its reader leaves alone while the service logs and closes."""
    os.set_blocking(2, False)

    async def main():
        async with block():
            for i in range(n):
                lg.info(f"seq {i} " + "s" * 200)
                if i % 100 == 0:
                    await asyncio.sleep(0)
    run(main())
    report(done=True)


def loop_closed():
    """A handler whose loop is closed without its close; entries logged afterwards, from this thread
    and another."""
    async def start():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        lg.info("before the loop closed")
        return h

    loop = asyncio.new_event_loop()
    handler = loop.run_until_complete(start())
    loop.close()
    for i in range(10):
        lg.info(f"after the loop closed {i}")
    t = threading.Thread(target=lambda: lg.info("after the loop closed, from a thread"))
    t.start()
    t.join()
    report(handler=type(handler).__name__)


def mutated():
    """Values changed right after they were logged: the log shows them as they were at the call."""
    async def main():
        async with block():
            order = {"status": "accepted", "items": [1, 2]}
            lg.info("order received", order=order)
            order["status"] = "refunded"
            order["items"].append(3)
            try:
                raise ValueError("card declined")
            except ValueError as e:
                lg.exception("payment failed")
                lib.error("payment failed in the library", exc_info=True)
                e.args = ("card accepted",)
    run(main())


def flood(n):
    """The loop's own task logs n records through logging without letting the loop run."""
    async def main():
        async with block():
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            for i in range(n):
                lib.info("flood %d", i)
            after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        report(peak_kb=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, before_kb=before, after_kb=after)
    run(main())


if __name__ == "__main__":
    mode, args = sys.argv[1], [int(a) if a.isdigit() else a for a in sys.argv[2:]]
    {"closes": closes, "threads_at_once": threads_at_once, "full_disk": full_disk, "stalled": stalled,
     "loop_closed": loop_closed, "mutated": mutated, "flood": flood}[mode](*args)
