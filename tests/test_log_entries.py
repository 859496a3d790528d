"""The pytest plugin's fixture, as a service's own tests use it: the demo service run twice, each
test with its own event loop and its own log() block, and entries logged with no handler running."""
import asyncio
import importlib.util
import pathlib
import sys

import pytest

from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp
from tarvo_loghandle.context import bound

pytest_plugins = ["tarvo_loghandle.pytest_plugin"]

DEMO = pathlib.Path(__file__).resolve().parent.parent / "demo" / "service.py"
demo_module = importlib.util.spec_from_file_location("demo_service", DEMO)
service = importlib.util.module_from_spec(demo_module)
demo_module.loader.exec_module(service)


@pytest.fixture
def quiet(monkeypatch, tmp_path):
    monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "stderr"))
    return tmp_path / "stderr"


def test_the_demo_service_as_its_tests_see_it(log_entries, quiet):
    asyncio.run(service.main())
    by_message = {e.message: e for e in log_entries.entries}
    order = by_message["order received"]
    assert (order.level, order.logger, order.module) == ("INFO", "demo.service", "demo_service")
    assert order.fields == {"order": 1001, "qty": 47, "warehouse": "eu-west", "express": True}
    assert order.context == {} and order.exception is None and order.time > 0
    # Python's logging, from a worker thread, with the record's message made
    record = by_message["warming 128 entries in a worker thread"]
    assert (record.level, record.logger) == ("INFO", "thirdparty.cache")
    failed = by_message["cannot parse document 7"]
    assert failed.level == "ERROR" and isinstance(failed.exception, KeyError)
    # what was logged while the output was paused is what the service logged, shown or not
    assert "this line is logged while the output is paused and is not shown" in by_message
    messages = log_entries.messages()
    assert messages[0] == "demo service starting" and messages[-1] == "demo service done"
    assert "order received" in quiet.read_text()  # the block's handler wrote as always


def test_a_second_run_on_a_loop_of_its_own_with_bound_fields(log_entries, quiet):
    logger = TLogger("svc.before")
    logger.warning("before any handler", step=0)  # no handler runs: captured all the same
    with bound(run="second"):
        asyncio.run(service.main())
    first = log_entries.entries[0]
    assert (first.message, first.fields, first.context) == ("before any handler", {"step": 0}, {})
    by_message = {e.message: e for e in log_entries.entries}
    order = by_message["order received"]
    # the bound field is the entry's context, apart from its own keyword values
    assert order.context == {"run": "second"} and "run" not in order.fields
    # a thread of its own: without the context, unless threads start with their starter's (3.14t)
    inherited = {"run": "second"} if getattr(sys.flags, "thread_inherit_context", 0) else {}
    assert by_message["warming 128 entries in a worker thread"].context == inherited
    assert log_entries.messages().count("order received") == 1  # nothing of the first test's
