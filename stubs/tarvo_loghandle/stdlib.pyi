"""Python's logging in the same stream: RecordHandler turns the standard library's records into log entries."""
import logging as logging

from tarvo_commons.logs import LogEntry as LogEntry
from tarvo_commons.logs import StackInfo as StackInfo
from tarvo_commons.logs import TLogger as TLogger
from tarvo_commons.logs import get_min_level as get_min_level

__all__ = ["RecordHandler", "AUTO_CONNECT", "TAKE_CONSOLE_HANDLERS", "CATCH_UNCAUGHT"]

class RecordHandler(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None: ...

AUTO_CONNECT: bool
TAKE_CONSOLE_HANDLERS: bool
CATCH_UNCAUGHT: bool
