"""A real LoggingHandler: state and switches, init, aclose, and entries end to end into the output file."""
import asyncio
import os

import pytest

from tarvo_commons.logs import LogEntry, TLogger
from tarvo_loghandle import loghandle_imp
from tarvo_utils_asyncio import Splitter
from support import is_coroutine_function

LoggingHandler = loghandle_imp.LoggingHandler


@pytest.fixture
def output(tmp_path, monkeypatch):
    path = tmp_path / "stderr.txt"
    monkeypatch.setattr(loghandle_imp, "STDERR", str(path))
    return path


def test_new_handler_and_switches(debug_log):
    h = LoggingHandler()
    assert h.inited() is False and h.disabled is False and vars(h) == {"splitter": None, "disabled": False}
    for name in ("task_pump", "task_write"):
        with pytest.raises(AttributeError):
            getattr(h, name)
    h.enable_stderr_writer()
    h.disable_stderr_writer()
    h.disable_stderr_writer()
    assert h.disabled is True
    h.enable_stderr_writer()
    assert h.disabled is False
    assert debug_log == [
        "stderr_writer was ALREADY enabled.",
        "stderr_writer was disabled.",
        "stderr_writer was ALREADY disabled.",
        "stderr_writer was re-enabled.",
    ]


def test_class_shape():
    assert LoggingHandler.__bases__ == (object,) and type(LoggingHandler) is type
    assert list(LoggingHandler.__annotations__) == ["splitter", "disabled", "task_pump", "task_write"]
    assert LoggingHandler.__annotations__["task_pump"] == "Task[None]"
    methods = [k for k in vars(LoggingHandler) if not k.startswith("__") or k == "__init__"]
    assert methods == ["__init__", "inited", "init", "aclose", "disable_stderr_writer", "enable_stderr_writer",
                       "write_aiologs"]
    for name in ("init", "aclose", "write_aiologs"):
        assert is_coroutine_function(getattr(LoggingHandler, name))
    assert LoggingHandler.write_aiologs.__qualname__ == "LoggingHandler.write_aiologs"
    assert LoggingHandler.inited.__annotations__ == {"return": bool}
    assert loghandle_imp.__all__ == ["LoggingHandler"]


def test_module_names_in_order():
    names = [k for k in vars(loghandle_imp) if not k.startswith("__") or k == "__all__"]
    assert names == [
        "asyncio", "math", "os", "sys", "time", "traceback", "CancelledError", "get_running_loop",
        "StreamWriter", "Task", "Any", "Iterator", "Optional", "Tuple", "TypeVar", "aiofiles", "termcolor",
        "get_as_strings", "get_min_level", "LogEntry", "TLogger", "indent", "get_colorize_function",
        "async_errors", "debug", "queue_get_multiple", "Splitter", "SplitterBadFinish", "add_color",
        "color_function", "color_gray", "color_module", "color_red", "format_logentry_prefix", "__all__",
        "my_create_task", "ENV_LOG_STDERR", "STDERR", "color_raw_line", "X", "pump", "LoggingHandler", "linesof",
        "LOG_FORMAT", "JOURNAL_SOCKET",
    ]
    assert loghandle_imp.ENV_LOG_STDERR == "T_LOG_STDERR" and loghandle_imp.STDERR == "/dev/stderr"


def test_init_and_aclose(debug_log, output, monkeypatch):
    monkeypatch.delenv("T_LOG_STDERR", raising=False)
    made, tasks = [], []
    real_make_init = Splitter.make_init.__func__
    real_create = loghandle_imp.my_create_task

    async def make_init(cls, *args, **kwargs):
        made.append((args, kwargs))
        return await real_make_init(cls, *args, **kwargs)

    def create(coro, name):
        tasks.append(name)
        return real_create(coro, name)

    monkeypatch.setattr(Splitter, "make_init", classmethod(make_init))
    monkeypatch.setattr(loghandle_imp, "my_create_task", create)
    TLogger.enable_simple = True
    old_queue = TLogger.queue

    async def main():
        h = LoggingHandler()
        await h.init()
        assert h.inited() and TLogger.queue is not old_queue and TLogger.queue.maxsize == 0
        assert TLogger.enable_simple is False
        assert h.task_pump.get_name() == "logs:pump-to-splitter"
        assert h.task_write.get_name() == "logs:write_aiologs"
        start = len(debug_log)
        await h.aclose()
        assert h.task_pump.done() and h.task_write.done() and h.inited()
        return debug_log[start:]

    closing = asyncio.run(main())
    assert made == [((LogEntry,), {"name": "logs", "prune_if_bigger": 100, "prune_age_s": 30, "max_size": 100})]
    assert tasks == ["logs:pump-to-splitter", "logs:write_aiologs"]
    assert debug_log[0].startswith("for logging handler, looop is ")
    assert debug_log[1] == "Started also regular logs"
    steps = [m for m in closing if m.startswith("Closing logging handler")]
    assert steps == [
        "Closing logging handler: 1/5: closing the queue",
        "Closing logging handler: 2/5: Awaiting task_pump to finish",
        "Closing logging handler: 3/5: Awaiting task_write to finish",
        "Closing logging handler: 4/5: closing splitter",
        "Closing logging handler: 5/5: DONE",
    ]


def test_env_var_keeps_enable_simple(debug_log, output, monkeypatch):
    monkeypatch.setenv("T_LOG_STDERR", "")
    TLogger.enable_simple = True

    async def main():
        h = LoggingHandler()
        await h.init()
        await h.aclose()

    asyncio.run(main())
    assert TLogger.enable_simple is True


def test_aclose_after_failed_pump(debug_log, output, monkeypatch):
    error = RuntimeError("pump broke")

    async def broken(q):
        raise error

    monkeypatch.setattr(loghandle_imp, "queue_get_multiple", broken)

    async def main():
        h = LoggingHandler()
        await h.init()
        start = len(debug_log)
        with pytest.raises(RuntimeError) as caught:
            await h.aclose()
        return caught.value, [m for m in debug_log[start:] if m.startswith("Closing")]

    raised, steps = asyncio.run(main())
    assert raised is error
    assert steps == ["Closing logging handler: 1/5: closing the queue",
                     "Closing logging handler: 2/5: Awaiting task_pump to finish"]


def test_entries_end_to_end(debug_log, output, monkeypatch):
    """Entries put on the queue before and while the handler runs all reach the file, in order."""
    monkeypatch.setattr(loghandle_imp, "color_gray", lambda s: "")
    logger = TLogger("svc.end")
    count = 500

    async def main():
        h = LoggingHandler()
        await h.init()
        for i in range(count // 2):
            logger.info(f"entry {i}")
        await asyncio.sleep(0)
        h.disable_stderr_writer()
        h.enable_stderr_writer()
        for i in range(count // 2, count):
            logger.info(f"entry {i}")
            if i % 50 == 0:
                await asyncio.sleep(0)
        await h.aclose()

    asyncio.run(main())
    text = output.read_bytes().decode()
    lines = [line for line in text.split("\n") if "entry " in line]
    assert [int(line.rsplit(" ", 1)[1]) for line in lines] == list(range(count))
    assert text.count("╔") == 1


def test_second_aclose_returns(debug_log, output):
    async def main():
        h = LoggingHandler()
        await h.init()
        await h.aclose()
        await h.aclose()

    asyncio.run(main())
    assert debug_log.count("Closing logging handler: 5/5: DONE") == 2


def test_exact_output_through_a_running_handler(debug_log, output, plain_colors, monkeypatch):
    """Entries from TLogger through queue, pump, splitter and writer into the file, byte for byte.
    The time label is hidden (it depends on scheduling); chunking does not change the text."""
    monkeypatch.setattr(loghandle_imp, "color_gray", lambda s: "")
    monkeypatch.setattr(loghandle_imp, "color_red", lambda s: "")
    worker = TLogger("svc.worker")
    bar = TLogger("svc.bar")

    def step_one():
        worker.info("first")

    def step_two():
        worker.info("second\nline", n=2)

    async def main():
        h = LoggingHandler()
        await h.init()
        step_one()
        step_two()
        worker.user_error("bare user line")
        bar.raw_line("10%", redraw=True)
        await asyncio.sleep(0.05)  # written: the next redrawn line comes in a later chunk
        bar.raw_line("20%", redraw=True)
        await asyncio.sleep(0.05)
        h.disable_stderr_writer()
        worker.info("while paused")
        await asyncio.sleep(0.05)
        h.enable_stderr_writer()
        bar.raw_line("30%", redraw=True)
        worker.info("done")
        await h.aclose()

    asyncio.run(main())
    here = os.path.basename(__file__)
    assert output.read_bytes().decode() == (
        "\n<mod>╔ </mod>INFO svc.worker"
        f"\n<mod>║ </mod><fn>{here} step_one() </fn>"
        "\n<mod>║ </mod><INFO>first</INFO>"
        f"\n<mod>║ </mod><fn>{here} step_two() </fn>"
        "\n<mod>║ </mod><INFO>second"
        "\n<mod>║ </mod>line n=2</INFO>"
        "\n<USER_ERROR>bare user line</USER_ERROR>"
        # a file is no terminal: no escape sequence, a shorter redraw padded with spaces
        "\n\r<raw>svc.bar</raw>"
        "\r<raw>│</raw> 10%  "
        "\r<raw>│</raw> 20%"
        "\r<raw>│</raw> 30%"
        "\n<mod>╔ </mod>INFO svc.worker"
        f"\n<mod>║ </mod><fn>{here} main() </fn>"
        "\n<mod>║ </mod><INFO>done</INFO>"
        "\n"  # the output ends its last line
    )
