"""The package's pytest plugin: the fixture log_entries, the entries a test logs."""
from typing import Any, NamedTuple

import pytest as pytest

from tarvo_loghandle.context import TraceIds

__all__ = ["log_entries", "LogEntries", "CapturedEntry"]

class CapturedEntry(NamedTuple):
    level: str
    logger: str
    message: Any
    fields: dict[str, Any]
    context: dict[str, Any]
    exception: BaseException | None
    module: str
    time: float
    trace: TraceIds | None

class LogEntries:
    entries: list[CapturedEntry]
    def messages(self) -> list[Any]: ...
    def close(self) -> None: ...

@pytest.fixture
def log_entries(request: pytest.FixtureRequest) -> LogEntries: ...
