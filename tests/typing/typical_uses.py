"""Typical uses of tarvo_loghandle, which mypy --strict must accept."""
import asyncio
import logging

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_utils_asyncio import SyncTaskInterface

import tarvo_loghandle
from tarvo_loghandle import LoggingHandler, log, nolog
from tarvo_loghandle.loghandle_imp import STDERR, linesof
from tarvo_loghandle.stdlib import RecordHandler

logger = TLogger("myservice.worker")


async def service(sti: SyncTaskInterface, sc: ServiceConfig) -> None:
    async with log(sti, sc) as nothing:
        assert nothing is None
        logger.info("started", port=8080)
        logger.raw_line("[###.....] 30%", redraw=True)
    async with nolog(sti, sc):
        pass


async def by_hand() -> bool:
    handler = LoggingHandler()
    await handler.init()
    handler.disable_stderr_writer()
    handler.enable_stderr_writer()
    started: bool = handler.inited()
    await handler.aclose()
    return started


def own_logging_setup() -> None:
    tarvo_loghandle.stdlib.AUTO_CONNECT = False
    logging.basicConfig(level=logging.INFO, handlers=[RecordHandler()])
    logger.exception("failed", exc_info=ValueError("x"))
    logger.critical("down")


def main() -> None:
    version: str = tarvo_loghandle.__version__
    path: str = STDERR
    parts: list[str] = list(linesof("a\nb"))
    print(version, path, parts)
    asyncio.run(service(SyncTaskInterface(), ServiceConfig(working_dir=".")))
    print(asyncio.run(by_hand()))
