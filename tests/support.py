"""Helpers of the package tests: entries, a chunk-feeding splitter, a frozen clock."""
import asyncio
import time

from tarvo_commons.logs import LogEntry, StackInfo
from tarvo_loghandle import loghandle_imp


class FrozenClock:
    """Stands in for the module `time` of the handler module: time_ns() is fixed."""

    def __init__(self, now_s: float = 1_700_000_000.0):
        self.now_ns = int(now_s * 1_000_000_000)

    def time_ns(self):
        return self.now_ns

    @property
    def now(self):
        return self.now_ns / 1_000_000_000


def entry(msg="m", *, level="INFO", prefix=("svc", "part"), module="svc.part", tags=(), kwargs=None,
          filename="/src/svc/part.py", func="work", timestamp=None):
    return LogEntry(
        msg=msg,
        timestamp=time.time() if timestamp is None else timestamp,
        level=level,
        prefix=tuple(prefix),
        module=module,
        tags=frozenset(tags),
        kwargs=dict(kwargs or {}),
        stack_info=StackInfo(filename, func),
    )


class ChunkSplitter:
    """A splitter that hands the writer the given chunks, then ends (or fails with `end_error`)."""

    def __init__(self, chunks, end_error=None, before_chunk=None):
        self.chunks = chunks
        self.end_error = end_error
        self.before_chunk = before_chunk or (lambda i: None)
        self.sub_ids = []

    async def read_packets(self, sub_id):
        self.sub_ids.append(sub_id)
        for i, chunk in enumerate(self.chunks):
            self.before_chunk(i)
            await asyncio.sleep(0)
            yield chunk
        if self.end_error is not None:
            raise self.end_error


def run_writer(chunks, *, end_error=None, before_chunk=None, disabled=False):
    """Runs write_aiologs of a fresh handler over the chunks; returns (handler, result or exception)."""
    h = loghandle_imp.LoggingHandler()
    h.splitter = ChunkSplitter(chunks, end_error, before_chunk and (lambda i: before_chunk(h, i)))
    h.disabled = disabled

    async def go():
        try:
            return await h.write_aiologs()
        except BaseException as e:  # noqa: B902 - the test looks at whatever ended the writer
            return e

    return h, asyncio.run(go())


def run_a_handler(log):
    """A handler started on a loop of its own: log() logs, and the handler is closed."""
    async def main():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        log()
        await asyncio.sleep(0.05)
        await h.aclose()

    asyncio.run(main())


def service_log(tmp_path, monkeypatch, fmt, service, records):
    """What a handler writes in `fmt` (into a file) while the coroutine function `service` runs,
    with the logger `records` connected to it by a RecordHandler of its own, from INFO on."""
    import logging

    from tarvo_loghandle import stdlib

    path = tmp_path / f"out.{fmt}"
    monkeypatch.setattr(loghandle_imp, "STDERR", str(path))
    monkeypatch.setattr(loghandle_imp, "LOG_FORMAT", fmt)
    monkeypatch.setattr(loghandle_imp, "debug", lambda msg: None)
    records.addHandler(stdlib.RecordHandler())
    records.setLevel(logging.INFO)
    records.propagate = False

    async def main():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        await service()
        await h.aclose()

    try:
        asyncio.run(main())
    finally:
        records.handlers.clear()
    return path.read_text(encoding="utf-8")


def pairs(*entries):
    return [(i, le) for i, le in enumerate(entries)]


def is_coroutine_function(f):
    """asyncio.iscoroutinefunction until 3.11; inspect's from 3.12 on (asyncio's is deprecated in 3.14)."""
    import asyncio
    import inspect
    import sys

    return inspect.iscoroutinefunction(f) if sys.version_info >= (3, 12) else asyncio.iscoroutinefunction(f)
