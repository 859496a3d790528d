"""A small service that runs under tarvo_loghandle, to show what the handler draws on stderr.

Run it with `./run demo`. Several tasks log from different modules and functions; a download
draws a progress bar redrawn in place; user-level lines stand bare; output is paused and
resumed; a library logs through Python's logging, from a thread too; an error is logged with its
traceback; leaving `log` flushes every line."""
import asyncio
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from parts import cache, fetcher, indexer  # noqa: E402

from tarvo_commons import TLogger  # noqa: E402
from tarvo_kivo_interfaces import SERVICE_LOG, ServiceConfig  # noqa: E402
from tarvo_loghandle import log  # noqa: E402
from tarvo_utils_asyncio import SyncTaskInterface  # noqa: E402

logger = TLogger("demo.service")


async def run(sti: SyncTaskInterface) -> None:
    logger.user_info("demo service starting")
    logger.info("configuration loaded", workers=2)
    cache.warm_up(128)
    logger.info("order received", order=1001, qty=47, warehouse="eu-west", express=True)

    await fetcher.fetch("dataset.tar", 400)
    await asyncio.gather(indexer.index([f"doc{i}" for i in range(4)]), fetcher.fetch("model.bin", 200))

    handler = await sti.get_interface(SERVICE_LOG)
    logger.info("pausing the log output for a moment")
    await asyncio.sleep(0.05)
    handler.disable_stderr_writer()
    logger.info("this line is logged while the output is paused and is not shown")
    await asyncio.sleep(0.05)
    handler.enable_stderr_writer()
    logger.info("log output resumed")

    await indexer.parse_broken()
    logger.user_error("document 7 was skipped")
    logger.user_info("demo service done")


async def main() -> None:
    sti = SyncTaskInterface()
    async with log(sti, ServiceConfig(working_dir=os.getcwd())):
        await run(sti)


if __name__ == "__main__":
    asyncio.run(main())
