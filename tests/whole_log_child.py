"""A service whose whole log goes through the handler, run as a child process by test_whole_log.py:
`python whole_log_child.py MODE ARGS`. The format comes from TARVO_LOG_FORMAT; the log is stderr."""
import asyncio
import gc
import json
import logging
import os
import signal
import sys
import threading
import warnings

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log, loghandle_imp
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.main")
lib = logging.getLogger("thirdparty.http")


def block():
    return log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd()))


def report(**facts):
    print(json.dumps(facts), flush=True)


async def failing_task():
    raise ValueError("nobody awaited me")


def from_thread(k):
    """A thread that logs through both loggers, alternately: its entries keep their order."""
    for i in range(40):
        if i % 2:
            lib.info("thread %d step %d", k, i)
        else:
            lg.info(f"thread {k} step {i}")


async def stdlib():
    """A library logging through `logging` at every level, from the loop and from threads, with
    exceptions; asyncio reporting a task exception nobody retrieved."""
    before = (list(logging.root.handlers), logging.root.level)
    async with block():
        lg.info("service up")
        for level in (logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR, logging.CRITICAL):
            lib.log(level, "record at %s", logging.getLevelName(level))
        threads = [threading.Thread(target=from_thread, args=(k,)) for k in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        try:
            {"title": "x"}["body"]
        except KeyError:
            lib.exception("the library failed")
            lg.exception("the service failed")
        lg.error("given an exception", exc_info=OSError(28, "No space left on device"))
        lg.critical("critical entry")
        logging.captureWarnings(True)
        warnings.warn("a captured warning")
        logging.captureWarnings(False)
        asyncio.get_running_loop().create_task(failing_task())
        await asyncio.sleep(0.05)
        gc.collect()
        lg.info("service down")
    report(restored=(list(logging.root.handlers), logging.root.level) == before)


async def own_setup(auto):
    """An application that configures logging itself: log() leaves its setup alone."""
    from tarvo_loghandle import stdlib as bridge

    bridge.AUTO_CONNECT = auto == "auto"
    if auto == "own":
        logging.basicConfig(level=logging.INFO, handlers=[bridge.RecordHandler()])
    mine = list(logging.root.handlers)
    async with block():
        lib.info("a record")
        lg.info("an entry")
        report(handlers=len(logging.root.handlers), same=logging.root.handlers == mine)


async def edges():
    async with block():
        lg.info("inside the block")
    lg.warning("after the block, in the loop")
    threading.Thread(target=lambda: lg.info("after the block, from a thread")).start()
    await asyncio.sleep(0.05)


def edges_main():
    lg.error("before the handler", reason="bad configuration")
    lg.info("before the handler, second")
    asyncio.run(edges())
    lg.info("after the loop")


def waiting(n, start):
    """n entries logged before any handler; then a handler runs, or none ever does."""
    for i in range(n):
        lg.info(f"waiting {i}")

    async def run():
        async with block():
            lg.info("inside the block")

    if start == "start":
        asyncio.run(run())


async def bad_path(path):
    loghandle_imp.STDERR = path
    try:
        async with block():
            report(started=True)
    except OSError as e:
        report(refused=type(e).__name__, queue=type(TLogger.queue).__name__)
    lg.info("logged after the refusal")


async def burst(n, app_handler):
    if app_handler == "app":
        stopping = asyncio.Event()
        signal.signal(signal.SIGTERM, lambda *_: (print("the application's handler", flush=True), stopping.set()))
    async with block():
        for i in range(n):
            lg.info(f"entry {i}")
        print("logged", flush=True)
        if app_handler == "app":
            await stopping.wait()
        else:
            await asyncio.sleep(60)


async def other_writers():
    """The log, the process's own stderr writes and a warning, alternately; a bar redrawn in place."""
    async with block():
        lg.info("first entry")
        await asyncio.sleep(0.05)
        print("another writer's line", file=sys.stderr, flush=True)
        lg.info("second entry")
        await asyncio.sleep(0.05)
        warnings.warn("a warning of Python's own")
        await asyncio.sleep(0.05)
        for p in range(0, 101, 20):
            lg.raw_line(f"loading [{p:3d}%]", redraw=True)
            await asyncio.sleep(0.03)
        lg.info("after the bar")
        await asyncio.sleep(0.05)
        sys.stderr.write("a last line of another writer\n")
        sys.stderr.flush()


async def to_file(path):
    """The log to a file named by STDERR, whatever descriptor 2 is."""
    loghandle_imp.STDERR = path
    async with block():
        lg.info("an entry", qty=3)
        lg.error("an error")
        for p in range(0, 101, 50):
            lg.raw_line(f"loading [{p:3d}%]", redraw=True)
        lg.info("done")


async def wide_bar():
    """A bar 70 columns wide redrawn 20 times on the terminal of descriptor 2; halfway through, the
    test resizes the terminal (it is told by a line on stdout, and answers on stdin)."""
    async with block():
        for i in range(20):
            if i == 10:
                await asyncio.sleep(0.2)
                print("resize", flush=True)
                await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
            lg.raw_line(f"step {i:2d} " + "#" * 60, redraw=True)
            await asyncio.sleep(0.02)
        lg.info("bar done")


async def console(after):
    """Logging set up as frameworks do: console StreamHandlers installed before the block and inside
    it (a logger of its own that does not propagate, as uvicorn's), one on stdout, a file handler;
    extra= fields, a message's trailing line feed, library DEBUG and an application's own level; an
    uncaught exception in a thread, and at the end one that leaves the program."""
    before = logging.getLogger("fw.before")
    before.addHandler(logging.StreamHandler(sys.stderr))  # propagates to the root too: written once
    before.setLevel(logging.INFO)
    to_file = logging.FileHandler(after)
    logging.getLogger("fw.file").addHandler(to_file)
    logging.getLogger("app.verbose").setLevel(logging.DEBUG)
    async with block():
        lg.info("service up")
        fw = logging.getLogger("fw.server")
        fw.propagate = False
        own = logging.StreamHandler()  # sys.stderr, as logging's default
        own.setFormatter(logging.Formatter("RAW %(levelname)s %(message)s"))
        fw.addHandler(own)
        fw.addHandler(logging.StreamHandler(sys.stdout))  # the same record on stdout too: still once
        fw.setLevel(logging.INFO)
        fw.info("Started server process [%d]", os.getpid())
        fw.debug("below the handler's logger level")
        fw.info("GET /items 200", extra={"status": 200, "path": "/items", "took": 0.5, "ok": True, "tags": ["a", 1],
                                          "color_message": "\x1b[32mGET\x1b[0m"})
        fw.error("Exception in ASGI application\n", exc_info=ValueError("bad request"))
        before.info("installed before the block")
        logging.getLogger("fw.file").warning("to the file only, and the stream")
        logging.getLogger("quiet.lib").debug("library chatter")
        logging.getLogger("quiet.lib").info("library news")
        logging.getLogger("app.verbose").debug("asked-for detail")
        logging.getLogger("shown.lib").debug("detail that TARVO_LOG_LEVELS asks for")
        t = threading.Thread(target=lambda: 1 / 0, name="worker-1")
        t.start()
        t.join()
        steps = [threading.Thread(target=lambda k=k: [fw.info("console thread %d step %d", k, i) for i in range(40)])
                 for k in range(3)]
        for t in steps:
            t.start()
        for t in steps:
            t.join()
        lg.info("service down")
    report(restored=logging.StreamHandler.emit.__module__ == "logging", root_level=logging.root.level,
           hooks=sys.excepthook is not sys.__excepthook__)
    to_file.close()
    raise KeyboardInterrupt  # as a server re-raises Ctrl-C after its shutdown


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    if os.environ.get("CHILD_LOOP") == "uvloop":
        import uvloop

        uvloop.install()
    if mode == "edges":
        edges_main()
    elif mode == "waiting":
        waiting(int(args[0]), args[1])
    else:
        coroutine = {"stdlib": stdlib, "own_setup": own_setup, "bad_path": bad_path, "burst": burst,
                     "other_writers": other_writers, "console": console, "to_file": to_file, "wide_bar": wide_bar}[mode]
        asyncio.run(coroutine(*[int(a) if a.isdigit() else a for a in args]))
