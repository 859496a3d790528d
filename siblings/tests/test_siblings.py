"""The stand-ins behave as the log handler and a service rely on."""
import asyncio
import inspect
import os
import subprocess
import sys
import threading

import pytest

from tarvo_commons import TLogger
from tarvo_commons.logs import get_as_strings, get_min_level, set_min_level
from tarvo_commons.text import indent
from tarvo_commons.ui import get_colorize_function
from tarvo_utils_asyncio import (Splitter, SplitterBadFinish, SyncTaskInterface, async_errors, my_create_task,
                                 queue_get_multiple)
from tarvo_utils_asyncio.logentry import format_logentry_prefix


def test_logger_builds_entries_with_their_source():
    async def main():
        TLogger.queue = asyncio.Queue()
        TLogger("svc.a.b").info("hello", n=1)
        TLogger("svc").raw_line("50%", redraw=True)
        return [TLogger.queue.get_nowait() for _ in range(2)]

    info, raw = asyncio.run(main())
    assert (info.level, info.prefix, info.msg, info.kwargs) == ("INFO", ("svc", "a", "b"), "hello", {"n": 1})
    assert info.stack_info.func_name == "main" and info.stack_info.filename == __file__
    assert info.module == __name__
    assert raw.tags == {"raw_line", "redraw"}
    assert "INFO" in format_logentry_prefix(info) and "svc.a.b" in format_logentry_prefix(info)
    assert TLogger.level_from_level_name(TLogger.USER_ERROR) > TLogger.level_from_level_name("ERROR")


def test_entries_from_another_thread_reach_the_loop():
    async def main():
        TLogger.queue = asyncio.Queue()
        getter = asyncio.ensure_future(queue_get_multiple(TLogger.queue))
        await asyncio.sleep(0)
        threading.Thread(target=lambda: TLogger("t").info("from a thread")).start()
        return await asyncio.wait_for(getter, 5)

    (entry,) = asyncio.run(main())
    assert entry.msg == "from a thread"


def test_levels_text_and_colours(monkeypatch):
    monkeypatch.setenv("FORCE_COLOR", "1")
    monkeypatch.delenv("NO_COLOR", raising=False)
    set_min_level("noisy", "WARNING")
    assert get_min_level(("noisy", "part"), "m") == 30 and get_min_level(("quiet",), "m") == 10
    assert get_as_strings("m", {"a": 1}) == "m a=1" and get_as_strings(None, {}) == ""
    assert indent("a\nb", "> ") == "> a\n> b"
    assert get_colorize_function("#0000ff")("x") == "\x1b[38;2;0;0;255mx\x1b[0m"
    with pytest.raises(ValueError):
        get_colorize_function("blue")


def test_splitter_history_chunks_and_ends():
    async def main():
        s = await Splitter.make_init(object, name="t", prune_if_bigger=100, prune_age_s=30, max_size=2)
        for x in "abc":
            s.push(x)  # before anyone subscribed: kept as history
        await s.finish()
        chunks = [[x for _, x in chunk] async for chunk in s.read_packets(sub_id="w")]
        assert chunks == [["a", "b"], ["c"]]

        s = await Splitter.make_init(object, name="t")
        reader = s.read_packets(sub_id="w")
        first = asyncio.ensure_future(reader.__anext__())
        await asyncio.sleep(0)
        assert list(s.subscribers) == ["w"]
        s.push("x")
        assert [x for _, x in await first] == ["x"]
        await s.finish_error("boom")
        with pytest.raises(SplitterBadFinish):
            await reader.__anext__()
        await s.aclose()

    asyncio.run(main())


def test_tasks_errors_and_interfaces():
    seen = []

    async def failing():
        raise KeyError("x")

    async def main():
        task = my_create_task(asyncio.sleep(0, 5), "named")
        assert task.get_name() == "named" and await task == 5
        with pytest.raises(KeyError):
            await async_errors(failing)()
        assert inspect.iscoroutinefunction(async_errors(failing))
        sti = SyncTaskInterface()

        async def provider(s):
            seen.append(s)
            return "iface"

        await sti.set_interface_gen("k", provider)
        assert await sti.get_interface("k") == "iface" and seen == [sti]

    asyncio.run(main())


def test_debug_is_silent_unless_asked_and_never_on_stderr(tmp_path):
    code = "from tarvo_utils_asyncio import debug; debug('diagnostic')"
    quiet = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           env={k: v for k, v in os.environ.items() if k != "TARVO_DEBUG"})
    assert quiet.stdout == quiet.stderr == ""
    loud = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, "TARVO_DEBUG": "1"})
    assert "diagnostic" in loud.stdout and loud.stderr == ""
    target = tmp_path / "debug.log"
    subprocess.run([sys.executable, "-c", code], env={**os.environ, "TARVO_DEBUG": str(target)}, check=True)
    assert "diagnostic" in target.read_text()


def test_flood_bounds_batches_history_and_threads():
    """A batch is bounded and gives the loop a turn; the first subscriber gets every item however
    many came before it, later ones only the recent ones; threads wait while the log is far behind."""
    import tarvo_commons.logs as logs
    from tarvo_utils_asyncio import pending_items, queue_get_multiple

    async def main():
        q = asyncio.Queue()
        for i in range(1200):
            q.put_nowait(i)
        first = await queue_get_multiple(q)
        assert first == list(range(500))

        s = await Splitter.make_init(int, name="t", prune_if_bigger=100, prune_age_s=30, max_size=100)
        for i in range(5000):
            s.push(i)
        packets = s.read_packets(sub_id="first")
        got = [x for _, x in await packets.__anext__()]
        assert got == list(range(100)) and pending_items() == 4900
        for i in range(5000, 5300):
            s.push(i)
        assert len(s.history) == 100
        await packets.aclose()
        await s.aclose()

    asyncio.run(main())

    # a producer thread waits while the log is behind, for a bounded time
    class Loop:
        def is_running(self):
            return True

        def call_soon_threadsafe(self, *a):
            pass

    handoff = logs._Handoff()
    handoff.high_water, handoff.resume_at, handoff.max_wait_s = 10, 5, 0.2
    q = asyncio.Queue()
    for i in range(20):
        q.put_nowait(i)
    started = __import__("time").monotonic()
    handoff.send(Loop(), q, "entry")
    assert 0.2 <= __import__("time").monotonic() - started < 2


def test_colour_follows_the_output_and_the_environment(monkeypatch, tmp_path):
    """Colour is decided from descriptor 2, not stdout, by CPython's switches in its order:
    PYTHON_COLORS, NO_COLOR, FORCE_COLOR, TERM=dumb."""
    from tarvo_commons.ui import colour_on
    from tarvo_utils_asyncio.logentry import color_red

    for name in ("PYTHON_COLORS", "NO_COLOR", "FORCE_COLOR", "TERM"):
        monkeypatch.delenv(name, raising=False)
    assert colour_on() is False  # pytest captures descriptor 2: not a terminal
    monkeypatch.setenv("FORCE_COLOR", "1")
    assert colour_on() and color_red("x") != "x" and get_colorize_function("#00ff00")("x") != "x"
    monkeypatch.setenv("NO_COLOR", "1")  # no colour, FORCE_COLOR or not
    assert not colour_on() and color_red("x") == "x" and get_colorize_function("#00ff00")("x") == "x"
    monkeypatch.setenv("NO_COLOR", "")  # empty: as if not set, as CPython reads it
    assert colour_on()
    monkeypatch.setenv("NO_COLOR", "1")
    monkeypatch.setenv("PYTHON_COLORS", "1")  # CPython's own switch decides first
    assert colour_on()
    monkeypatch.setenv("PYTHON_COLORS", "0")
    monkeypatch.setenv("FORCE_COLOR", "1")
    assert not colour_on()

    # a terminal on descriptor 2 with stdout redirected (a pipe) still gets colour; TERM=dumb does not
    import pty
    code = "from tarvo_commons.ui import colour_on; print(colour_on())"
    for term, expected in (("xterm", "True"), ("dumb", "False")):
        leader, follower = pty.openpty()
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHON_COLORS", "NO_COLOR", "FORCE_COLOR")}
        env["TERM"] = term
        r = subprocess.run([sys.executable, "-c", code], stderr=follower, stdout=subprocess.PIPE, env=env,
                           text=True, timeout=60)
        os.close(leader)
        os.close(follower)
        assert r.stdout.strip() == expected


@pytest.mark.parametrize("value, outcome", [
    ("shop=warning, shop.db=Error", "30 40 10"),
    ("shop=loud", "TARVO_LOG_LEVELS: cannot read the item 'shop=loud'"),
    ("shop", "TARVO_LOG_LEVELS: cannot read the item 'shop'"),
])
def test_levels_from_the_environment_in_any_case_or_one_clear_error(value, outcome):
    code = ("from tarvo_commons.logs import get_min_level as m\n"
            "print(m(('shop',), ''), m(('shop', 'db'), ''), m(('other',), ''))")
    r = subprocess.run([sys.executable, "-c", code], env={**os.environ, "TARVO_LOG_LEVELS": value},
                       capture_output=True, text=True, timeout=60)
    if outcome[0].isdigit():
        assert r.returncode == 0 and r.stdout.split() == outcome.split(), r.stderr
    else:
        last = r.stderr.strip().splitlines()[-1]
        assert last.startswith("ValueError: " + outcome) and "DEBUG, INFO, USER_INFO, WARNING" in last
