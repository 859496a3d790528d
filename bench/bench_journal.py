"""The journal format against the plain format into a file: entries per second from the loop, and
the loop's lag while 4 threads log. Needs a running systemd-journald (started here, as root, when
none runs; stopped afterwards).

    .venv/py310/bin/python bench/bench_journal.py [ENTRIES]    # default 2,000 per run

journald keeps at most 10,000 records per 30 s of one service (RateLimitBurst, RateLimitIntervalSec)
and drops the rest: each journal run sends ENTRIES records, waits until 30 s have passed since the
first run of the window whenever the next would pass 9,000 in it, and its records are counted back
with journalctl, so that a run the limit cut short shows as records missing, never as speed.

Prints, per format: the seconds from the first entry to the end of the close, entries per second,
the loop's greatest and 99th-percentile lag (ms) while 4 threads log ENTRIES entries in all and the
handler writes them out, and,
for the journal, the records journalctl finds of the run."""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

CHILD = r'''
import asyncio, json, os, sys, threading, time
from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp

mode, n = sys.argv[1], int(sys.argv[2])
lg = TLogger("bench.journal")

async def main():
    h = loghandle_imp.LoggingHandler()
    await h.init()
    lags = []

    async def ticker():
        while True:
            t0 = time.perf_counter()
            await asyncio.sleep(0.001)
            lags.append(time.perf_counter() - t0 - 0.001)

    if mode == "loop":
        start = time.perf_counter()
        for i in range(n):
            lg.info("order received", order=i, qty=47, warehouse="eu-west")
            if i % 200 == 0:
                await asyncio.sleep(0)
    else:
        def log(k):
            for i in range(n // 4):
                lg.info("order received", order=i, qty=47, thread=k)
        threads = [threading.Thread(target=log, args=(k,)) for k in range(4)]
        ticks = asyncio.ensure_future(ticker())
        start = time.perf_counter()
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            await asyncio.sleep(0.001)
    await h.aclose()
    if mode == "threads":
        ticks.cancel()
    print(json.dumps({"seconds": time.perf_counter() - start, "lags": lags, "pid": os.getpid()}))

asyncio.run(main())
'''

window = {"start": 0.0, "sent": 0}


def mind_the_rate_limit(n):
    if window["sent"] + n > 9000:
        wait = window["start"] + 31 - time.monotonic()
        if wait > 0:
            print(f"  (waiting {wait:.0f} s for journald's rate limit window)", flush=True)
            time.sleep(wait)
        window["sent"] = 0
    if window["sent"] == 0:
        window["start"] = time.monotonic()
    window["sent"] += n


def run(fmt, mode, n, out):
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "JOURNAL_STREAM")}
    env["TARVO_LOG_FORMAT"] = fmt
    with open(out, "ab") as stderr:
        r = subprocess.run([sys.executable, "-c", CHILD, mode, str(n)], env=env, stdout=subprocess.PIPE,
                           stderr=stderr, text=True, check=True)
    return json.loads(r.stdout)


def journal_records(pid):
    time.sleep(0.5)
    out = subprocess.run(["journalctl", f"_PID={pid}", "-o", "cat", "--no-pager"], capture_output=True, text=True,
                         check=True).stdout
    return len(out.splitlines())


def main():
    from test_journal import JOURNALD, journald_ready

    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    daemon = None
    if not journald_ready():
        if os.geteuid() != 0:
            sys.exit("bench_journal: no systemd-journald runs, and only root can start one")
        daemon = subprocess.Popen([JOURNALD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not journald_ready():
            time.sleep(0.05)
    try:
        print(f"CPython {sys.version.split()[0]}: {n:,} entries a run, median of 3")
        with tempfile.TemporaryDirectory() as tmp:
            for fmt in ("plain", "journal"):
                for mode, what in (("loop", "from the loop"), ("threads", "from 4 threads")):
                    runs, counted = [], []
                    for _ in range(3):
                        if fmt == "journal":
                            mind_the_rate_limit(n)
                        r = run(fmt, mode, n, os.path.join(tmp, f"{fmt}.log"))
                        runs.append(r)
                        if fmt == "journal":
                            counted.append(journal_records(r["pid"]))
                    seconds = statistics.median(r["seconds"] for r in runs)
                    line = f"  {fmt:8} {what:15} {seconds:6.3f} s  {n / seconds:9,.0f} entries/s"
                    if mode == "threads":
                        lags = sorted(lag for r in runs for lag in r["lags"])
                        line += (f"  loop lag max {lags[-1] * 1000:5.1f} ms, "
                                 f"p99 {lags[int(len(lags) * 0.99)] * 1000:5.1f} ms")
                    if fmt == "journal":
                        line += f"  records found {min(counted):,} of {n:,}"
                    print(line, flush=True)
    finally:
        if daemon:
            daemon.terminate()
            daemon.wait()


if __name__ == "__main__":
    main()
