"""A service logging an entry of every kind, run as a child process by test_journal.py, its stderr
connected to the journal: `python journal_child.py PIDFILE`. TARVO_TEST_JOURNAL_SOCKET, when set,
is where the handler looks for the journal's socket."""
import asyncio
import logging
import os
import sys

from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.id_generator import RandomIdGenerator

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log, loghandle_imp
from tarvo_loghandle.context import bound
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.orders")
bar = TLogger("svc.import")
lib = logging.getLogger("thirdparty.http")


class KnownIds(RandomIdGenerator):
    def generate_trace_id(self):
        return 0x4BF92F3577B34DA6A3CE929D0E0E4736

    def generate_span_id(self):
        return 0x00F067AA0BA902B7


tracer = TracerProvider(id_generator=KnownIds()).get_tracer("journal_child")


async def main():
    async with log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd())):
        lg.info("order received", order=1001, qty=47, warehouse="eu-west", express=True,
                **{"_private": 1, "9lives": 2, "message": "a keyword", "two-lines": "one\ntwo"})
        lg.info("names with a meaning", **{"object_systemd_unit": "sshd.service", "message_id": "f" * 32,
                                            "syslog_pid": "1", "errno": "2", "trace_id": "forged", "é": 1,
                                            "ПРИВЕТ": 2, "ß": 3, "ıd": 4})
        lg.debug("debugging detail")
        lg.user_info("user-level info")
        lg.warning("disk \x1b[31malmost\x1b[0m full")
        lg.error("payment failed\nits second line")
        lg.user_error("user-level error")
        lg.critical("critical state")
        # fields bound for a block are the record's fields too, and so are the span's ids
        with bound(request_id="r-7"), tracer.start_as_current_span("request"):
            lib.error("library error %d", 7)
        try:
            {"title": "x"}["body"]
        except KeyError:
            lg.exception("request failed")
        for i in range(40):
            bar.raw_line(f"import {i + 1}/40", redraw=True)
        lg.info("big", blob="x" * 1_000_000)
    lg.error("after the handler closed")


if __name__ == "__main__":
    with open(sys.argv[1], "w") as f:
        f.write(str(os.getpid()))
    if os.environ.get("TARVO_TEST_JOURNAL_SOCKET"):
        loghandle_imp.JOURNAL_SOCKET = os.environ["TARVO_TEST_JOURNAL_SOCKET"]
    asyncio.run(main())
