"""Asynchronous utilities of the tarvo family."""
import asyncio
import collections
import functools
import os
import sys
import time
import traceback
import weakref
from typing import Any, Awaitable, Callable, Coroutine, Dict, Generic, List, Optional, TypeVar

T = TypeVar("T")

__all__ = [
    "async_errors",
    "debug",
    "reread_debug_target",
    "my_create_task",
    "queue_get_multiple",
    "Splitter",
    "SplitterBadFinish",
    "SyncTaskInterface",
]


def _debug_target() -> Optional[str]:
    return os.environ.get("TARVO_DEBUG") or None


# Where diagnostics go, read from the environment when the library is imported: `debug` runs for
# every log entry, and costs nothing more than this test while diagnostics are off.
_target: Optional[str] = _debug_target()


def reread_debug_target() -> None:
    """Takes TARVO_DEBUG anew from the environment (for a program that sets it after import)."""
    global _target
    _target = _debug_target()


def debug(msg: str) -> None:
    """Diagnostics of the family's own machinery. Silent unless TARVO_DEBUG was set when the library
    was imported: to "1" they go to standard output, otherwise to the file it names; never to
    standard error, the log's output."""
    target = _target
    if target is None:
        return
    line = f"[debug {time.strftime('%H:%M:%S')}] {msg}\n"
    if target == "1":
        sys.stdout.write(line)
        sys.stdout.flush()
    else:
        with open(target, "a", encoding="utf-8", errors="backslashreplace") as f:
            f.write(line)


def async_errors(f: Callable[..., Awaitable[T]]) -> Callable[..., Awaitable[T]]:
    """Reports an exception that ends the coroutine through `debug`, then lets it propagate."""

    @functools.wraps(f)
    async def wrapper(*args: Any, **kwargs: Any) -> T:
        try:
            return await f(*args, **kwargs)
        except asyncio.CancelledError:
            raise
        except BaseException:
            debug(f"{f.__qualname__} failed: {traceback.format_exc()}")
            raise

    return wrapper


def my_create_task(coro: Coroutine[Any, Any, T], name: str) -> "asyncio.Task[T]":
    return asyncio.get_running_loop().create_task(coro, name=name)


async def queue_get_multiple(q: "asyncio.Queue[T]", max_items: int = 500) -> List[T]:
    """Waits for one item, then takes what else is already there, up to `max_items`.

    Each call gives the loop a turn, also when items are waiting: a reader that drains a backlog
    batch by batch lets other tasks run between its batches."""
    if q.empty():
        items = [await q.get()]
    else:
        await asyncio.sleep(0)
        items = [q.get_nowait()] if not q.empty() else [await q.get()]
    take = q.get_nowait
    for _ in range(min(q.qsize(), max_items - 1)):  # nobody else takes from the queue meanwhile
        items.append(take())
    return items


class SplitterBadFinish(Exception):
    """The stream of a splitter ended with an error; the argument is its text."""


_END = object()
_splitters: "weakref.WeakSet[Splitter[Any]]" = weakref.WeakSet()


def pending_items() -> int:
    """Items pushed into live splitters that their subscribers have not taken yet: how far the
    readers are behind. Read from any thread (a gauge, not an exact count)."""
    total = 0
    for splitter in list(_splitters):
        for sub in list(splitter.subscribers.values()):
            total += sub.queue.qsize()
    return total


class Inbox(collections.deque):  # type: ignore[type-arg]
    """What a subscriber has not read yet, in order; `qsize()` is how much that is."""

    __slots__ = ("waiter",)
    qsize = collections.deque.__len__

    def __init__(self) -> None:
        super().__init__()
        self.waiter: "Optional[asyncio.Future[None]]" = None

    def put_nowait(self, item: Any) -> None:
        self.append(item)
        if self.waiter is not None:
            self.wake()

    def wake(self) -> None:
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    async def wait(self) -> None:
        """Until something is put."""
        self.waiter = asyncio.get_running_loop().create_future()
        try:
            await self.waiter
        finally:
            self.waiter = None


class Subscriber(Generic[T]):
    def __init__(self, sub_id: str):
        self.sub_id = sub_id
        self.queue = Inbox()


class Splitter(Generic[T]):
    """Fans items out to subscribers. Each subscriber reads chunks of (time, item) pairs; one that
    subscribes late first gets the retained history, so nothing pushed before it came is lost.

    The history serves subscribers that come late. Until the first one came, every item younger
    than `prune_age_s` is kept for it, however many (they are the items it must not miss); once
    there are subscribers, which got every item, only the last `prune_if_bigger` items are kept,
    and a late subscriber gets those younger than `prune_age_s`."""

    def __init__(self, item_type: type, name: str, prune_if_bigger: int, prune_age_s: float, max_size: int):
        self.item_type = item_type
        self.name = name
        self.prune_if_bigger = prune_if_bigger
        self.prune_age_s = prune_age_s
        self.max_size = max_size
        self.subscribers: Dict[str, Subscriber[T]] = {}
        self.history: Any = []  # a list until the first subscriber, then a bounded deque
        self._prune_at = prune_if_bigger  # history length at which old items are looked for
        self.finished: Optional[Any] = None  # _END, or the error text
        _splitters.add(self)
        self.closed = False

    @classmethod
    async def make_init(cls, item_type: type, name: str, prune_if_bigger: int = 100, prune_age_s: float = 30,
                        max_size: int = 100) -> "Splitter[T]":
        return cls(item_type, name, prune_if_bigger, prune_age_s, max_size)

    def push(self, item: T) -> None:
        if self.finished is not None:
            raise RuntimeError(f"splitter {self.name}: push after finish")
        pair = (time.monotonic(), item)
        self.history.append(pair)
        for sub in self.subscribers.values():
            inbox = sub.queue
            inbox.append(pair)
            if inbox.waiter is not None:
                inbox.wake()
        if len(self.history) > self._prune_at:
            self._prune()

    def _prune(self) -> None:
        """Before the first subscriber: drops the items older than `prune_age_s`; looked for again
        once another `prune_if_bigger` items came, so a push costs no search."""
        limit = time.monotonic() - self.prune_age_s
        drop = 0
        while drop < len(self.history) and self.history[drop][0] < limit:
            drop += 1
        del self.history[:drop]
        self._prune_at = len(self.history) + self.prune_if_bigger

    def _end(self, marker: Any) -> None:
        self.finished = marker
        for sub in self.subscribers.values():
            sub.queue.put_nowait(marker)

    async def finish(self) -> None:
        self._end(_END)

    async def finish_error(self, msg: str) -> None:
        self._end(msg)

    async def read_packets(self, sub_id: str):
        if sub_id in self.subscribers:
            raise ValueError(f"splitter {self.name}: {sub_id!r} is subscribed already")
        sub: Subscriber[T] = Subscriber(sub_id)
        inbox = sub.queue
        if isinstance(self.history, list):  # the first subscriber: every item kept for it
            inbox.extend(self.history)
            self.history = collections.deque(self.history, maxlen=self.prune_if_bigger)
            self._prune_at = sys.maxsize
        else:
            limit = time.monotonic() - self.prune_age_s
            inbox.extend(pair for pair in self.history if pair[0] >= limit)
        if self.finished is not None:
            inbox.append(self.finished)
        self.subscribers[sub_id] = sub
        try:
            while True:
                if inbox:  # a backlog: one chunk per turn of the loop
                    await asyncio.sleep(0)
                else:
                    await inbox.wait()
                take = inbox.popleft
                chunk = [take() for _ in range(min(len(inbox), self.max_size))]
                # the end marker is the last thing ever put in an inbox
                end = chunk[-1] if chunk and not isinstance(chunk[-1], tuple) else None
                if end is not None:
                    del chunk[-1]
                if chunk:
                    yield chunk
                if end is _END:
                    return
                if end is not None:
                    raise SplitterBadFinish(end)
        finally:
            self.subscribers.pop(sub_id, None)

    async def aclose(self) -> None:
        self.closed = True
        self.subscribers.clear()
        self.history.clear()


class SyncTaskInterface:
    """How a service's tasks offer interfaces to each other: a provider is a coroutine function
    registered under a key; whoever asks for the key awaits it."""

    def __init__(self) -> None:
        self._providers: Dict[str, Callable[["SyncTaskInterface"], Awaitable[Any]]] = {}

    async def set_interface_gen(self, key: str, gen: Callable[["SyncTaskInterface"], Awaitable[Any]]) -> None:
        self._providers[key] = gen

    async def get_interface(self, key: str) -> Any:
        return await self._providers[key](self)
