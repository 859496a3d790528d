"""The writer does some library work itself while the library function is the one it found at
import (termcolor.colored, os.path.basename, time.time_ns, math.fabs, the module's linesof). A
replacement, wherever it is made, is called exactly as the rendering rules say: same calls, same
order, same arguments, and its results are the ones shown."""
import importlib.util
import json
import math
import os
import re
import subprocess
import sys
import time
import types

import pytest
import termcolor
from support import entry, pairs, run_writer

from tarvo_loghandle import loghandle_imp

GLYPH = termcolor.colored("✗", "red")


def workload():
    return [
        entry("first"),  # header, function line, body
        entry("50%\rdone"),  # same source: body only, glyph in place of the carriage return
        entry(""),  # an empty message: no glyph call
        entry(None, level="USER_INFO"),  # a user entry: no prefix tests, no function line
        entry("10%", tags={"raw_line", "redraw"}, prefix=("dl",)),
        entry("two\nlines", func="other", filename="/src/svc/__init__.py"),  # new primary key again
        entry("below", level="DEBUG"),  # dropped by the level filter, after its time label
        entry("last", func="third", filename="C:odd/x.py"),
    ]


class Recorder:
    """Wraps functions so that each call is logged as (name, args) before the real one runs."""

    def __init__(self, monkeypatch):
        self.calls = []
        self.monkeypatch = monkeypatch

    def wrap(self, owner, attr, result=None):
        real = getattr(owner, attr)

        def replacement(*args):
            self.calls.append((attr, args))
            value = real(*args)
            return value if result is None else result(value)

        self.monkeypatch.setattr(owner, attr, replacement)

    def of(self, name):
        return [args for n, args in self.calls if n == name]


def render(entries):
    h, result = run_writer([pairs(*entries)])
    assert result is None
    return h


@pytest.fixture
def min_info(monkeypatch):
    real = loghandle_imp.get_min_level
    monkeypatch.setattr(loghandle_imp, "get_min_level", lambda prefix, module: max(real(prefix=prefix, module=module), 20))


def test_replacements_are_called_as_the_rules_say(monkeypatch, writes, min_info):
    rec = Recorder(monkeypatch)
    rec.wrap(termcolor, "colored", result=lambda glyph: "<glyph>")
    rec.wrap(os.path, "basename", result=lambda bn: f"<{bn}>")
    rec.wrap(time, "time_ns")
    rec.wrap(math, "fabs")

    def linesof(s):
        rec.calls.append(("linesof", (s,)))
        return iter(s.split("\n"))

    monkeypatch.setattr(loghandle_imp, "linesof", linesof)
    entries = workload()
    messages = [le.msg for le in entries]
    render(entries)
    text = "".join(writes.texts)

    # every non-empty message asks for the glyph, whether or not it holds a carriage return
    assert rec.of("colored") == [("✗", "red")] * sum(1 for m in messages if m)
    assert entries[1].msg == "50%<glyph>done" and "50%<glyph>done" in text
    # one clock reading and one magnitude per entry, dropped ones included, in entry order
    assert len(rec.of("time_ns")) == len(entries)
    assert len(rec.of("fabs")) == len(entries)
    assert all(isinstance(args[0], float) and abs(args[0]) < 60 for args in rec.of("fabs"))
    kinds = [n for n, _ in rec.calls if n in ("colored", "time_ns", "fabs")]
    assert kinds[:5] == ["colored", "time_ns", "fabs", "colored", "time_ns"]
    # the base name at each new source of regular entries; its result is what the function line shows
    assert rec.of("basename") == [("/src/svc/part.py",), ("/src/svc/__init__.py",), ("C:odd/x.py",)]
    assert "<part.py> work() " in text and "<x.py> third() " in text
    # the replacement's "<__init__.py>" is no "__init__.py", so that source gets its function line
    assert "<__init__.py> other() " in text
    # linesof: the function line and the body of each regular entry that is shown
    cut = [args[0] for args in rec.of("linesof")]
    assert len(cut) == 8
    assert [s.rsplit("║ ", 1)[-1].split("\x1b")[0] for s in cut if "() " not in s] == [
        "first", "50%<glyph>done", "", "lines", "last"]


def test_pass_through_replacements_change_nothing(monkeypatch, writes, min_info):
    """The same entries rendered with the genuine functions and with wrappers that call them:
    the same text, the same rewritten messages."""
    genuine = workload()
    render(genuine)
    first = "".join(writes.texts)
    writes.texts.clear()

    rec = Recorder(monkeypatch)
    for owner, attr in ((termcolor, "colored"), (os.path, "basename"), (time, "time_ns"), (math, "fabs")):
        rec.wrap(owner, attr)
    wrapped = workload()
    render(wrapped)
    # the delays are read from the real clock in both runs: a loaded machine may tell them 10 ms apart
    label = re.compile(r" \d+\.\d\d")
    assert label.sub(" #", "".join(writes.texts)) == label.sub(" #", first)
    assert [le.msg for le in wrapped] == [le.msg for le in genuine]
    assert GLYPH in genuine[1].msg and rec.of("colored")


def test_a_replaced_module_is_looked_up_at_each_use(monkeypatch, writes, min_info):
    """Replacing the module the handler module imported (not only a function of it) counts too."""

    class Clock:
        calls = 0

        def time_ns(self):
            Clock.calls += 1
            return 1_700_000_100_000_000_000

    le = entry("late", timestamp=1_700_000_000.0)
    monkeypatch.setattr(loghandle_imp, "time", Clock())
    render([le])
    assert Clock.calls == 1
    assert " 100.00" in "".join(writes.texts)


def test_time_labels_from_the_genuine_clock_read_as_python_formats_them(monkeypatch, writes):
    """With the genuine clock the delay is computed natively; a recording math.fabs sees each
    delay, and the label shown for it is the one format(delay, ".2f") gives."""
    rec = Recorder(monkeypatch)
    rec.wrap(math, "fabs")
    now = time.time()
    offsets = [0.0, 0.125, -0.375, 1.005, -2.675, 12345.675, -0.0049, 3e12, float("inf")]
    entries = [entry(f"m{i}", prefix=(f"p{i}",), timestamp=now - d) for i, d in enumerate(offsets)]
    render(entries)
    text = "".join(writes.texts)
    delays = [args[0] for args in rec.of("fabs")]
    assert len(delays) == len(offsets)
    for i, d in enumerate(delays):
        assert f"p{i} " + format(d, ".2f") in text.replace(" " * 2, " ")


def test_replacements_made_while_running_count_from_the_next_entry(writes, min_info):
    """Between two chunks of one run: a module global, a module's function and the module the
    handler module imported are replaced, then put back. Each change shows from the next entry."""
    stamp = 1_700_000_000.0
    fake_os = types.ModuleType("fake_os")
    fake_os.path = types.ModuleType("fake_path")
    fake_os.path.basename = lambda p: "<fake>"
    patches = pytest.MonkeyPatch()

    def between(h, i):
        if i == 1:
            patches.setattr(time, "time_ns", lambda: int((stamp + 100) * 1_000_000_000))
            patches.setattr(loghandle_imp, "color_module", lambda s: f"[{s}]")
            patches.setattr(loghandle_imp, "os", fake_os)
        elif i == 2:
            patches.undo()

    try:
        _, result = run_writer([pairs(entry(m, prefix=("svc", m), timestamp=stamp, func=f)) for m, f in (("a", "f1"), ("b", "f2"), ("c", "f3"))],
                               before_chunk=between)
    finally:
        patches.undo()
    assert result is None
    before, during, after = writes.texts[:3]
    assert "[║ ]" in during and "<fake> f2() " in during and " 100.00" in during
    for text in (before, after):
        assert "[║ ]" not in text and "<fake>" not in text and " 100.00" not in text
    assert "part.py f1() " in before and "part.py f3() " in after


# --- replacements installed before the package is imported --------------------------------------

SERVICE = """
import asyncio, sys
from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp
loghandle_imp.LOG_FORMAT = sys.argv[1]
lg = TLogger("svc")

async def main():
    h = loghandle_imp.LoggingHandler()
    await h.init()
    for i in range(3):
        lg.info(f"entry {i}")
    await asyncio.sleep(0.05)
    await h.aclose()

asyncio.run(main())
"""


def service_output(before, fmt="terminal", after=""):
    """stderr of a service that runs `before` before it imports the package, and `after` at its end."""
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "NO_COLOR", "FORCE_COLOR")}
    r = subprocess.run([sys.executable, "-c", before + SERVICE + after, fmt], env=env, capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout, r.stderr


@pytest.mark.parametrize("fmt", ["terminal", "json", "plain"])
def test_a_clock_replaced_before_the_import_is_the_clock(fmt):
    """A fixed clock installed first (as a test double or a time-freezing tool is): the delay is
    measured against it, in every format, and the time stamps are its."""
    _, err = service_output("import time\ntime.time_ns = lambda: 1_000_000_000_000\n", fmt)
    if fmt == "terminal":
        assert "╔ INFO     svc 0.00\n" in err
    elif fmt == "json":
        records = [json.loads(line) for line in err.splitlines()]
        assert [r["delay_s"] for r in records] == [0.0] * 3
        assert {r["time"] for r in records} == {"1970-01-01T00:16:40.000Z"}
    else:
        assert err.count("1970-01-01T00:16:40.000Z INFO") == 3


@pytest.mark.skipif(importlib.util.find_spec("freezegun") is None, reason="freezegun is not installed")
@pytest.mark.parametrize("fmt", ["terminal", "json"])
def test_freezegun_started_before_the_import_freezes_every_run(fmt):
    """freezegun installs the same fake function each time it freezes: a suite whose first frozen
    test imports the package sees the frozen clock in every later frozen test too."""
    before = "import freezegun\nfrozen = freezegun.freeze_time('2026-01-02 03:04:05', real_asyncio=True)\nfrozen.start()\n"
    after = "frozen.stop()\nfrozen = freezegun.freeze_time('2027-01-01', real_asyncio=True)\nfrozen.start()\nasyncio.run(main())\n"
    _, err = service_output(before, fmt, after)
    if fmt == "terminal":
        assert err.count("╔ INFO     svc 0.00\n") == 2
    else:
        records = [json.loads(line) for line in err.splitlines()]
        assert [r["delay_s"] for r in records] == [0.0] * 6
        assert [r["time"][:4] for r in records] == ["2026"] * 3 + ["2027"] * 3


def test_wrappers_installed_before_the_import_are_called():
    """Pass-through wrappers of the functions the package recognises, installed before its import,
    are called as the rules say: the glyph for every message, the base name for the new source, the
    clock and the magnitude for every entry."""
    before = """
import math, os, time, termcolor
counts = {}
def counting(owner, name):
    real = getattr(owner, name)
    def wrapper(*args, **kwargs):
        counts[name] = counts.get(name, 0) + 1
        return real(*args, **kwargs)
    wrapper.__name__ = wrapper.__qualname__ = name
    setattr(owner, name, wrapper)
for owner, name in ((time, "time_ns"), (math, "fabs"), (os.path, "basename"), (termcolor, "colored")):
    counting(owner, name)
"""
    counted = "time_ns = counts['time_ns']\ncounts.pop('time_ns')\nprint(sorted(counts.items()))\n"
    out, err = service_output(before, after=counted)
    # three entries logged (the logger's own clock readings are not the handler's), one new source
    assert out.strip() == "[('basename', 1), ('colored', 3), ('fabs', 3)]"
    assert "entry 2" in err


def _queue_state(q):
    return (list(q._queue), q._unfinished_tasks, q._finished.is_set(), len(q._getters))


@pytest.mark.parametrize("change", ["none", "getter waits", "finished set", "patched _put", "bounded and full",
                                    "subclass attribute", "patched Event.clear",
                                    "instance's own _put", "instance's own clear"])
def test_the_running_queue_puts_as_asyncio_queue_put_nowait_does(monkeypatch, change):
    # Differential: the handler's queue hands each entry to its asyncio part (in C++ while every
    # part of put_nowait is asyncio's own); a plain asyncio.Queue in the same state gets the same
    # put from Python's own put_nowait. Both end in the same state and raise the same.
    import asyncio

    from tarvo_commons.logs import TLogger

    calls = []

    async def main():
        loghandle_imp.STDERR = "/dev/null"
        h = loghandle_imp.LoggingHandler()
        await h.init()
        try:
            await asyncio.sleep(0.01)  # the pump waits on the queue: a getter, on both sides
            q = TLogger.queue
            twin = asyncio.Queue()
            waiter = asyncio.ensure_future(twin.get())
            await asyncio.sleep(0)
            if change in ("finished set", "patched Event.clear", "instance's own clear"):
                # a put on both before the change, so that what the queue knows of its event is stale
                q.put_nowait(entry("before the change"))
                asyncio.Queue.put_nowait(twin, entry("before the change"))
                await asyncio.sleep(0.01)
                waiter = asyncio.ensure_future(twin.get())
                await asyncio.sleep(0)
            for target in (q, twin):
                if change == "finished set":
                    target._finished.set()
                elif change == "bounded and full":
                    target._maxsize = len(target._queue) or 1
                    if not target._queue:
                        asyncio.Queue.put_nowait(target, "filler")
            if change == "patched _put":
                original = asyncio.Queue._put
                monkeypatch.setattr(asyncio.Queue, "_put", lambda self, item: (calls.append(item), original(self, item)))
            elif change == "patched Event.clear":
                original_clear = asyncio.Event.clear
                monkeypatch.setattr(asyncio.Event, "clear", lambda self: (calls.append("clear"), original_clear(self)))
            elif change == "instance's own _put":
                for target in (q, twin):
                    target._put = lambda item, target=target: (calls.append(item), target._queue.append(item))
            elif change == "instance's own clear":
                for target in (q, twin):
                    target._finished.clear = lambda: calls.append("clear")
            elif change == "subclass attribute":
                monkeypatch.setattr(type(q), "_unfinished_tasks", 0, raising=False)
                monkeypatch.setattr(asyncio.Queue, "_unfinished_tasks", 0, raising=False)
            le = entry("differential")
            outcomes = []
            for target in (q, twin):
                before = _queue_state(target)
                try:
                    if target is q:
                        target.put_nowait(le)
                    else:
                        asyncio.Queue.put_nowait(target, le)
                    raised = None
                except Exception as e:  # noqa: BLE001 - compared, not handled
                    raised = type(e)
                after = _queue_state(target)
                outcomes.append((raised, after[1] - before[1], after[2], before[3] - after[3],
                                 after[0][len(before[0]):] if after[0][:len(before[0])] == before[0] else after[0]))
            if change in ("patched _put", "instance's own _put"):
                assert calls == [le, le]  # the replacement runs for both
            if change in ("patched Event.clear", "instance's own clear"):
                assert calls == ["clear", "clear"]
            if change == "getter waits":
                assert outcomes[1][3] == 1
            assert outcomes[0][:4] == outcomes[1][:4], outcomes
            waiter.cancel()
        finally:
            monkeypatch.undo()
            q = TLogger.queue
            q._maxsize = 0
            vars(q).pop("_put", None)
            vars(q._finished).pop("clear", None)
            await h.aclose()

    asyncio.run(main())
