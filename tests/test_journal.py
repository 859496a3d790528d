"""The journal format: records in the journal's native protocol, read back by a socket of the
test's own, and a real systemd-journald (started here as root when none runs) holding a service's
entries as records, with their priorities and fields, and the lines that stand in for them on
stderr when its socket is missing."""
import asyncio
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp

from support import run_a_handler

JOURNALD = "/lib/systemd/systemd-journald"
JOURNAL_SOCKET = "/run/systemd/journal/socket"
JOURNAL_STDOUT = "/run/systemd/journal/stdout"
CHILD = Path(__file__).with_name("journal_child.py")
# What systemd does for a service: JOURNAL_STREAM names the stream its stderr is; then the child.
AS_A_SERVICE = ("import os, sys; st = os.fstat(2); os.environ['JOURNAL_STREAM'] = f'{st.st_dev}:{st.st_ino}'; "
                "os.execv(sys.executable, [sys.executable] + sys.argv[1:])")
PACKAGE_FIELDS = {"MESSAGE", "PRIORITY", "SYSLOG_IDENTIFIER", "CODE_FILE", "CODE_LINE", "CODE_FUNC"}


def parse_native(datagram: bytes):
    """The fields of a record in the journal's native protocol, in order: (name, value bytes)."""
    fields, at = [], 0
    while at < len(datagram):
        end = datagram.index(b"\n", at)
        line = datagram[at:end]
        if b"=" in line:
            name, value = line.split(b"=", 1)
            at = end + 1
        else:
            name = line
            (size,) = struct.unpack_from("<Q", datagram, end + 1)
            value = datagram[end + 9:end + 9 + size]
            assert datagram[end + 9 + size:end + 10 + size] == b"\n"
            at = end + 10 + size
        fields.append((name.decode("ascii"), value))
    return fields


RESERVED = PACKAGE_FIELDS | {"MESSAGE_ID", "ERRNO", "INVOCATION_ID", "USER_INVOCATION_ID", "DOCUMENTATION", "TID",
                             "UNIT", "USER_UNIT"}


def journal_name(key: str) -> str:
    """The journal's rules for a field name, for a keyword."""
    name = "".join(f"U{ord(c):0{4 if ord(c) <= 0xFFFF else 6}X}" if ord(c) >= 0x80 else c.upper() if "a" <= c <= "z"
                   else c if ("A" <= c <= "Z" or "0" <= c <= "9" or c == "_") else "_" for c in key).lstrip("_")
    if (not name or name[0].isdigit() or name in RESERVED
            or name.startswith(("TARVO_", "SYSLOG_", "OBJECT_", "COREDUMP_", "CODE_"))):
        name = "FIELD_" + name
    return name[:64]


@pytest.fixture
def fake_journal(tmp_path, monkeypatch):
    """A datagram socket of the test's own where the handler sends its records; the handler's
    output (stderr lines of what could not be sent) goes to a file."""
    path = tmp_path / "journal.socket"
    server = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    server.bind(str(path))
    server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    monkeypatch.setattr(loghandle_imp, "JOURNAL_SOCKET", str(path))
    monkeypatch.setattr(loghandle_imp, "LOG_FORMAT", "journal")
    monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "stderr"))
    monkeypatch.setattr(loghandle_imp, "debug", lambda msg: None)
    yield server, tmp_path / "stderr"
    server.close()


def received(server):
    server.setblocking(False)
    records = []
    while True:
        try:
            records.append(parse_native(server.recv(8 << 20)))
        except BlockingIOError:
            return records


KEYS = st.text(st.characters(codec="utf-8", exclude_categories=["Cs"]), max_size=70)
VALUES = st.one_of(st.text(), st.integers(), st.floats(), st.booleans(), st.none(), st.lists(st.integers(), max_size=3))


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(KEYS, VALUES, max_size=6), st.text())
def test_each_keyword_is_a_field_the_journal_takes(fake_journal, kwargs, message):
    """Any keyword names and values, any message: one record, parsed whole by the protocol, every
    field name one the journal accepts, each keyword's str() under its name in order."""
    server, _ = fake_journal  # drained by each example
    run_a_handler(lambda: TLogger("svc.any").warning(message, **kwargs))
    [record] = received(server)
    names = [name for name, _ in record]
    assert all(re.fullmatch(r"[A-Z0-9][A-Z0-9_]{0,63}", n) and not n[0].isdigit() for n in names)
    assert dict(record)["PRIORITY"] == b"4" and dict(record)["TARVO_LOGGER"] == b"svc.any"
    own = len(record) - len(kwargs)
    assert record[own:] == [(journal_name(k), str(v).encode("utf-8", "backslashreplace")) for k, v in kwargs.items()]
    assert all(n in PACKAGE_FIELDS or n.startswith("TARVO_") for n in names[:own])


def test_what_the_journal_does_not_take_goes_to_stderr_with_its_priority(fake_journal, monkeypatch):
    """Its socket missing: each entry's lines on stderr after its priority, and one line that says
    how many and why, at the end; nothing of it lost."""
    server, stderr = fake_journal
    monkeypatch.setattr(loghandle_imp, "JOURNAL_SOCKET", str(stderr.parent / "missing.socket"))
    lg = TLogger("svc.down")

    def log():
        lg.debug("d")
        lg.user_info("u")
        lg.error("two\nlines")
        lg.critical("c")

    run_a_handler(log)
    lines = stderr.read_text().splitlines()
    assert [line[:3] for line in lines] == ["<7>", "<5>", "<3>", "<3>", "<2>", "<3>"]
    assert lines[3] == "<3>    lines"
    assert lines[-1].endswith("4 log entries could not be sent to the journal and were written to stderr: "
                              f"FileNotFoundError: [Errno 2] No such file or directory: '{stderr.parent / 'missing.socket'}'")
    assert received(server) == []


def test_a_journal_that_stops_reading_holds_up_neither_the_loop_nor_the_close(fake_journal, monkeypatch):
    """The journal's socket full and never read: the sends wait on the output's thread while the
    loop goes on, and the close gives up after its bound, telling what was not written."""
    server, _ = fake_journal
    said = []
    monkeypatch.setattr(loghandle_imp, "debug", said.append)
    lg = TLogger("svc.flood")
    gaps = []

    async def ticker():
        last = time.monotonic()
        while True:
            await asyncio.sleep(0.01)
            gaps.append(time.monotonic() - last)
            last = time.monotonic()

    async def main():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        ticks = asyncio.ensure_future(ticker())
        for i in range(3000):
            lg.info("entry", i=i, pad="p" * 4000)
            if i % 100 == 0:
                await asyncio.sleep(0)
        started = time.monotonic()
        await h.aclose()
        ticks.cancel()
        return time.monotonic() - started

    took = asyncio.run(main())
    assert took < 30 and max(gaps) < 1.0, (took, max(gaps))
    told = [m for m in said if "the output took nothing for 5 s" in str(m)]
    assert len(told) == 1 and int(re.search(r"(\d+) log entries were not written", told[0])[1]) > 0


# A real journald.

def listening(path, kind):
    s = socket.socket(socket.AF_UNIX, kind)
    try:
        s.connect(path)
        return True
    except OSError:
        return False
    finally:
        s.close()


def journald_ready():
    return listening(JOURNAL_SOCKET, socket.SOCK_DGRAM) and listening(JOURNAL_STDOUT, socket.SOCK_STREAM)


@pytest.fixture(scope="module")
def journald():
    """systemd-journald: the one that runs, or one started here (as root) and stopped afterwards."""
    if not (shutil.which("journalctl") and shutil.which("systemd-cat")):
        pytest.skip("journalctl and systemd-cat (Debian's systemd) are not installed")
    if journald_ready():
        yield
        return
    if os.geteuid() != 0 or not os.access(JOURNALD, os.X_OK):
        pytest.skip("no systemd-journald runs here, and only root can start one")
    daemon = subprocess.Popen([JOURNALD], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 15
        while not journald_ready():
            assert daemon.poll() is None, "systemd-journald ended as it started"
            assert time.monotonic() < deadline, "systemd-journald did not open its sockets"
            time.sleep(0.05)
        yield
    finally:
        daemon.terminate()
        daemon.wait(15)


def records_of(pid, *options, expect=1):
    """The journal's records of process `pid`, once `expect` of them are there (the journal files
    datagrams and stream lines as they come)."""
    deadline = time.monotonic() + 15
    while True:
        out = subprocess.run(["journalctl", f"_PID={pid}", "-o", "json", "--all", "--no-pager", *options],
                             capture_output=True, text=True, check=True).stdout
        records = [json.loads(line) for line in out.splitlines()]
        if len(records) >= expect or time.monotonic() > deadline:
            time.sleep(0.2) if len(records) < expect else None
            return records
        time.sleep(0.1)


def run_service(tmp_path, **env):
    """journal_child.py as systemd runs a service: its stdout and stderr the journal's stream."""
    pidfile = tmp_path / "pid"
    environ = {k: v for k, v in os.environ.items() if k not in ("JOURNAL_STREAM", "TARVO_LOG_FORMAT")}
    environ.update(TARVO_LOG_FORMAT="auto", **env)
    done = subprocess.run(["systemd-cat", "-t", "journal-test", sys.executable, "-c", AS_A_SERVICE, str(CHILD),
                           str(pidfile)], env=environ, timeout=120)
    assert done.returncode == 0
    return int(pidfile.read_text())


def text(value):
    return value if isinstance(value, str) else bytes(value).decode("utf-8", "replace")


ERRORS = ["payment failed\nits second line", "user-level error", "critical state", "library error 7 request_id='r-7'"]


def test_a_service_under_systemd_logs_records_with_priorities_and_fields(journald, tmp_path):
    pid = run_service(tmp_path)
    records = records_of(pid, expect=14)
    assert all("TARVO_LOGGER" in r for r in records), "a line of the stream among the records"
    by_message = {text(r["MESSAGE"]).split(" order=")[0].split(" request_id=")[0].split("\nTraceback")[0]: r
                  for r in records}
    priorities = {m: int(r["PRIORITY"]) for m, r in by_message.items() if not m.startswith(("big", "import", "names"))}
    assert priorities == {"order received": 6, "debugging detail": 7, "user-level info": 5, "disk almost full": 4,
                          "payment failed\nits second line": 3, "user-level error": 3, "critical state": 2,
                          "library error 7": 3, "request failed": 3, "after the handler closed": 3}

    order = by_message["order received"]
    assert text(order["MESSAGE"]) == ("order received order=1001 qty=47 warehouse='eu-west' express=True _private=1 "
                                      "9lives=2 message='a keyword' two-lines='one\\ntwo'")
    assert {k: order[k] for k in ("ORDER", "QTY", "WAREHOUSE", "EXPRESS", "PRIVATE", "FIELD_9LIVES", "FIELD_MESSAGE",
                                  "TWO_LINES")} == {
        "ORDER": "1001", "QTY": "47", "WAREHOUSE": "eu-west", "EXPRESS": "True", "PRIVATE": "1", "FIELD_9LIVES": "2",
        "FIELD_MESSAGE": "a keyword", "TWO_LINES": "one\ntwo"}
    assert order["CODE_FILE"] == str(CHILD) and order["CODE_FUNC"] == "main" and order["CODE_LINE"].isdigit()
    assert (order["SYSLOG_IDENTIFIER"], order["TARVO_LOGGER"], order["TARVO_MODULE"], order["TARVO_LEVEL"],
            order["TARVO_THREAD"]) == ("journal_child.py", "svc.orders", "__main__", "INFO", "MainThread")
    assert by_message["library error 7"]["TARVO_LOGGER"] == "thirdparty.http"
    assert by_message["library error 7"]["REQUEST_ID"] == "r-7"
    assert (by_message["library error 7"]["TRACE_ID"], by_message["library error 7"]["SPAN_ID"]) == (
        "4bf92f3577b34da6a3ce929d0e0e4736", "00f067aa0ba902b7")
    assert "TRACE_ID" not in order and "SPAN_ID" not in order

    # Names that journald or journalctl would act on stay fields of the entry's own; other
    # alphabets keep their identity.
    [meaning] = [r for m, r in by_message.items() if m.startswith("names with a meaning")]
    assert {k: v for k, v in meaning.items() if k.startswith(("FIELD_", "U"))} == {
        "FIELD_OBJECT_SYSTEMD_UNIT": "sshd.service", "FIELD_MESSAGE_ID": "f" * 32, "FIELD_SYSLOG_PID": "1",
        "FIELD_ERRNO": "2", "FIELD_TRACE_ID": "forged", "U00E9": "1", "U041FU0420U0418U0412U0415U0422": "2", "U00DF": "3", "U0131D": "4"}
    assert "MESSAGE_ID" not in meaning and "ERRNO" not in meaning and "TRACE_ID" not in meaning and meaning["SYSLOG_IDENTIFIER"] == "journal_child.py"
    assert records_of(pid, "OBJECT_SYSTEMD_UNIT=sshd.service", expect=0) == []

    failed = by_message["request failed"]
    assert failed["TARVO_EXCEPTION"] == "KeyError"
    assert failed["TARVO_TRACEBACK"].startswith("Traceback (most recent call last):")
    assert failed["TARVO_TRACEBACK"].endswith("KeyError: 'body'") and failed["TARVO_TRACEBACK"] in failed["MESSAGE"]

    states = [text(r["MESSAGE"]) for r in records if r["TARVO_LOGGER"] == "svc.import"]
    assert states[0] == "import 1/40" and states[-1] == "import 40/40" and len(states) < 10  # thinned
    [big] = [r for r in records if "BLOB" in r]
    assert len(big["BLOB"]) == 1_000_000 and text(big["MESSAGE"]).startswith("big blob='xxx")

    errors = records_of(pid, "-p", "err", expect=6)
    shown = sorted(text(r["MESSAGE"]).split("\nTraceback")[0] for r in errors)
    assert shown == sorted(ERRORS + ["request failed", "after the handler closed"])


def test_without_the_journal_socket_the_stream_gets_the_priorities(journald, tmp_path):
    """The socket missing: the entries reach the journal through the stream, each line with its
    entry's priority, and the line that tells how many could not be sent."""
    pid = run_service(tmp_path, TARVO_TEST_JOURNAL_SOCKET=str(tmp_path / "missing.socket"))
    records = records_of(pid, expect=20)
    assert not any("TARVO_LOGGER" in r for r in records)
    level_of = {"DEBUG": 7, "INFO": 6, "USER_INFO": 5, "WARNING": 4, "ERROR": 3, "USER_ERROR": 3, "CRITICAL": 2}
    priority = None
    for r in records:  # an entry's first line has its level after the time; the others (the
        line = text(r["MESSAGE"])  # journal cuts the 1 MB one into pieces) its priority
        first = re.match(r"\d{4}-\S+Z (\w+) ", line)
        priority = level_of[first[1]] if first else priority
        assert int(r["PRIORITY"]) == priority, line
    told = [text(r["MESSAGE"]) for r in records if "could not be sent to the journal" in text(r["MESSAGE"])]
    assert len(told) == 1 and "FileNotFoundError" in told[0]
    errors = [text(r["MESSAGE"]) for r in records_of(pid, "-p", "err", expect=8)]
    assert any(e.endswith("payment failed") for e in errors) and "    its second line" in errors
