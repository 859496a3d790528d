"""The pump: batches from the queue into the splitter, its messages, and its three ways to end."""
import asyncio

import pytest

from tarvo_commons.logs import TLogger
from tarvo_loghandle import loghandle_imp
from support import is_coroutine_function


class Subscriber:
    def __init__(self):
        self.queue = asyncio.Queue()


class RecordingSplitter:
    def __init__(self, subscribers=0, push_error=None):
        self.subscribers = {f"s{i}": Subscriber() for i in range(subscribers)}
        self.pushed = []
        self.finished = []
        self.push_error = push_error

    def push(self, x):
        if self.push_error:
            raise self.push_error
        self.pushed.append(x)
        for s in self.subscribers.values():
            s.queue.put_nowait(x)

    async def finish(self):
        await asyncio.sleep(0)
        self.finished.append("finish")

    async def finish_error(self, msg):
        self.finished.append(("finish_error", msg))


class AlwaysEqual:
    def __eq__(self, other):
        return True


def run_pump(batches, splitter, cancel_after=None):
    """Feeds the batches through a queue_get_multiple stand-in; returns the task's outcome."""

    async def main():
        feed = list(batches)

        async def queue_get_multiple(q):
            if feed:
                await asyncio.sleep(0)
                return feed.pop(0)
            await asyncio.sleep(3600)

        loghandle_imp.queue_get_multiple = queue_get_multiple
        task = asyncio.create_task(loghandle_imp.pump(asyncio.Queue(), splitter))
        if cancel_after is not None:
            await asyncio.sleep(cancel_after)
            task.cancel()
        try:
            return await task
        except BaseException as e:  # noqa: B902
            return e

    return asyncio.run(main())


@pytest.fixture(autouse=True)
def restore_queue_get_multiple(monkeypatch):
    monkeypatch.setattr(loghandle_imp, "queue_get_multiple", loghandle_imp.queue_get_multiple)


def test_batches_until_the_end_marker(debug_log):
    """The batch with the end marker is pushed whole, but for the marker: what follows it was put
    after the close began and is written too; later batches are left to the queue's close."""
    s = RecordingSplitter()
    eof = TLogger.queue_sentinel_eof
    result = run_pump([["a", "b", "c"], [], ["d", eof, "after the marker", eof], ["never"]], s)
    assert result is None
    assert s.pushed == ["a", "b", "c", "d", "after the marker"]
    assert s.finished == ["finish"]
    assert debug_log[0].startswith("loop is ") and debug_log[0][8:].isdigit()
    assert debug_log[1:] == [
        "pump started",
        "pump got message #0",
        "pump got message #1",
        "pump got message #2",
        "pump got message #3",
        "pump got message #4",
        "pump exits due to sentinel",
        "pump got message #5",
        "pump got message #6",
        "graceful shutdown for pump()",
    ]


def test_subscriber_queue_sizes_and_equal_marker(debug_log):
    s = RecordingSplitter(subscribers=2)
    result = run_pump([["a", "b", AlwaysEqual()]], s)
    assert result is None and s.pushed == ["a", "b"]
    assert debug_log[2:8] == [
        "pump got message #0",
        "pump got message #0 - his q is 0",
        "pump got message #1",
        "pump got message #1 - his q is 1",
        "pump got message #2",
        "pump got message #2 - his q is 2",
    ]


def test_cancellation_finishes_normally(debug_log):
    s = RecordingSplitter()
    result = run_pump([["a"]], s, cancel_after=0.05)
    assert result is None
    assert s.finished == ["finish"]
    assert debug_log[-1] == "pump cancelled"


def test_push_error_reaches_splitter_and_task(debug_log):
    error = ValueError("no room")
    s = RecordingSplitter(push_error=error)
    result = run_pump([["a"]], s)
    assert result is error
    msg = debug_log[-2]
    assert msg.startswith("pump() exception Traceback (most recent call last):")
    assert msg.endswith("ValueError: no room\n")
    assert s.finished == [("finish_error", msg)]
    assert debug_log[-1] == "error shutdown for pump()"


def test_error_in_error_clause_chains(debug_log):
    class Failing(RecordingSplitter):
        async def finish_error(self, msg):
            raise KeyError("splitter gone")

    first = ValueError("first")
    result = run_pump([["a"]], Failing(push_error=first))
    assert isinstance(result, KeyError) and result.__context__ is first


def test_signature():
    pump = loghandle_imp.pump
    assert is_coroutine_function(pump)
    assert pump.__qualname__ == "pump" and pump.__module__ == "tarvo_loghandle.loghandle_imp"
    assert list(pump.__annotations__) == ["q", "splitter", "return"]
    assert pump.__annotations__["q"] == "asyncio.Queue[X]"
    assert pump.__annotations__["splitter"] == loghandle_imp.Splitter[loghandle_imp.X]
    with pytest.raises(TypeError):
        pump(1)
