"""The log handler: LoggingHandler, with the queue pump, the stderr writer and the rendering of entries."""
import asyncio as asyncio
import math as math
import os as os
import sys as sys
import termcolor as termcolor
import time as time
import traceback as traceback
from asyncio import CancelledError as CancelledError
from asyncio import StreamWriter as StreamWriter
from asyncio import get_running_loop as get_running_loop
from asyncio.tasks import Task as Task
from types import ModuleType
from typing import Any as Any
from typing import Callable
from typing import Iterator as Iterator
from typing import Optional as Optional
from typing import Tuple as Tuple
from typing import TypeVar as TypeVar

from tarvo_commons.logs import LogEntry as LogEntry
from tarvo_commons.logs import TLogger as TLogger
from tarvo_commons.logs import get_as_strings as get_as_strings
from tarvo_commons.logs import get_min_level as get_min_level
from tarvo_commons.text import indent as indent
from tarvo_commons.ui import get_colorize_function as get_colorize_function
from tarvo_utils_asyncio import Splitter as Splitter
from tarvo_utils_asyncio import SplitterBadFinish as SplitterBadFinish
from tarvo_utils_asyncio import async_errors as async_errors
from tarvo_utils_asyncio import debug as debug
from tarvo_utils_asyncio import my_create_task as my_create_task
from tarvo_utils_asyncio import queue_get_multiple as queue_get_multiple
from tarvo_utils_asyncio.logentry import add_color as add_color
from tarvo_utils_asyncio.logentry import color_function as color_function
from tarvo_utils_asyncio.logentry import color_gray as color_gray
from tarvo_utils_asyncio.logentry import color_module as color_module
from tarvo_utils_asyncio.logentry import color_red as color_red
from tarvo_utils_asyncio.logentry import format_logentry_prefix as format_logentry_prefix

aiofiles: ModuleType

__all__ = ["LoggingHandler"]

ENV_LOG_STDERR: str
STDERR: str
color_raw_line: Callable[[str], str]
X = TypeVar("X")

async def pump(q: asyncio.Queue[X], splitter: Splitter[X]) -> None: ...

class LoggingHandler:
    splitter: Optional[Splitter[LogEntry]]
    disabled: bool
    task_pump: Task[None]
    task_write: Task[None]
    def __init__(self) -> None: ...
    def inited(self) -> bool: ...
    async def init(self) -> None: ...
    async def aclose(self) -> None: ...
    def disable_stderr_writer(self) -> None: ...
    def enable_stderr_writer(self) -> None: ...
    async def write_aiologs(self) -> None: ...

def linesof(s: str) -> Iterator[str]: ...

LOG_FORMAT: Optional[str]
JOURNAL_SOCKET: str
