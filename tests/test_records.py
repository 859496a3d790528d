"""A logging record as an entry: the message RecordHandler takes (in C++ where the record and its
getMessage are logging's own) against the record's own getMessage, case by case, errors included."""
import logging
import sys
import types

import pytest

from tarvo_commons.logs import TLogger
from tarvo_loghandle.stdlib import RecordHandler


class Loud:
    def __str__(self):
        return "loud %s"


class Sneaky(str):
    def __mod__(self, args):
        return "sneaky"


class GivesSneaky:
    def __str__(self):
        return Sneaky("plain %s")


CASES = [("plain", ()), ("%s and %d", ("a", 3)), ("%(x)s", ({"x": 1},)), (42, ()), (Loud(), ("arg",)),
         (GivesSneaky(), ("arg",)), ("no placeholder", ("extra",)), ("%d", ("not a number",)), ("ends\n\n", ()),
         ("%s", ([1, 2],)), (b"bytes %s", ())]


def taken(record, monkeypatch):
    """What RecordHandler puts for the record: its entry's message, or the error it handled."""
    put = []
    monkeypatch.setattr(TLogger, "queue", types.SimpleNamespace(put_threadsafe=put.append))
    h = RecordHandler()
    h.handleError = lambda r: put.append(sys.exc_info()[:2])
    h.emit(record)
    got = put[0]
    return (type(got[1]), str(got[1])) if isinstance(got, tuple) else got.msg


def expected(record):
    try:
        return record.getMessage().rstrip("\r\n")
    except Exception as e:  # noqa: BLE001 - compared
        return type(e), str(e)


@pytest.mark.parametrize("change", ["none", "factory subclass", "patched getMessage", "instance getMessage"])
def test_the_message_is_the_records_own_get_message(monkeypatch, change):
    if change == "factory subclass":
        class Mine(logging.LogRecord):
            def getMessage(self):
                return "mine: " + super().getMessage()
        monkeypatch.setattr(logging, "_logRecordFactory", Mine)
    elif change == "patched getMessage":
        original = logging.LogRecord.getMessage
        monkeypatch.setattr(logging.LogRecord, "getMessage", lambda self: "patched: " + original(self))
    for msg, args in CASES:
        record = logging.getLogger("lib").makeRecord("lib", logging.INFO, "/src/lib.py", 7, msg, args, None)
        if change == "instance getMessage":
            record.getMessage = lambda: "the record's own"
        want = expected(record)
        assert taken(record, monkeypatch) == want, (msg, args)
        if change == "none":
            assert isinstance(want, str) or want[0] is TypeError


FORMAT_PIECES = ["%d", "%5d", "%-3i", "%+.2f", "%e", "%g", "%x", "%o", "%s", "%r", "%a", "%%", "%5.1s", "%c",
                 "%(k)s", "%*d", "%1234d", "%ld", "%X", "%", "text ", "é", "中", "\n"]
ARGS = [0, -7, 2**63, 10**400, 10**5000, 3.25, float("nan"), True, None, "s", "ü\n", b"b", [1], (2,), {"k": 1}]


def test_records_put_by_a_running_handler_read_as_their_own_get_message(monkeypatch):
    # Differential: with a handler running, RecordHandler puts a record's item on the queue, whose
    # message % args may be made later, by the pump; the json line's message is getMessage's, line
    # feeds at the end dropped, and a record whose formatting fails goes to handleError, as before.
    import asyncio
    import json

    from doubles import RecordedFiles
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    from tarvo_loghandle import loghandle_imp

    formats = st.lists(st.sampled_from(FORMAT_PIECES), max_size=6).map("".join)
    cases = st.lists(st.tuples(formats, st.lists(st.sampled_from(ARGS), max_size=4).map(tuple)), min_size=1,
                     max_size=6)
    monkeypatch.setattr(loghandle_imp, "aiofiles", RecordedFiles)
    monkeypatch.setattr(loghandle_imp, "LOG_FORMAT", "json")

    def written(records):
        failed = []
        handler = RecordHandler()
        handler.handleError = failed.append

        async def main():
            h = loghandle_imp.LoggingHandler()
            await h.init()
            try:
                for record in records:
                    handler.emit(record)
            finally:
                await h.aclose()

        RecordedFiles.texts = []
        asyncio.run(main())
        lines = [json.loads(line) for line in "".join(RecordedFiles.texts).splitlines()]
        return [line["message"] for line in lines if line.get("logger") == "lib"], failed

    @settings(max_examples=150, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(cases)
    def check(pairs):
        records = [logging.getLogger("lib").makeRecord("lib", logging.INFO, "/src/lib.py", 7, msg, args, None)
                   for msg, args in pairs]
        wanted = [expected(record) for record in records]
        messages, failed = written(records)
        assert messages == [w for w in wanted if isinstance(w, str)]
        assert failed == [r for r, w in zip(records, wanted) if not isinstance(w, str)]

    check()


def test_each_entry_names_its_own_logger_and_place_past_the_ones_kept(monkeypatch):
    # Entries share the prefix of one logger's name and the StackInfo of one code location: with
    # more loggers and places than are kept, and each seen twice, every line still names its own.
    import asyncio
    import json

    from doubles import RecordedFiles

    from tarvo_loghandle import loghandle_imp

    monkeypatch.setattr(loghandle_imp, "aiofiles", RecordedFiles)
    monkeypatch.setattr(loghandle_imp, "LOG_FORMAT", "json")
    places = [(f"svc.part{i % 4500}.x", f"/src/m{i % 3}.py", f"f{i % 7}", i % 4700 + 1) for i in range(9000)]
    records = [logging.getLogger(name).makeRecord(name, logging.INFO, path, line, "at %d", (i,), None, func)
               for i, (name, path, func, line) in enumerate(places)]
    handler = RecordHandler()

    async def main():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        try:
            for record in records:
                handler.emit(record)
        finally:
            await h.aclose()

    RecordedFiles.texts = []
    asyncio.run(main())
    lines = [json.loads(line) for line in "".join(RecordedFiles.texts).splitlines()]
    got = [(r["logger"], r["file"], r["function"], r["line"], r["message"]) for r in lines if r["message"][:3] == "at "]
    assert got == [(name, path, func, line, f"at {i}") for i, (name, path, func, line) in enumerate(places)]
