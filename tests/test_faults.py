"""Faults a running handler survives: failing writes, odd queue items, misuse of the lifecycle."""
import asyncio
import errno
import gc
import weakref

import pytest

from tarvo_commons import TLogger
from tarvo_commons.logs import LogEntry
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import config, log, loghandle_imp
from tarvo_utils_asyncio import SyncTaskInterface

LoggingHandler = loghandle_imp.LoggingHandler
logger = TLogger("svc.faults")


@pytest.fixture
def own_output(writes, monkeypatch, tmp_path):
    """The fake output of `writes`, opened by a path of the user's (no duplicate of descriptor 2)."""
    monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "user-path"))
    monkeypatch.setattr(loghandle_imp, "color_red", lambda s: f"<red>{s}</red>")
    return writes


async def written_apart(*messages):
    """Logs each message in a chunk of its own."""
    for msg in messages:
        logger.info(msg)
        await asyncio.sleep(0.02)


async def until_written(path):
    """Waits until the output has text: the writer then waits for the next chunk."""
    for _ in range(500):
        await asyncio.sleep(0.01)
        if path.exists() and path.read_text():
            return


@pytest.mark.parametrize("error", [errno.ENOSPC, errno.EIO, errno.EPIPE])
def test_a_failed_write_costs_only_its_chunk(own_output, debug_log, error):
    failure = OSError(error, "the output failed")

    async def main():
        h = LoggingHandler()
        await h.init()
        await written_apart("before")
        own_output.failures = [failure, failure]
        await written_apart("lost one", "lost two")
        assert not h.task_write.done(), "the writer goes on"
        await written_apart("after")
        await h.aclose()  # a past output failure does not fail the close

    asyncio.run(main())
    text = "".join(own_output.texts)
    assert "before" in text and "after" in text and "lost one" not in text and "lost two" not in text
    report = f"<red>✗2 log entries were lost: {type(failure).__name__}: [Errno {error}] the output failed</red>"
    assert text.count(report) == 1 and text.index(report) < text.index("after")
    assert any("2 log entries were lost" in m for m in debug_log)
    assert own_output.closed == 1


def test_losses_of_the_last_chunk_are_told_at_the_end(own_output, debug_log):
    async def main():
        h = LoggingHandler()
        await h.init()
        await written_apart("written")
        own_output.failures = [OSError(errno.ENOSPC, "No space left on device")]
        await written_apart("lost")
        await h.aclose()

    asyncio.run(main())
    assert own_output.texts[-1] == "<red>✗1 log entry was lost: OSError: [Errno 28] No space left on device</red>\n"


def test_an_item_whose_comparison_fails_does_not_stop_the_pump(own_output, debug_log):
    class Odd:
        def __eq__(self, other):
            raise ValueError("no comparing me")

        __hash__ = object.__hash__

    async def main():
        h = LoggingHandler()
        await h.init()
        TLogger.queue.put_nowait(Odd())
        await written_apart("still written")
        assert not h.task_pump.done()
        await h.aclose()
        TLogger.queue.put_nowait(Odd())  # no handler runs: the queue's own test of it does not fail the put

    asyncio.run(main())
    text = "".join(own_output.texts)
    assert "still written" in text and "Cannot handle the log message: AssertionError" in text
    assert any(m.startswith("pump could not compare message #0 with the end marker: ") for m in debug_log)


def test_closing_a_handler_that_never_started_touches_nothing(own_output, debug_log):
    async def main():
        running = LoggingHandler()
        await running.init()
        with pytest.raises(AttributeError, match="aclose\\(\\) needs a handler started by init\\(\\)"):
            await LoggingHandler().aclose()
        await written_apart(*(f"later {i}" for i in range(10)))
        await running.aclose()

    asyncio.run(main())
    text = "".join(own_output.texts)
    assert all(f"later {i}" in text for i in range(10))


def test_a_second_handler_is_refused_while_one_runs(own_output, debug_log):
    async def main():
        async with log(SyncTaskInterface(), ServiceConfig()):
            logger.info("outer")
            with pytest.raises(RuntimeError, match="a LoggingHandler is already running"):
                async with log(SyncTaskInterface(), ServiceConfig()):
                    pass
            logger.info("outer again")
        # once closed, a new one may start
        async with log(SyncTaskInterface(), ServiceConfig()):
            logger.info("next")

    asyncio.run(asyncio.wait_for(main(), 10))
    text = "".join(own_output.texts)
    assert all(word in text for word in ("outer", "outer again", "next"))


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # its pump meets a closed loop
def test_a_handler_abandoned_with_its_loop_is_collected(tmp_path, monkeypatch, debug_log):
    """handler -> task -> coroutine -> its argument self -> handler: a cycle the collector must see."""
    monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "out"))
    monkeypatch.setattr(config, "debug", lambda msg: None)
    loop = asyncio.new_event_loop()

    async def start():
        h = LoggingHandler()
        await h.init()
        logger.info("hello")
        await until_written(tmp_path / "out")
        return weakref.ref(h)

    ref = loop.run_until_complete(start())
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
    loop.close()
    TLogger.queue = asyncio.Queue()  # as the next handler's init does: the old queue held the pump
    gc.collect()
    assert ref() is None


def test_a_close_from_another_event_loop_is_refused_and_changes_nothing(own_output, debug_log):
    loop = asyncio.new_event_loop()
    h = LoggingHandler()
    loop.run_until_complete(h.init())
    logger.info("before")
    with pytest.raises(RuntimeError, match="aclose\\(\\) must be awaited in the event loop that ran init\\(\\)"):
        asyncio.run(h.aclose())
    assert not any(m.startswith("Closing logging handler") for m in debug_log)
    logger.info("after the refused close")
    loop.run_until_complete(asyncio.sleep(0.05))
    assert not h.task_pump.done() and not h.task_write.done()
    loop.run_until_complete(h.aclose())
    loop.close()
    text = "".join(own_output.texts)
    assert "before" in text and "after the refused close" in text


def test_an_output_file_that_is_none_is_refused(debug_log, monkeypatch, tmp_path):
    """An aiofiles whose open gives None: the first write is refused with AssertionError, reported
    and raised as before, and nothing tries to close None."""
    from support import entry, pairs, run_writer

    class NoFile:
        @staticmethod
        def open(*args, **kwargs):
            async def opened():
                return None

            return opened()

    monkeypatch.setattr(loghandle_imp, "aiofiles", NoFile)
    monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "user-path"))
    _, result = run_writer([pairs(entry("x"))])
    assert type(result) is AssertionError
    assert debug_log[-1].startswith("write_aiologs receives Exception: ")
    assert debug_log[-1].rstrip().endswith("AssertionError")


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # its pump meets a closed loop
@pytest.mark.parametrize("fmt", ["terminal", "plain"])
def test_what_the_writer_remembers_is_seen_by_the_collector(tmp_path, monkeypatch, debug_log, fmt):
    """The writer keeps what it needs of past entries across its awaits: the terminal's prefix
    memory, the plain format's pending progress state. A cycle through it (handler -> writer task ->
    coroutine -> remembered prefix -> handler) is collected when the handler is abandoned."""
    monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "out"))
    monkeypatch.setattr(loghandle_imp, "LOG_FORMAT", fmt)
    monkeypatch.setattr(config, "debug", lambda msg: None)
    # the stand-in's get_min_level keeps every prefix it is asked about: not the writer's doing
    monkeypatch.setattr(loghandle_imp, "get_min_level", lambda prefix, module: 10)

    class Prefix(tuple):
        pass

    loop = asyncio.new_event_loop()

    async def start():
        h = LoggingHandler()
        await h.init()
        prefix = Prefix(("svc", "remembered"))
        prefix.handler = h
        TLogger.queue.put_nowait(LogEntry("50%", 1e9, "INFO", prefix, "svc", frozenset({"raw_line", "redraw"})))
        TLogger.queue.put_nowait(LogEntry("60%", 1e9, "INFO", prefix, "svc", frozenset({"raw_line", "redraw"})))
        await until_written(tmp_path / "out")
        return weakref.ref(h)

    ref = loop.run_until_complete(start())
    loop.set_exception_handler(lambda loop, context: None)
    loop.close()
    TLogger.queue = asyncio.Queue()
    gc.collect()
    assert ref() is None
