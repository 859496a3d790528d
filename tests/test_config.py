"""log and nolog through the real contextlib: messages, awaits, exceptions and cancellation."""
import asyncio
import time

import pytest

from tarvo_kivo_interfaces import SERVICE_LOG, ServiceConfig
from tarvo_loghandle import config, loghandle_imp
from tarvo_utils_asyncio import SyncTaskInterface
from support import is_coroutine_function


class RecordingSti:
    def __init__(self, events):
        self.events = events
        self.registered = []

    async def set_interface_gen(self, key, gen):
        self.events.append("set_interface_gen")
        self.registered.append((key, gen))


@pytest.fixture
def recorded(monkeypatch, debug_log):
    """Substitutes a recording handler class; events interleave handler awaits and debug messages."""
    events = debug_log  # the same list: debug messages and handler calls in one order

    class Handler:
        made = []

        def __init__(self):
            Handler.made.append(self)

        async def init(self):
            events.append("init")

        async def aclose(self):
            await asyncio.sleep(0)
            events.append("aclose")

    monkeypatch.setattr(config, "LoggingHandler", Handler)
    return events, Handler


def test_normal_exit(recorded):
    events, Handler = recorded
    sti = RecordingSti(events)

    async def main():
        async with config.log(sti, ServiceConfig()) as value:
            assert value is None
            events.append("block")
        return time.monotonic()

    start = time.monotonic()
    asyncio.run(main())
    assert time.monotonic() - start >= 0.2
    assert events == ["init", "set_interface_gen", "block", "log graceful exit", "log closing logger_handler",
                      "aclose", "log closed logger_handler"]
    key, f = sti.registered[0]
    assert key == SERVICE_LOG and f.__qualname__ == "log.<locals>.f" and is_coroutine_function(f)
    assert asyncio.run(f(None)) is Handler.made[0] and asyncio.run(f("other")) is Handler.made[0]


def test_exception_in_block(recorded):
    events, _ = recorded
    error = ValueError("service failed")

    async def main():
        async with config.log(RecordingSti(events), ServiceConfig()):
            raise error

    with pytest.raises(ValueError) as caught:
        asyncio.run(main())
    assert caught.value is error
    assert events[2].startswith("log finishes exception: Traceback (most recent call last):")
    assert events[2].endswith("ValueError: service failed\n")
    assert events[3:] == ["log closing logger_handler", "aclose", "log closed logger_handler"]


def test_cancelled_during_pause(recorded):
    events, _ = recorded

    async def service():
        async with config.log(RecordingSti(events), ServiceConfig()):
            pass

    async def main():
        task = asyncio.create_task(service())
        await asyncio.sleep(0.05)  # inside the 0.2 s pause
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert events[2] == "log graceful exit" or events[2].startswith("log finishes exception: ")
    assert events[2].startswith("log finishes exception: ") and "CancelledError" in events[2]
    assert events[-2:] == ["aclose", "log closed logger_handler"]


def test_aclose_error_chains_to_block_error(recorded, monkeypatch):
    events, Handler = recorded
    block_error = KeyError("block")

    async def failing_aclose(self):
        raise OSError("close failed")

    monkeypatch.setattr(Handler, "aclose", failing_aclose)

    async def main():
        async with config.log(RecordingSti(events), ServiceConfig()):
            raise block_error

    with pytest.raises(OSError) as caught:
        asyncio.run(main())
    assert caught.value.__context__ is block_error
    assert "log closed logger_handler" not in events


def test_nolog(debug_log):
    sti = object()  # never touched
    error = LookupError("x")

    async def main():
        async with config.nolog(sti, ServiceConfig()) as value:
            assert value is None
        with pytest.raises(LookupError) as caught:
            async with config.nolog(sti, ServiceConfig()):
                raise error
        assert caught.value is error
        with pytest.raises(AttributeError):
            async with config.nolog(sti, object()):
                pass

    asyncio.run(main())
    assert debug_log == []


def test_module_shape():
    assert config.__all__ == ["nolog", "log"]
    names = [k for k in vars(config) if not k.startswith("__") or k == "__all__"]
    assert names == ["asyncio", "traceback", "asynccontextmanager", "AsyncIterator", "debug", "SyncTaskInterface",
                     "SERVICE_LOG", "ServiceConfig", "LoggingHandler", "__all__", "nolog", "log"]
    assert config.LoggingHandler is loghandle_imp.LoggingHandler
    wrapped = config.log.__wrapped__
    assert wrapped.__qualname__ == "log"
    assert wrapped.__annotations__["sti"] is SyncTaskInterface and wrapped.__annotations__["sc"] is ServiceConfig


def test_real_handler_serves_and_flushes(tmp_path, monkeypatch, debug_log):
    out = tmp_path / "err"
    monkeypatch.setattr(loghandle_imp, "STDERR", str(out))
    from tarvo_commons import TLogger

    logger = TLogger("svc.cfg")

    async def main():
        sti = SyncTaskInterface()
        async with config.log(sti, ServiceConfig()):
            handler = await sti.get_interface(SERVICE_LOG)
            assert isinstance(handler, loghandle_imp.LoggingHandler) and handler.inited()
            for i in range(20):
                logger.info(f"line {i}")
        assert handler.task_write.done()

    asyncio.run(main())
    text = out.read_text()
    assert all(f"line {i}" in text for i in range(20))
