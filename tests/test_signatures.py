"""The public callables introspect as the same definitions written in Python do, on the running
interpreter: their annotations, inspect.signature, typing.get_type_hints, and from 3.14 on
annotationlib's formats (what functools.wraps now copies is __annotate__)."""
import inspect
import sys
import typing

import pytest

from tarvo_loghandle import config, loghandle_imp

# The definitions as Python would have them, executed among the same module globals.
HANDLER_TWIN = '''
async def pump(q: "asyncio.Queue[X]", splitter: Splitter[X]) -> None:
    pass

def linesof(s: str) -> Iterator[str]:
    yield s

class LoggingHandler:
    splitter: Optional[Splitter[LogEntry]]
    disabled: bool
    task_pump: "Task[None]"
    task_write: "Task[None]"

    def __init__(self) -> None:
        pass

    def inited(self) -> bool:
        pass

    async def init(self) -> None:
        pass

    async def aclose(self) -> None:
        pass

    def disable_stderr_writer(self) -> None:
        pass

    def enable_stderr_writer(self) -> None:
        pass

    @async_errors
    async def write_aiologs(self) -> None:
        pass
'''

CONFIG_TWIN = '''
@asynccontextmanager
async def nolog(sti: SyncTaskInterface, sc: ServiceConfig) -> AsyncIterator[None]:
    yield None

@asynccontextmanager
async def log(sti: SyncTaskInterface, sc: ServiceConfig) -> AsyncIterator[None]:
    yield None
'''


def twins(source, module):
    namespace = dict(vars(module))
    exec(compile(source, module.__file__, "exec"), namespace)
    return namespace


HANDLER = twins(HANDLER_TWIN, loghandle_imp)
CONFIG = twins(CONFIG_TWIN, config)
CALLABLES = [
    (loghandle_imp.pump, HANDLER["pump"]),
    (loghandle_imp.linesof, HANDLER["linesof"]),
    (loghandle_imp.LoggingHandler, HANDLER["LoggingHandler"]),
    *((getattr(loghandle_imp.LoggingHandler, name), getattr(HANDLER["LoggingHandler"], name))
      for name in ("__init__", "inited", "init", "aclose", "disable_stderr_writer", "enable_stderr_writer",
                   "write_aiologs")),
    (config.log, CONFIG["log"]),
    (config.nolog, CONFIG["nolog"]),
]


def introspection(f):
    seen = {
        "annotations": f.__annotations__,
        "signature": str(inspect.signature(f)),
        "bound signature": None if isinstance(f, type) else str(inspect.signature(f.__get__(object()))),
        "type hints": typing.get_type_hints(f),
    }
    if sys.version_info >= (3, 14):
        import annotationlib

        for fmt in annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING:
            seen[fmt.name] = annotationlib.get_annotations(f, format=fmt)
    return seen


@pytest.mark.parametrize("native, python", CALLABLES, ids=lambda f: getattr(f, "__qualname__", "?"))
def test_introspection_is_that_of_a_python_definition(native, python):
    assert introspection(native) == introspection(python)
