"""Python's logging into a stream: what one enabled record costs, on the thread that logs it and in
total CPU (that thread, the loop and any writer thread, until every line is written).

    .venv/py311/bin/python bench/bench_records.py            # every case found, 5 rounds
    .venv/py311/bin/python bench/bench_records.py bridge stdlib

Each case runs in a process of its own, `logger.info("request %d served", i)` N times in a row
(from the event loop's thread for the bridge, inside log()'s block), every line written to
/dev/null:
- nothing: a logging.Handler whose emit does nothing, the floor of logging itself;
- stdlib: logging.StreamHandler with a formatter of time, level, logger and message;
- queue: QueueHandler on the caller's thread, QueueListener writing through that StreamHandler;
- picologging, logxide, logust (where they install): their own logger and a stream or file to
  /dev/null, in their default layout;
- bridge: this package's RecordHandler, as log() connects it, in the plain format.
The caller's figure is the logging call alone (thread CPU time); the total is the process's CPU time
from the first call until the last line is written and the handler (or listener) is closed."""
import asyncio
import json
import logging
import logging.handlers
import os
import queue
import statistics
import subprocess
import sys
import time

N = int(os.environ.get("BENCH_RECORDS", 20000))
ROUNDS = 5
FORMAT = "%(asctime)s %(levelname)s %(name)s %(message)s"


def timed(call, drain):
    """(caller ns, total ns) per record."""
    for i in range(1000):  # warm: the first records, caches, the interpreter's specialisations
        call(i)
    drain(False)
    t0, p0 = time.thread_time(), time.process_time()
    for i in range(N):
        call(i)
    t1 = time.thread_time()
    drain(True)
    p1 = time.process_time()
    return (t1 - t0) / N * 1e9, (p1 - p0) / N * 1e9


def devnull_stream():
    return open(os.devnull, "w")


def case_nothing():
    class Nothing(logging.Handler):
        def emit(self, record):
            pass

    lg = logging.getLogger("svc.bench")
    lg.propagate = False
    lg.addHandler(Nothing())
    lg.setLevel(logging.INFO)
    return timed(lambda i: lg.info("request %d served", i), lambda last: None)


def stream_case(library):
    """A StreamHandler of `library` (logging, or one with its API) with the formatter, to /dev/null."""
    lg = library.getLogger("svc.bench")
    lg.propagate = False
    h = library.StreamHandler(devnull_stream())
    h.setFormatter(library.Formatter(FORMAT))
    lg.addHandler(h)
    lg.setLevel(library.INFO)
    return timed(lambda i: lg.info("request %d served", i), lambda last: h.flush())


def case_stdlib():
    return stream_case(logging)


def case_queue():
    lg = logging.getLogger("svc.bench")
    lg.propagate = False
    q = queue.SimpleQueue()
    h = logging.StreamHandler(devnull_stream())
    h.setFormatter(logging.Formatter(FORMAT))
    listener = logging.handlers.QueueListener(q, h)
    listener.start()
    lg.addHandler(logging.handlers.QueueHandler(q))
    lg.setLevel(logging.INFO)

    def drain(last):
        nonlocal listener
        listener.stop()  # every record handled
        if not last:
            listener = logging.handlers.QueueListener(q, h)
            listener.start()

    return timed(lambda i: lg.info("request %d served", i), drain)


def case_picologging():
    import picologging

    return stream_case(picologging)


def case_logxide():
    import logxide

    lg = logxide.getLogger("svc.bench")
    lg.addHandler(logxide.FileHandler(os.devnull))
    lg.setLevel(logxide.INFO)
    return timed(lambda i: lg.info("request %d served", i), lambda last: logxide.flush())


def case_logust():
    from logust import logger

    logger.remove()
    logger.add(os.devnull)
    return timed(lambda i: logger.info(f"request {i} served"), lambda last: logger.complete())


def case_bridge():
    from tarvo_kivo_interfaces import ServiceConfig
    from tarvo_loghandle import log, loghandle_imp
    from tarvo_utils_asyncio import SyncTaskInterface

    loghandle_imp.STDERR = os.devnull
    os.environ["TARVO_LOG_FORMAT"] = "plain"
    lg = logging.getLogger("svc.bench")

    async def main():
        for last in (False, True):  # the warm round, then the measured one
            n = N if last else 1000
            async with log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd())):
                t0, p0 = time.thread_time(), time.process_time()
                for i in range(n):
                    lg.info("request %d served", i)
                t1 = time.thread_time()
            p1 = time.process_time()  # the block's end writes every line and closes the handler
        return (t1 - t0) / N * 1e9, (p1 - p0) / N * 1e9

    return asyncio.run(main())


CASES = {"nothing": case_nothing, "stdlib": case_stdlib, "queue": case_queue, "picologging": case_picologging,
         "logxide": case_logxide, "logust": case_logust, "bridge": case_bridge}


def one(name):
    """Runs one case in a process of its own; (caller ns, total ns), or None where it does not install."""
    r = subprocess.run([sys.executable, os.path.abspath(__file__), "--case", name], capture_output=True, text=True,
                       timeout=600, env={k: v for k, v in os.environ.items() if k != "TARVO_DEBUG"})
    lines = [line for line in r.stdout.splitlines() if line.startswith("{")]
    return tuple(json.loads(lines[-1])["result"]) if r.returncode == 0 and lines else None


def main(names):
    load = os.getloadavg()
    print(f"CPython {sys.version.split()[0]}, {N} records of 'request %d served' per round, median of {ROUNDS} "
          f"rounds (cases alternating), load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    results = {name: [] for name in names}
    for _ in range(ROUNDS):
        for name in names:
            results[name].append(one(name))
    floor = None
    print(f"  {'case':12} {'caller ns/record':>17} {'vs nothing':>11} {'total CPU ns/record':>20}")
    for name in names:
        runs = [r for r in results[name] if r]
        if not runs:
            print(f"  {name:12} {'(not installed)':>17}")
            continue
        caller = statistics.median(r[0] for r in runs)
        total = statistics.median(r[1] for r in runs)
        if name == "nothing":
            floor = caller
        ratio = f"{caller / floor:10.2f}x" if floor else ""
        print(f"  {name:12} {caller:17,.0f} {ratio:>11} {total:20,.0f}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--case"]:
        result = CASES[sys.argv[2]]()
        sys.stdout.flush()
        os.write(1, (json.dumps({"result": result}) + "\n").encode())
    else:
        main(sys.argv[1:] or list(CASES))
