"""Many processes, one stream (workers_child.py): forked workers writing one slowly read pipe get
every line whole, once, in each process's order; forks while entries wait or a handler runs write
nothing of the parent's again; every start method of multiprocessing."""
import json
import os
import pathlib
import re
import subprocess
import sys
import threading
import time
from collections import Counter, defaultdict

import pyte
import pytest

CHILD = pathlib.Path(__file__).with_name("workers_child.py")
pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# GCC 12's AddressSanitizer holds its allocator's lock across no fork: a child forked while another
# thread allocates can hang in it (glibc's malloc takes its locks around fork; the sanitizer's does not).
forks_among_threads = pytest.mark.skipif(bool(os.environ.get("RT_SANITIZE")),
                                         reason="AddressSanitizer's allocator is not fork-safe among threads")


def environment(fmt):
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "FORCE_COLOR", "TARVO_LOG_LEVELS")}
    env.update(TARVO_LOG_FORMAT=fmt, NO_COLOR="1")
    return env


def child(*args):
    # 3.12 on warn that a process with threads forks; the warning is no line of the log
    return [sys.executable, "-W", "ignore::DeprecationWarning", str(CHILD), *map(str, args)]


def run_child(fmt, *args, timeout=120):
    r = subprocess.run(child(*args), env=environment(fmt), capture_output=True, timeout=timeout)
    assert r.returncode == 0, r.stderr.decode()[-3000:]
    return r.stderr.decode()


def message(line, fmt):
    """The message of a line of the workers' logger; None for another logger's (asyncio's debug)."""
    if fmt == "json":
        record = json.loads(line)  # a torn line fails here
        return record["message"] if record["logger"] == "svc.workers" else None
    m = re.fullmatch(r"\S+Z [A-Z]+ +(\S+) \S+ (.*)", line)
    assert m, line  # so does one here
    return m.group(2) if m.group(1).startswith("svc.workers") else None


def messages(text, fmt):
    return [m for m in (message(line, fmt) for line in text.splitlines()) if m is not None]


def read_slowly(proc, rate, into):
    """Reads the child's stderr at about `rate` bytes a second."""
    start, got = time.monotonic(), 0
    while chunk := proc.stderr.read1(65536):
        into.append(chunk)
        got += len(chunk)
        ahead = got / rate - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)


def test_workers_on_one_slow_pipe_write_every_line_whole_and_once():
    # 4 forked workers, each with its own handler, 20,000 entries each (some of 100 KB) into the
    # pipe they share, read at about 1 MB/s: the json and the plain stream side by side.
    workers, n, big_every = 4, 20000, 2000
    procs = {fmt: subprocess.Popen(child("pipe", workers, n, big_every), env=environment(fmt),
                                   stderr=subprocess.PIPE) for fmt in ("json", "plain")}
    received = {fmt: [] for fmt in procs}
    readers = [threading.Thread(target=read_slowly, args=(p, 1_000_000, received[fmt])) for fmt, p in procs.items()]
    for t in readers:
        t.start()
    for t in readers:
        t.join(timeout=240)
    for fmt, p in procs.items():
        assert p.wait(timeout=60) == 0, fmt
        seen = defaultdict(list)
        for text in messages(b"".join(received[fmt]).decode(), fmt):
            m = re.fullmatch(r"w(\d) seq (\d+) (s{40}|b{100000})", text)
            assert m, (fmt, text[:300])
            k, i = int(m.group(1)), int(m.group(2))
            assert len(m.group(3)) == (100_000 if i % big_every == big_every // 2 else 40)
            seen[k].append(i)
        assert sorted(seen) == list(range(workers)), fmt
        for k, seqs in seen.items():
            assert seqs == list(range(n)), (fmt, k)  # each once, in the worker's order


@forks_among_threads
def test_forks_write_nothing_of_the_parent_again():
    # A child forked while the parent's entries wait for a first handler, and one forked inside a
    # running handler whose queue holds entries not written yet: each entry once, the children's
    # own handlers work, and nothing hangs.
    for fmt in ("plain", "json"):
        lines = messages(run_child(fmt, "forks"), fmt)
        counts = Counter(lines)
        assert [m for m, c in counts.items() if c > 1] == [], fmt
        expected = ({f"parent waiting {i}" for i in range(5)} | {f"parent busy {i}" for i in range(2000)}
                    | {"parent up", "parent down", "A before its handler", "A up", "B before its handler", "B up"})
        assert set(lines) == expected, (fmt, set(lines) ^ expected)
        assert lines.index("parent waiting 4") < lines.index("parent up")


def test_each_process_names_itself_where_several_write():
    # On a terminal screen: every worker's lines sit under a header that names its own process,
    # and the screen does not start with a blank line. In plain lines: logger[pid].
    text = run_child("terminal", "named", 3, 60)
    screen = pyte.Screen(200, 1000)  # room for every line: none scrolls away
    screen.set_mode(pyte.modes.LNM)
    pyte.ByteStream(screen).feed(text.encode())
    rows = [row.rstrip() for row in screen.display]
    rows = rows[:max(i for i, row in enumerate(rows) if row) + 1]
    assert rows[0].startswith("╔ "), rows[:3]
    header_pid, bodies = None, 0
    for row in rows:
        if row.startswith("╔ "):
            m = re.search(r"\[pid (\d+)\]", row)
            assert m, row
            header_pid = m.group(1)
        elif m := re.search(r"w\d pid=(\d+) ", row):
            assert m.group(1) == header_pid, row  # never drawn under another process's header
            bodies += 1
    assert bodies == 3 * 60

    for line in run_child("plain", "named", 2, 20).splitlines():
        if m := re.search(r" svc\.workers(\S*) .* pid=(\d+) ", line):
            assert m.group(1) == f"[{m.group(2)}]", line


@pytest.mark.parametrize("method", [pytest.param("fork", marks=forks_among_threads), "forkserver", "spawn"])
def test_multiprocessing_children_each_write_their_own_once(method):
    lines = messages(run_child("plain", "mp", method), "plain")
    expected = ["parent waiting", "parent up", "parent down"] + [
        f"mp {k} {what}" for k in range(2) for what in ("before its handler", "up", "after its handler")]
    assert sorted(lines) == sorted(expected), lines
