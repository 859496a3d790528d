"""Fuzzing of what log data may become in each format: random text in each of str's three widths,
dense in escape sequences, their parts and controls, as messages, keyword values and logger names.

- plain: no control character at all (C0, DEL, C1) but the line feeds that end lines, and every
  line of an entry after its first indented;
- json: every line valid JSON, one per entry, whose message reads back as the text with every
  colour sequence removed (removed until none is left);
- terminal: every line as the model of tests/test_screen.py says, with colour and without;
and nothing crashes. tests/test_text_fuzz.py runs a short round in the suite; for a long one:

    .venv/py310/bin/python tests/fuzz_text.py 20000      # examples (of up to 8 entries each)
"""
import asyncio
import json
import os
import sys
import time

from doubles import COLOUR, RecordedFiles, shown_as
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarvo_commons.logs import LogEntry, StackInfo
from tarvo_loghandle import loghandle_imp

PIECES = ["\x1b", "[", "m", "0", "3", ";", ":", "\x1b[31m", "\x1b[0m", "\x1b[2J", "\x1b[", "\n", "\r", "\t", "\x00",
          "\x07", "\x08", "\x7f", "\x80", "\x9b", "\x9f", "\xa0", "a", " ", "é", "ÿ", "║", "中", "\u200b", "😀",
          "\udcff"]
TEXT = st.lists(st.sampled_from(PIECES), max_size=24).map("".join)
ENTRIES = st.lists(st.tuples(TEXT, TEXT, TEXT), min_size=1, max_size=8)


def without_colours(text):
    while True:
        stripped = COLOUR.sub("", text)
        if stripped == text:
            return text
        text = stripped


class Chunk:
    def __init__(self, entries):
        self.entries = entries

    async def read_packets(self, sub_id):
        yield list(enumerate(self.entries))


def written(fmt, entries):
    """The text the writer writes for the entries, in one chunk, in the format."""
    RecordedFiles.texts = []
    loghandle_imp.LOG_FORMAT = fmt
    h = loghandle_imp.LoggingHandler()
    h.splitter = Chunk(entries)
    asyncio.run(h.write_aiologs())
    return "".join(RecordedFiles.texts)


def entries_of(triples, level="INFO"):
    now = time.time()
    return [LogEntry(msg, now, level, ("svc", name), "svc.mod", frozenset(), {"v": value}, StackInfo("/src/x.py", "f"))
            for msg, value, name in triples]


def check(triples):
    lines = written("plain", entries_of(triples)).split("\n")
    assert lines[-1] == ""
    starts = [i for i, line in enumerate(lines[:-1]) if not line.startswith("    ")]
    assert len(starts) == len(triples), lines
    for line in lines[:-1]:
        bad = [c for c in line if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F]
        assert not bad, (bad, line)

    records = [json.loads(line) for line in written("json", entries_of(triples)).splitlines()]
    assert [r["message"] for r in records] == [without_colours(msg) for msg, _, _ in triples]
    assert [r["logger"] for r in records] == [f"svc.{name}" for _, _, name in triples]

    # user lines stand bare: one line per message (the layout's own line feeds and carriage returns
    # are left out here), written in UTF-8 with what it cannot encode written escaped
    texts = [msg.replace("\n", "").replace("\r", "") for msg, _, _ in triples]
    shown = written("terminal", entries_of([(text, "", "") for text in texts], "USER_INFO")).split("\n")[1:-1]
    assert shown == [shown_as(text).encode("utf-8", "backslashreplace").decode() for text in texts]

    # without colour (NO_COLOR): the same lines with every colour sequence removed first
    os.environ["NO_COLOR"] = "1"
    try:
        plain = written("terminal", entries_of([(text, "", "") for text in texts], "USER_INFO")).split("\n")[1:-1]
    finally:
        del os.environ["NO_COLOR"]
    assert plain == [shown_as(without_colours(text)).encode("utf-8", "backslashreplace").decode() for text in texts]


def run(examples):
    loghandle_imp.aiofiles = RecordedFiles
    loghandle_imp.debug = len
    loghandle_imp.get_as_strings = lambda msg, kwargs: msg  # the terminal's user lines: the text itself

    @settings(max_examples=examples, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(ENTRIES)
    def fuzz(triples):
        check(triples)

    saved = loghandle_imp.LOG_FORMAT
    try:
        fuzz()
    finally:
        loghandle_imp.LOG_FORMAT = saved


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    os.environ.pop("NO_COLOR", None)
    start = time.perf_counter()
    run(n)
    took = time.perf_counter() - start
    print(f"CPython {sys.version.split()[0]}: {n} examples of up to 8 entries, each written as plain, json and "
          f"terminal lines: no failure in {took:.0f} s")
