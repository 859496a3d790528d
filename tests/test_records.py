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
