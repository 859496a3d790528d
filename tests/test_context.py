"""Fields bound for a context: where they reach, where they do not, and what every format shows."""
import asyncio
import json
import logging
import sys
import threading

import pytest

from tarvo_commons import TLogger
from tarvo_loghandle.context import bind, bound, carry, current, unbind

from support import service_log

logger = TLogger("svc.ctx")
records = logging.getLogger("lib.ctx")


async def a_service():
    """Logs from tasks, threads and logging, each line naming what it expects to carry."""
    loop = asyncio.get_running_loop()
    bind(service="billing")

    async def request(rid, started):
        with bound(request_id=rid):
            logger.info(f"request {rid}", step=1)
            started.set()
            await asyncio.sleep(0.01)
            # a task created inside the block inherits the fields; what it binds stays its own
            async def child():
                bind(child=True)
                logger.info(f"child of {rid}")
            await asyncio.create_task(child())
            records.info(f"record in {rid}", extra={"status": 200})
        logger.info(f"after the block of {rid}")

    s1, s2 = asyncio.Event(), asyncio.Event()
    await asyncio.gather(request("r1", s1), request("r2", s2))

    items = ["a"]
    with bound(items=items, step="bound"):
        logger.info("own value wins", step="own")
        items.append("b")  # after the entry was logged: not shown
        bind(items=["rebound"])  # nor this, before the writer runs
    logger.info("bound ones given back")

    with bound(job="j7"):
        await asyncio.to_thread(logger.info, "to_thread")
        await loop.run_in_executor(None, carry(logger.info), "executor with carry")
        await loop.run_in_executor(None, logger.info, "executor without carry")
        t = threading.Thread(target=carry(lambda: records.warning("thread with carry")))
        t.start()
        t.join()
        t = threading.Thread(target=lambda: logger.info("thread without carry"))
        t.start()
        t.join()
    unbind("service", "never bound")
    logger.info("unbound")
    assert current() == {}


def run(tmp_path, monkeypatch, fmt):
    async def service():
        # a task of its own, as a service's request handler is: what it binds stays in it
        await asyncio.create_task(a_service())
        assert current() == {}

    return service_log(tmp_path, monkeypatch, fmt, service, records)


def test_bound_fields_reach_what_runs_in_their_context_and_nothing_else(tmp_path, monkeypatch):
    entries = {e["message"]: e["fields"] for e in map(json.loads, run(tmp_path, monkeypatch, "json").splitlines())}
    billing = {"service": "billing"}
    for rid in ("r1", "r2"):  # sibling tasks: each its own request_id
        assert entries[f"request {rid}"] == {"step": 1, **billing, "request_id": rid}
        assert entries[f"child of {rid}"] == {**billing, "request_id": rid, "child": True}
        assert entries[f"record in {rid}"] == {"status": 200, **billing, "request_id": rid}
        assert entries[f"after the block of {rid}"] == billing
    assert list(entries["own value wins"].items()) == [("step", "own"), ("service", "billing"), ("items", ["a"])]
    assert entries["bound ones given back"] == billing
    job = {**billing, "job": "j7"}
    assert entries["to_thread"] == job
    assert entries["executor with carry"] == job
    assert entries["thread with carry"] == job
    if getattr(sys.flags, "thread_inherit_context", 0):
        # a thread starts in a copy of its starter's context (3.14t's default): a pool's thread
        # keeps the one it started in, whatever was bound at the submission
        assert entries["thread without carry"] == job
    else:
        assert entries["executor without carry"] == {}
        assert entries["thread without carry"] == {}
    assert entries["unbound"] == {}


@pytest.mark.parametrize("fmt", ["plain", "terminal"])
def test_bound_fields_follow_the_entrys_own_in_the_text_formats(tmp_path, monkeypatch, fmt):
    lines = run(tmp_path, monkeypatch, fmt).splitlines()
    line = next(x for x in lines if "request r1" in x)
    assert line.index("step=1") < line.index("service=") < line.index("request_id=")
    assert "request_id=" not in next(x for x in lines if "after the block of r1" in x)


def test_bind_and_bound_refuse_what_is_not_a_field():
    with pytest.raises(TypeError):
        bind("positional")
    with pytest.raises(TypeError):
        bound({"a": 1})
    with pytest.raises(TypeError):
        unbind(3)
    with pytest.raises(TypeError):
        carry(None)
    block = bound(a=1)
    with block:
        with pytest.raises(RuntimeError):
            block.__enter__()
        assert current() == {"a": 1}
    assert current() == {}
