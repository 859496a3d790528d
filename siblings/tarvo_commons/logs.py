"""The family's logger: TLogger builds LogEntry objects and puts them on one process-wide queue."""
import asyncio
import os
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Dict, FrozenSet, List, Optional, Tuple

LEVELS: Dict[str, int] = {
    "DEBUG": 10,
    "INFO": 20,
    "USER_INFO": 25,
    "WARNING": 30,
    "ERROR": 40,
    "USER_ERROR": 45,
    "CRITICAL": 50,
}

# Minimum level per dotted prefix; the longest matching prefix wins, "" is the default.
_min_levels: Dict[str, int] = {"": LEVELS["DEBUG"]}
# What get_min_level found per prefix tuple: it is asked for every entry.
_found: Dict[Tuple[str, ...], int] = {}


def set_min_level(prefix: str, level: str) -> None:
    """Entries whose dotted name starts with `prefix` and whose level is below `level` are dropped."""
    _min_levels[prefix] = LEVELS[level]
    _found.clear()


def _longest_match(prefix: Tuple[str, ...]) -> int:
    name = ".".join(prefix)
    best = ""
    for p in _min_levels:
        if (name == p or name.startswith(p + ".") or p == "") and len(p) >= len(best):
            best = p
    return _min_levels[best]


def get_min_level(prefix: Tuple[str, ...], module: str) -> int:
    try:
        return _found[prefix]
    except KeyError:
        level = _found[prefix] = _longest_match(prefix)
        return level
    except TypeError:  # a prefix that is no tuple
        return _longest_match(prefix)


@dataclass(slots=True)
class StackInfo:
    filename: str
    func_name: str
    lineno: int = 0


# Slotted: a flood keeps many entries in flight at once, and each one costs memory and collector time.
# Compared by identity: an entry is one event, and a reader that looks for a marker among them
# (the log handler's pump does, for every item) should not compare their fields.
@dataclass(slots=True, eq=False)
class LogEntry:
    msg: Optional[str]
    timestamp: float
    level: str
    prefix: Tuple[str, ...]
    module: str
    tags: FrozenSet[str] = frozenset()
    kwargs: Dict[str, Any] = field(default_factory=dict)
    stack_info: StackInfo = field(default_factory=lambda: StackInfo("", ""))
    # The exception logged with the entry (exc_info), shown with its traceback; or None.
    exception: Optional[BaseException] = None
    # The name of the thread that logged it.
    thread: Optional[str] = None


def get_as_strings(msg: Optional[str], kwargs: Dict[str, Any]) -> str:
    """The message followed by its keyword values, `key=value`, one space apart."""
    parts = [] if msg is None else [str(msg)]
    parts.extend(f"{k}={v!r}" for k, v in kwargs.items())
    return " ".join(parts)


_NO_TAGS: FrozenSet[str] = frozenset()
_RAW: FrozenSet[str] = frozenset({"raw_line"})
_REDRAWN: FrozenSet[str] = frozenset({"raw_line", "redraw"})
# One StackInfo per code location (a line of a function), shared by its entries.
_stack_infos: Dict[Any, StackInfo] = {}


def _exception_of(exc_info: Any) -> Optional[BaseException]:
    """What `exc_info` says, as the standard library reads it: True for the exception being
    handled, an exception itself, or a (type, value, traceback) tuple."""
    if not exc_info:
        return None
    if isinstance(exc_info, BaseException):
        return exc_info
    if isinstance(exc_info, tuple):
        return exc_info[1]
    return sys.exc_info()[1]


class _Handoff:
    """Entries from other threads reach the loop in batches: the first entry of a batch schedules
    one thread-safe call, which moves every entry waiting by then onto the queue, in order. Anything
    scheduled later with the loop's thread-safe call (the handler's end marker) runs after it."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.waiting: Dict[Any, List[LogEntry]] = {}

    # A thread that logs while the log is this far behind waits, at most `max_wait_s` per entry, until
    # it is back under `resume_at`: a flood from threads costs bounded memory, and the loop gets the
    # GIL to catch up. The loop's own thread never waits.
    high_water = 20000
    resume_at = 10000
    max_wait_s = 1.0

    def behind(self, q: "asyncio.Queue[Any]") -> int:
        from tarvo_utils_asyncio import pending_items

        with self.lock:
            waiting = sum(len(b) for b in self.waiting.values())
        return q.qsize() + waiting + pending_items()

    def send(self, loop: asyncio.AbstractEventLoop, q: "asyncio.Queue[Any]", entry: LogEntry) -> None:
        if self.behind(q) > self.high_water:
            deadline = time.monotonic() + self.max_wait_s
            while self.behind(q) > self.resume_at and time.monotonic() < deadline and loop.is_running():
                time.sleep(0.001)
        with self.lock:
            batch = self.waiting.get(q)
            if batch is not None:
                batch.append(entry)
                return
            self.waiting[q] = [entry]
        loop.call_soon_threadsafe(self.deliver, q)

    def deliver(self, q: "asyncio.Queue[Any]") -> None:
        with self.lock:
            batch = self.waiting.pop(q, [])
        for entry in batch:
            q.put_nowait(entry)


_handoff = _Handoff()


class _EndOfQueue:
    def __repr__(self) -> str:
        return "<end of log queue>"


class _LoggerClass(type):
    """Remembers the loop that installs a queue (a handler's init runs in it): entries from other
    threads are handed to that loop, whether or not a reader has waited on the queue yet."""

    def __setattr__(cls, name: str, value: Any) -> None:
        if name == "queue":
            try:
                type.__setattr__(cls, "_queue_loop", asyncio.get_running_loop())
            except RuntimeError:
                type.__setattr__(cls, "_queue_loop", None)
        type.__setattr__(cls, name, value)


class TLogger(metaclass=_LoggerClass):
    queue: "asyncio.Queue[Any]" = asyncio.Queue()
    _queue_loop: Optional[asyncio.AbstractEventLoop] = None
    queue_sentinel_eof = _EndOfQueue()
    enable_simple = True
    USER_ERROR = "USER_ERROR"
    USER_INFO = "USER_INFO"

    def __init__(self, name: str):
        self.name = name
        self.prefix = tuple(name.split("."))

    @classmethod
    def level_from_level_name(cls, level: str) -> int:
        return LEVELS[level]

    def log(self, level: str, msg: Any, *, tags=(), exc_info: Any = None, _depth: int = 1, **kwargs: Any) -> LogEntry:
        return self._emit(level, msg, frozenset(tags) if tags else _NO_TAGS, kwargs, _depth + 1, exc_info)

    def _emit(self, level: str, msg: Any, tags: FrozenSet[str], kwargs: Dict[str, Any], depth: int,
              exc_info: Any = None) -> LogEntry:
        """Builds the entry of a call made `depth` frames up and puts it on the queue."""
        frame = sys._getframe(depth)
        code = frame.f_code
        key = (code, frame.f_lineno)
        info = _stack_infos.get(key)
        if info is None:
            info = _stack_infos[key] = StackInfo(code.co_filename, code.co_name, frame.f_lineno)
        entry = LogEntry(msg, time.time_ns() / 1e9, level, self.prefix, frame.f_globals.get("__name__", "?"), tags,
                         kwargs, info, _exception_of(exc_info), threading.current_thread().name)
        TLogger.put(entry)
        return entry

    @classmethod
    def put(cls, entry: LogEntry) -> None:
        """Puts a ready-made entry on the queue, from any thread: in the order in which the thread
        logs, whether through a TLogger or this way (the standard library's records do)."""
        # Producers may live on other threads; the queue belongs to the loop that reads it. A queue
        # that offers put_threadsafe (the log handler's) takes entries from any thread itself.
        q = TLogger.queue
        put = getattr(q, "put_threadsafe", None)
        if put is not None:
            put(entry)
            return
        if asyncio._get_running_loop() is None:
            loop = TLogger._queue_loop or getattr(q, "_loop", None)
            if loop is not None and loop.is_running():
                _handoff.send(loop, q, entry)
                return
        elif _handoff.waiting:
            _handoff.deliver(q)  # what other threads logged before this entry comes before it
        q.put_nowait(entry)

    def debug(self, msg: Any, *, exc_info: Any = None, **kw: Any) -> LogEntry:
        return self._emit("DEBUG", msg, _NO_TAGS, kw, 2, exc_info)

    def info(self, msg: Any, *, exc_info: Any = None, **kw: Any) -> LogEntry:
        return self._emit("INFO", msg, _NO_TAGS, kw, 2, exc_info)

    def warning(self, msg: Any, *, exc_info: Any = None, **kw: Any) -> LogEntry:
        return self._emit("WARNING", msg, _NO_TAGS, kw, 2, exc_info)

    def error(self, msg: Any, *, exc_info: Any = None, **kw: Any) -> LogEntry:
        return self._emit("ERROR", msg, _NO_TAGS, kw, 2, exc_info)

    def exception(self, msg: Any, *, exc_info: Any = True, **kw: Any) -> LogEntry:
        """An error with the exception being handled (as the standard library's exception())."""
        return self._emit("ERROR", msg, _NO_TAGS, kw, 2, exc_info)

    def critical(self, msg: Any, *, exc_info: Any = None, **kw: Any) -> LogEntry:
        return self._emit("CRITICAL", msg, _NO_TAGS, kw, 2, exc_info)

    def user_info(self, msg: Any, *, exc_info: Any = None, **kw: Any) -> LogEntry:
        return self._emit(self.USER_INFO, msg, _NO_TAGS, kw, 2, exc_info)

    def user_error(self, msg: Any, *, exc_info: Any = None, **kw: Any) -> LogEntry:
        return self._emit(self.USER_ERROR, msg, _NO_TAGS, kw, 2, exc_info)

    def raw_line(self, msg: Any, *, redraw: bool = False, level: str = "INFO") -> LogEntry:
        """A line shown as it is; with `redraw`, each such line overwrites the one before (progress bars)."""
        return self._emit(level, msg, _REDRAWN if redraw else _RAW, {}, 2)

    # A module's announcements of its loading are diagnostics of the family (debug, silent unless
    # TARVO_DEBUG asks for them), not entries of the service's log: importing a module logs nothing.
    def hello_module(self, name: str, filename: str, version: str, date: str) -> None:
        from tarvo_utils_asyncio import debug

        debug(f"module {name} {version} ({date}) loading from {filename}")

    def hello_module_finished(self, name: str) -> None:
        from tarvo_utils_asyncio import debug

        debug(f"module {name} loaded")


def _env_levels() -> None:
    """TARVO_LOG_LEVELS="tarvo.demo=INFO,other=warning": level names in any case. A malformed item or
    an unknown name is refused at import with one error that says what is wrong."""
    for item in filter(None, (i.strip() for i in os.environ.get("TARVO_LOG_LEVELS", "").split(","))):
        prefix, eq, level = item.partition("=")
        name = level.strip().upper()
        if not eq or name not in LEVELS:
            raise ValueError(
                f"TARVO_LOG_LEVELS: cannot read the item {item!r}: write PREFIX=LEVEL, the level one of "
                f"{', '.join(LEVELS)} (in any case), items separated by commas")
        set_min_level(prefix.strip(), name)


_env_levels()
