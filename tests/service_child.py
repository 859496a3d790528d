"""A small service run as a child process by the deployment tests: `python service_child.py MODE ARGS`."""
import asyncio
import os
import sys
import threading
import time

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import LoggingHandler, log
from tarvo_utils_asyncio import SyncTaskInterface

logger = TLogger("svc.child")


async def crash(n):
    """Logs n lines, writes to stderr itself in the middle, then fails: a traceback follows the log."""
    async with log(SyncTaskInterface(), ServiceConfig()):
        for i in range(n // 2):
            logger.info(f"line {i}")
        await asyncio.sleep(0.3)
        print("the process's own line", file=sys.stderr, flush=True)
        for i in range(n // 2, n):
            logger.info(f"line {i}")
        raise RuntimeError("the service failed")


async def thread_then_close(n):
    """A thread logs n entries and is joined by the loop thread before the close begins."""
    h = LoggingHandler()
    await h.init()
    await asyncio.sleep(0.05)  # the service runs a while before the thread starts
    worker = threading.Thread(target=lambda: [logger.info(f"line {i}") for i in range(n)])
    worker.start()
    worker.join()
    await h.aclose()


async def fd2_was_closed(data):
    """Started without a descriptor 2: the application's own file (opened first) took that number."""
    h = LoggingHandler()
    await h.init()
    logger.info("this must not land in the data file")
    await h.aclose()
    data.write("application data\n")


async def cancelled_close(n, at):
    """n entries are queued, then the close is cancelled when it reaches the step `at`."""
    h = LoggingHandler()
    await h.init()
    for i in range(n):
        logger.info(f"line {i}")
    closing = asyncio.ensure_future(h.aclose())
    loop = asyncio.get_running_loop()
    if at.startswith("after:"):
        for _ in range(int(at[6:])):
            await asyncio.sleep(0)
        closing.cancel()
    else:
        from tarvo_loghandle import loghandle_imp

        real_debug = loghandle_imp.debug

        def debug(msg):
            if msg.startswith(f"Closing logging handler: {at}"):
                loop.call_soon(closing.cancel)
            real_debug(msg)

        loghandle_imp.debug = debug
    try:
        await closing
    except asyncio.CancelledError:
        print("close cancelled", flush=True)
    else:
        print("close not cancelled", flush=True)


async def unread(n):
    """Logs n long lines to a stderr that nobody reads (a pipe whose reader stopped), then closes."""
    async with log(SyncTaskInterface(), ServiceConfig()):
        for i in range(n):
            logger.info(f"line {i} " + "x" * 100)
    print("closed", flush=True)


def daemon_at_exit():
    """A daemon thread's loop logs without pause while the main thread exits the interpreter."""

    async def service():
        async with log(SyncTaskInterface(), ServiceConfig()):
            i = 0
            while True:
                logger.info("tick", i=i)
                i += 1
                await asyncio.sleep(0)

    threading.Thread(target=lambda: asyncio.run(service()), daemon=True).start()
    time.sleep(0.05)
    sys.exit(0)


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "daemon":
        daemon_at_exit()
    run = asyncio.run
    if os.environ.get("CHILD_LOOP") == "uvloop":
        import uvloop

        run = uvloop.run
    if mode == "crash":
        run(crash(int(args[0])))
    elif mode == "thread":
        run(thread_then_close(int(args[0])))
    elif mode == "nofd2":
        with open(args[0], "w") as data:
            assert data.fileno() == 2, data.fileno()
            run(fd2_was_closed(data))
    elif mode == "unread":
        run(unread(int(args[0])))
    elif mode == "cancel":
        run(cancelled_close(int(args[0]), args[1]))


if __name__ == "__main__":
    main()
