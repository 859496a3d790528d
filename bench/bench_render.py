"""The writer's own per-entry work (rendering and assembling chunks, without the queue, the
splitter and the file), native against the same steps in plain Python.

    .venv/py310/bin/python bench/bench_render.py

Both make the same sibling calls; the light variant replaces those by C builtins, as in
bench_handler.py, so what remains is the writer itself."""
import asyncio
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_handler  # noqa: E402
import python_reference  # noqa: E402

from tarvo_loghandle import loghandle_imp  # noqa: E402

CHUNKS = 400
SIZE = 100


def chunks():
    items = bench_handler.entries(CHUNKS * SIZE)
    return [list(enumerate(items[i : i + SIZE])) for i in range(0, len(items), SIZE)]


def native(data):
    class Splitter:
        async def read_packets(self, sub_id):
            for c in data:
                yield c

    class File:
        async def write(self, text):
            pass

    class Files:
        @staticmethod
        def open(*args, **kwargs):
            async def opened():
                return File()

            return opened()

    loghandle_imp.aiofiles = Files
    h = loghandle_imp.LoggingHandler()
    h.splitter = Splitter()
    start = time.perf_counter()
    asyncio.run(h.write_aiologs())
    return time.perf_counter() - start


def python(data):
    write_chunk = python_reference.make_writer()
    start = time.perf_counter()
    for c in data:
        write_chunk(c)
    return time.perf_counter() - start


def timed(run):
    data = chunks()
    gc.collect()  # so that no collection of the fresh entries lands in the timed part
    return run(data)


def report(label):
    n = CHUNKS * SIZE
    for name, run in (("native", native), ("python", python)):
        best = min(timed(run) for _ in range(7))
        print(f"{label:<34} {name:<7} {best / n * 1e6:6.2f} us/entry")


if __name__ == "__main__":
    loghandle_imp.debug = len
    print(f"CPython {sys.version.split()[0]}, {CHUNKS} chunks of {SIZE} entries, best of 7")
    report("pure-Python stand-ins")
    bench_handler.light_siblings()
    report("sibling calls as C builtins")
