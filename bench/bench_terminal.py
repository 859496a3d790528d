"""The terminal format against a plain-Python transcription of the same steps and against the
standard library's QueueHandler -> QueueListener -> StreamHandler, on one workload of mixed
entries (regular runs from two functions, keyword values, multi-line, user, progress redraws,
carriage returns, __init__.py sources). Every pipeline gets its items ready-made and is timed from
the first enqueue until everything is written to /dev/null and the pipeline is closed. The
sibling functions are the lean ones of lean_siblings.py, the same for the package and the
transcription.

    .venv/py311/bin/python bench/bench_terminal.py              # entries/s, alternating runs
    .venv/py311/bin/python bench/bench_terminal.py --callgrind [pipeline...]  # instructions per entry
    .venv/py311/bin/python bench/bench_terminal.py --callgrind --format json --lean package

--format names the package's output format (terminal by default; the standard library's pipeline
and the transcription write their own layout whatever it says). --lean makes the entries of a class
that has only the attributes the rendering rules name (no exception, no thread), as a LogEntry of
an older family library may be: such an entry must cost no more than one that has them.

Under callgrind each pipeline runs in its own process at two workload sizes, with a fixed hash
seed and the output written without a thread hand-off (the same for the package and the
transcription), so that the counts repeat; each also runs making its items only. The difference
between the sizes, less what making the items costs, divided by the difference of the sizes, is
the cost per entry without start-up.
The extension's share is the instructions executed in its shared object's own code."""
import asyncio
import gc
import logging
import logging.handlers
import os
import queue
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_handler  # noqa: E402
import lean_siblings  # noqa: E402
import transcription  # noqa: E402

import tarvo_utils_asyncio  # noqa: E402
from tarvo_commons.logs import LogEntry, StackInfo  # noqa: E402
from tarvo_loghandle import loghandle_imp  # noqa: E402

N = 30000
ROUNDS = 5
SMALL, LARGE = 4000, 24000  # the two callgrind workloads

API = StackInfo("/srv/svc/api.py", "handle")
API2 = StackInfo("/srv/svc/api.py", "respond")
INIT = StackInfo("/srv/svc/__init__.py", "<module>")
NO_TAGS = frozenset()
PROGRESS = frozenset({"raw_line", "redraw"})


class LeanEntry:
    """A log entry with only the attributes the rendering rules name."""

    __slots__ = ("msg", "timestamp", "level", "prefix", "module", "tags", "kwargs", "stack_info")

    def __init__(self, msg, timestamp, level, prefix, module, tags, kwargs, stack_info):
        self.msg, self.timestamp, self.level, self.prefix = msg, timestamp, level, prefix
        self.module, self.tags, self.kwargs, self.stack_info = module, tags, kwargs, stack_info


LEAN = os.environ.get("BENCH_LEAN_ENTRIES") == "1"
if LEAN:
    LogEntry = LeanEntry  # noqa: F811  (the workload's entries, and the class the handler checks)


def entry(i, now):
    """The i-th entry of the workload, and what the standard library's record says for it."""
    kind = i % 20
    prefix = ("svc", "api") if (i // 40) % 2 else ("svc", "db")
    if kind < 12:
        kwargs = {"n": i, "path": "/items"} if kind % 2 else {}
        return LogEntry(f"request {i} handled", now, "INFO", prefix, "svc.api", NO_TAGS, kwargs,
                        API if kind < 6 else API2)
    if kind == 12:
        return LogEntry(f"retrying {i}\nattempt 2 of 5", now, "WARNING", prefix, "svc.api", NO_TAGS, {}, API2)
    if kind == 13:
        return LogEntry(f"{i} items ready", now, "USER_INFO", prefix, "svc.api", NO_TAGS, {}, API)
    if kind < 18:
        done = (kind - 13) * 25
        return LogEntry(f"[{'#' * (done // 10):<10}] {done}%", now, "INFO", prefix, "svc.api", PROGRESS, {}, API)
    if kind == 18:
        return LogEntry(f"spinner {i}\rdone", now, "DEBUG", prefix, "svc.api", NO_TAGS, {}, API)
    return LogEntry(f"module state {i}", now, "ERROR", prefix, "svc", NO_TAGS, {"code": 7}, INIT)


def entries(n):
    now = time.time()
    return [entry(i, now) for i in range(n)]


LEVELNO = {"DEBUG": 10, "INFO": 20, "USER_INFO": 25, "WARNING": 30, "ERROR": 40}


def records(n):
    out = []
    for le in entries(n):
        text = lean_siblings.get_as_strings(le.msg, le.kwargs)
        r = logging.LogRecord(".".join(le.prefix), LEVELNO[le.level], le.stack_info.filename, 1, text, None, None,
                              le.stack_info.func_name)
        out.append(r)
    return out


def package(items):
    return asyncio.run(bench_handler.run_once(items))


def python(items):
    with transcription.python_pump():
        return asyncio.run(bench_handler.run_once(items, transcription.Transcribed))


def stdlib(items):
    q = queue.SimpleQueue()
    stream = logging.StreamHandler(open(os.devnull, "w"))
    stream.setFormatter(logging.Formatter("%(asctime)s %(levelname)-8s %(name)s %(filename)s:%(funcName)s %(message)s"))
    listener = logging.handlers.QueueListener(q, stream)
    handler = logging.handlers.QueueHandler(q)
    listener.start()
    start = time.perf_counter()
    for r in items:
        handler.handle(r)
    listener.stop()
    elapsed = time.perf_counter() - start
    stream.stream.close()
    return elapsed


PIPELINES = {"package": package, "transcription": python, "stdlib": stdlib}
ITEMS = {"package": entries, "transcription": entries, "stdlib": records}


def setup():
    os.environ.pop("TARVO_DEBUG", None)
    tarvo_utils_asyncio.reread_debug_target()
    lean_siblings.install()
    if LEAN:
        loghandle_imp.LogEntry = LeanEntry
    gc.collect()


def wall_clock():
    times = {name: [] for name in PIPELINES}
    for _ in range(ROUNDS):
        for name, run in PIPELINES.items():
            items = ITEMS[name](N)
            gc.collect()
            times[name].append(run(items))
    rate = {name: N / statistics.median(t) for name, t in times.items()}
    print(f"CPython {sys.version.split()[0]}, terminal format, {N} entries, median of {ROUNDS} alternating runs")
    for name, r in rate.items():
        print(f"  {name:14} {r:10,.0f} entries/s  {1e6 / r:6.2f} us/entry   "
              f"{r / rate['stdlib']:.2f}x stdlib  {r / rate['transcription']:.2f}x transcription")


def callgrind_costs(path):
    """Instructions per shared object (self cost) from a callgrind output file."""
    names, per_object = {}, {}
    current = None
    skip_next = False
    with open(path) as f:
        for line in f:
            if line.startswith(("ob=", "cob=")):
                ref = line.partition("=")[2].strip()
                if ref.startswith("("):  # compressed: "(n) name" the first time, "(n)" after
                    key, _, rest = ref.partition(")")
                    if rest.strip():
                        names[key] = rest.strip()
                    ref = names[key]
                if line.startswith("ob="):
                    current = ref
            elif line.startswith("calls="):
                skip_next = True
            elif line[:1].isdigit() or line[:1] in "+-*":
                if skip_next:
                    skip_next = False
                    continue
                fields = line.split()
                if len(fields) > 1:
                    per_object[current] = per_object.get(current, 0) + int(fields[1])
    return per_object


class SyncFiles:
    """aiofiles for the counted runs: each write is done at once, in the loop's thread, so that no
    thread hand-off makes the chunking differ from run to run."""

    class File:
        def __init__(self, fd):
            self.fd = fd

        def fileno(self):
            return self.fd

        async def write(self, data):
            return os.write(self.fd, data)

        async def close(self):
            os.close(self.fd)

    @classmethod
    def open(cls, target, mode, buffering=-1, executor=None):
        async def opened():
            fd = os.dup(target) if isinstance(target, int) else os.open(target, os.O_WRONLY | os.O_APPEND)
            return cls.File(fd)

        return opened()


def instructions(pipeline, n, make_only=False):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                        os.path.abspath(__file__), "--counted", pipeline, str(n)] + ["--make-only"] * make_only,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        costs = callgrind_costs(out)
    total = sum(costs.values())
    own = sum(v for k, v in costs.items() if "tarvo_loghandle" in os.path.basename(k or ""))
    return total, own


def callgrind(names):
    entries_kind = "lean entries" if LEAN else "the stand-ins' entries"
    print(f"CPython {sys.version.split()[0]}, {os.environ.get('TARVO_LOG_FORMAT', 'terminal')} format, {entries_kind}, "
          f"instructions per entry under callgrind ({LARGE} minus {SMALL} entries)")
    per_entry = {}
    for name in names:
        (t1, o1), (t2, o2) = instructions(name, SMALL), instructions(name, LARGE)
        (m1, _), (m2, _) = instructions(name, SMALL, True), instructions(name, LARGE, True)
        total, own = ((t2 - t1) - (m2 - m1)) / (LARGE - SMALL), (o2 - o1) / (LARGE - SMALL)
        per_entry[name] = total
        share = f"   extension's own code {own:,.0f} ({own / total:.1%})" if name != "stdlib" else ""
        print(f"  {name:14} {total:10,.0f} instructions/entry{share}")
    if len(per_entry) == len(PIPELINES):
        print(f"  package / transcription: {per_entry['package'] / per_entry['transcription']:.1%}, "
              f"package / stdlib: {per_entry['package'] / per_entry['stdlib']:.1%}")


if __name__ == "__main__":
    setup()
    if sys.argv[1:2] == ["--counted"]:
        loghandle_imp.aiofiles = SyncFiles
        items = ITEMS[sys.argv[2]](int(sys.argv[3]))
        if "--make-only" not in sys.argv:
            PIPELINES[sys.argv[2]](items)
    elif sys.argv[1:2] == ["--callgrind"]:
        args = sys.argv[2:]
        if "--format" in args:  # read by the counted runs, which inherit the environment
            at = args.index("--format")
            os.environ["TARVO_LOG_FORMAT"] = args[at + 1]
            del args[at:at + 2]
        if "--lean" in args:
            args.remove("--lean")
            os.environ["BENCH_LEAN_ENTRIES"] = "1"
            os.execv(sys.executable, [sys.executable, os.path.abspath(__file__), "--callgrind"] + args)
        callgrind(args or list(PIPELINES))
    else:
        wall_clock()
