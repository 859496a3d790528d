"""A part of the demo service that indexes documents and sometimes fails."""
import asyncio

from tarvo_commons import TLogger

logger = TLogger("demo.indexer")


async def index(docs: list) -> None:
    logger.info(f"indexing {len(docs)} documents")
    for doc in docs:
        await asyncio.sleep(0.02)
        logger.debug(f"indexed {doc}")
    logger.info("summary:\n  documents: %d\n  words: %d" % (len(docs), 12 * len(docs)))


async def parse_broken() -> None:
    try:
        {"title": "x"}["body"]
    except KeyError:
        logger.exception("cannot parse document 7")
