import pytest
from doubles import terminal_descriptor
from support import FrozenClock

from tarvo_commons.logs import TLogger
from tarvo_loghandle import config, loghandle_imp


@pytest.fixture
def debug_log(monkeypatch):
    """The texts the package passes to `debug`, in order."""
    messages = []
    monkeypatch.setattr(loghandle_imp, "debug", messages.append)
    monkeypatch.setattr(config, "debug", messages.append)
    return messages


class RecordedOutput:
    def __init__(self):
        self.texts = []  # each awaited write, in order
        self.opens = []  # the arguments of each open
        self.closed = 0  # how many times the file was closed
        self.failures = []  # exceptions that the next writes raise, one each


@pytest.fixture
def writes(monkeypatch):
    """Replaces aiofiles in the handler module, recording the writer's opens and writes."""
    rec = RecordedOutput()

    class File:
        async def write(self, data):
            if rec.failures:
                raise rec.failures.pop(0)
            rec.texts.append(data.decode())
            return len(data)

        def fileno(self):  # a terminal, as the writer's output is at a person's screen
            return terminal_descriptor()

        async def close(self):
            rec.closed += 1

    class FakeAiofiles:
        @staticmethod
        def open(*args, **kwargs):
            rec.opens.append((args, kwargs))

            async def opened():
                return File()

            return opened()

    monkeypatch.setattr(loghandle_imp, "aiofiles", FakeAiofiles)
    return rec


@pytest.fixture(autouse=True)
def fresh_logger_state():
    saved = TLogger.queue, TLogger.enable_simple
    yield
    TLogger.queue, TLogger.enable_simple = saved


@pytest.fixture
def plain_colors(monkeypatch):
    """Rendering helpers replaced by visible markers, so expected text can be written out."""
    m = loghandle_imp
    monkeypatch.setattr(m, "color_red", lambda s: f"<red>{s}</red>")
    monkeypatch.setattr(m, "color_gray", lambda s: f"<gray>{s}</gray>")
    monkeypatch.setattr(m, "color_module", lambda s: f"<mod>{s}</mod>")
    monkeypatch.setattr(m, "color_function", lambda s: f"<fn>{s}</fn>")
    monkeypatch.setattr(m, "color_raw_line", lambda s: f"<raw>{s}</raw>")
    monkeypatch.setattr(m, "add_color", lambda s, level: f"<{level}>{s}</{level}>")
    monkeypatch.setattr(m, "format_logentry_prefix", lambda le: f"{le.level} {'.'.join(le.prefix)}")


@pytest.fixture
def clock(monkeypatch):
    c = FrozenClock()
    monkeypatch.setattr(loghandle_imp, "time", c)
    return c


