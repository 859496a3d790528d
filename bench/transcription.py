"""The handler's per-entry path (pump, writer, renderer) written in plain Python, making the same
calls in the same order as the package: the yardstick for bench_terminal.py. Not part of the package.

`Transcribed` is a LoggingHandler whose writer is the Python one; while it runs, the module's
`pump` is the Python pump (start and close stay the package's, they are not per entry)."""
import asyncio
import contextlib

import python_reference
from tarvo_loghandle import loghandle_imp as m


async def pump(q, splitter):
    m.debug(f"loop is {id(asyncio.get_running_loop())}")
    m.debug("pump started")
    i = 0
    while True:
        xs = await m.queue_get_multiple(q)
        for x in xs:
            m.debug(f"pump got message #{i}")
            if splitter.subscribers:
                m.debug(f"pump got message #{i} - his q is {list(splitter.subscribers.values())[0].queue.qsize()}")
            i += 1
            if x == m.TLogger.queue_sentinel_eof:
                m.debug("pump exits due to sentinel")
                await splitter.finish()
                m.debug("graceful shutdown for pump()")
                return
            splitter.push(x)


class Transcribed(m.LoggingHandler):
    async def write_aiologs(self):
        m.debug("write_aiologs started")
        f = await m.aiofiles.open(m.STDERR, "ab", buffering=0)
        write_chunk = python_reference.make_writer(terminal=m.os.isatty(f.fileno()))
        async for chunk in self.splitter.read_packets(sub_id="write_aiologs"):
            if self.disabled:
                continue
            text = write_chunk(chunk)
            await f.write(text.encode("utf-8", "backslashreplace"))
        rest = write_chunk.rest()
        if rest:
            await f.write(rest.encode())
        await f.close()


@contextlib.contextmanager
def python_pump():
    saved = m.pump
    m.pump = pump
    try:
        yield
    finally:
        m.pump = saved
