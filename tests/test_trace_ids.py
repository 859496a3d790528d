"""Trace ids: an entry logged while a recording OpenTelemetry span is current carries its ids, in
every format, from TLogger and from logging, from the loop's thread and from others."""
import asyncio
import json
import logging
import os
import subprocess
import sys

import pytest
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.id_generator import IdGenerator
from opentelemetry.sdk.trace.sampling import ALWAYS_OFF

from tarvo_commons import TLogger
from tarvo_loghandle.context import bound

from support import service_log

pytest_plugins = ["tarvo_loghandle.pytest_plugin"]

TRACE_ID, SPAN_ID, CHILD_ID = 0x0AF7651916CD43DD8448EB211C80319C, 0x00F067AA0BA902B7, 0xB7AD6B7169203331
logger = TLogger("svc.traced")
records = logging.getLogger("lib.traced")


class KnownIds(IdGenerator):
    """The ids a test can name: one trace, its spans' ids in turn."""
    def __init__(self):
        self.spans = iter([SPAN_ID, CHILD_ID])

    def generate_trace_id(self):
        return TRACE_ID

    def generate_span_id(self):
        return next(self.spans)


def traced_service():
    tracer = TracerProvider(id_generator=KnownIds()).get_tracer("test")
    unsampled = TracerProvider(sampler=ALWAYS_OFF).get_tracer("test")

    async def service():
        logger.info("before any span")
        with tracer.start_as_current_span("request"):
            logger.info("in the span", user=7)
            records.info("record in the span", extra={"status": 200})
            with bound(request_id="r1"):
                await asyncio.to_thread(logger.info, "to_thread in the span")
            with tracer.start_as_current_span("child"):
                logger.info("in the child span")
            try:
                1 / 0
            except ZeroDivisionError:
                logger.exception("failed in the span")
        with unsampled.start_as_current_span("dropped"):  # a valid context, but nothing records
            logger.info("in an unsampled span")
        remote = trace.NonRecordingSpan(trace.SpanContext(TRACE_ID, SPAN_ID, is_remote=True,
                                                          trace_flags=trace.TraceFlags(1)))
        with trace.use_span(remote):
            logger.info("in a span that does not record")
        logger.info("after the spans", trace_id="own field")
    return service


def run(tmp_path, monkeypatch, fmt):
    return service_log(tmp_path, monkeypatch, fmt, traced_service(), records)


def test_entries_in_a_recording_span_carry_its_ids_in_json(tmp_path, monkeypatch):
    lines = run(tmp_path, monkeypatch, "json").splitlines()
    entries = {e["message"]: e for e in map(json.loads, lines)}
    ids = {"trace_id": "0af7651916cd43dd8448eb211c80319c", "span_id": "00f067aa0ba902b7", "trace_flags": "01"}
    for message in ("in the span", "record in the span", "to_thread in the span", "failed in the span"):
        assert {k: entries[message].get(k) for k in ids} == ids, message
    assert entries["in the child span"]["span_id"] == "b7ad6b7169203331"
    # the ids are the entry's own, not keyword values
    assert entries["in the span"]["fields"] == {"user": 7}
    assert entries["record in the span"]["fields"] == {"status": 200}
    assert entries["to_thread in the span"]["fields"] == {"request_id": "r1"}
    assert entries["failed in the span"]["exception"]["type"] == "ZeroDivisionError"
    for message in ("before any span", "in an unsampled span", "in a span that does not record", "after the spans"):
        assert not {"trace_id", "span_id", "trace_flags"} & entries[message].keys(), message
    assert entries["after the spans"]["fields"] == {"trace_id": "own field"}


@pytest.mark.parametrize("fmt", ["plain", "terminal"])
def test_the_text_formats_show_the_ids_in_plain_and_none_on_the_terminal(tmp_path, monkeypatch, fmt):
    lines = run(tmp_path, monkeypatch, fmt).splitlines()
    line = next(x for x in lines if "in the span" in x and "record" not in x and "to_thread" not in x)
    shown = "trace_id=0af7651916cd43dd8448eb211c80319c span_id=00f067aa0ba902b7"
    if fmt == "plain":
        assert line.endswith(f" in the span user=7 {shown}")
        failed = lines.index(next(x for x in lines if "failed in the span" in x))
        assert lines[failed].endswith(shown) and lines[failed + 1].strip().startswith("Traceback")
        assert sum(shown in x for x in lines) == 4
    else:
        assert "user=7" in line and not any("trace_id=" in x and "own field" not in x for x in lines)
    assert "span_id=" not in next(x for x in lines if "before any span" in x)


def test_the_fixture_gives_each_entry_its_trace(log_entries, tmp_path, monkeypatch):
    run(tmp_path, monkeypatch, "json")
    by_message = {e.message: e for e in log_entries.entries}
    traced = by_message["in the span"].trace
    assert (traced.trace_id, traced.span_id, traced.trace_flags) == (
        "0af7651916cd43dd8448eb211c80319c", "00f067aa0ba902b7", "01")
    assert by_message["in the span"].fields == {"user": 7}
    assert by_message["in the child span"].trace.span_id == "b7ad6b7169203331"
    assert by_message["before any span"].trace is None and by_message["in an unsampled span"].trace is None


def test_without_opentelemetry_imported_nothing_of_it_is_imported():
    child = ("import asyncio, sys\n"
             "from tarvo_commons import TLogger\n"
             "from tarvo_loghandle import loghandle_imp\n"
             "async def main():\n"
             "    h = loghandle_imp.LoggingHandler()\n"
             "    await h.init()\n"
             "    TLogger('svc').info('an entry', n=1)\n"
             "    await h.aclose()\n"
             "asyncio.run(main())\n"
             "print(sorted(m for m in sys.modules if m.startswith('opentelemetry')))\n")
    env = {**os.environ, "TARVO_LOG_FORMAT": "json"}
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]" and '"message":"an entry"' in done.stderr
