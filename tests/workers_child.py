"""Several processes writing one stream, run as a child of test_workers.py: `python workers_child.py
MODE ARGS`. The format comes from TARVO_LOG_FORMAT; the log is stderr, which the test reads."""
import asyncio
import multiprocessing
import os
import sys
import threading

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.workers")


def block():
    return log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd()))


def numbered(k, n, big_every):
    """Worker k's entries, each numbered; every `big_every`-th one carries 100 KB."""
    async def main():
        async with block():
            for i in range(n):
                big = big_every and i % big_every == big_every // 2
                lg.info(f"w{k} seq {i} " + ("b" * 100_000 if big else "s" * 40))
                if i % 50 == 0:
                    await asyncio.sleep(0)
    asyncio.run(main())


def pipe(workers, n, big_every):
    """Forked workers, each with its own handler, all writing the stderr they inherited."""
    pids = []
    for k in range(int(workers)):
        pid = os.fork()
        if pid == 0:
            numbered(k, int(n), int(big_every))
            os._exit(0)
        pids.append(pid)
    for pid in pids:
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0


def named(workers, n):
    """Forked workers logging from two functions each, in turns, with their process id in the text."""
    def worker(k):
        async def handle(i):
            lg.info(f"w{k} pid={os.getpid()} handle {i}")

        async def respond(i):
            lg.info(f"w{k} pid={os.getpid()} respond {i}")

        async def main():
            async with block():
                for i in range(int(n)):
                    await (handle if i % 7 < 4 else respond)(i)
                    await asyncio.sleep(0.001)
        asyncio.run(main())

    pids = []
    for k in range(int(workers)):
        pid = os.fork()
        if pid == 0:
            worker(k)
            os._exit(0)
        pids.append(pid)
    for pid in pids:
        os.waitpid(pid, 0)


def in_own_thread(target):
    """What a child forked inside a coroutine runs: its loop is the parent's, so a thread runs its own."""
    t = threading.Thread(target=target)
    t.start()
    t.join()


def child_service(name):
    async def main():
        async with block():
            lg.info(f"{name} up")
    asyncio.run(main())


def forks():
    """Forks while entries wait for a first handler, and again while a handler runs with entries
    it has not written yet."""
    for i in range(5):
        lg.info(f"parent waiting {i}")
    pid_a = os.fork()
    if pid_a == 0:
        lg.info("A before its handler")
        child_service("A")
        sys.exit(0)

    async def main():
        async with block():
            lg.info("parent up")
            for i in range(2000):
                lg.info(f"parent busy {i}")
            pid_b = os.fork()  # the parent's queue holds most of them now
            if pid_b == 0:
                lg.info("B before its handler")
                in_own_thread(lambda: child_service("B"))
                os._exit(0)
            await asyncio.to_thread(os.waitpid, pid_b, 0)
            lg.info("parent down")
    asyncio.run(main())
    os.waitpid(pid_a, 0)


def mp_child(k):
    lg.info(f"mp {k} before its handler")
    child_service(f"mp {k}")
    lg.info(f"mp {k} after its handler")


def through_multiprocessing(method):
    """Processes of each start method, started from a thread while the parent's handler runs, with
    the parent's entries waiting before it."""
    lg.info("parent waiting")
    ctx = multiprocessing.get_context(method)

    def start_and_join():
        procs = [ctx.Process(target=mp_child, args=(k,)) for k in range(2)]
        for p in procs:
            p.start()
        for p in procs:
            p.join()
            assert p.exitcode == 0, p.exitcode

    async def main():
        async with block():
            lg.info("parent up")
            # a thread of its own: a child forked from a thread of the loop's executor fails at its
            # exit, joining that thread (concurrent.futures' own exit)
            t = threading.Thread(target=start_and_join)
            t.start()
            while t.is_alive():
                await asyncio.sleep(0.01)
            lg.info("parent down")
    asyncio.run(main())


if __name__ == "__main__":
    {"pipe": pipe, "named": named, "forks": forks, "mp": through_multiprocessing}[sys.argv[1]](*sys.argv[2:])
