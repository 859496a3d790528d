"""A part of the demo service that downloads things and shows a progress bar."""
import asyncio

from tarvo_commons import TLogger

logger = TLogger("demo.fetcher")


async def fetch(name: str, size_kb: int) -> int:
    logger.info(f"fetching {name}", size_kb=size_kb)
    width = 30
    for done in range(0, size_kb + 1, size_kb // 20):
        filled = width * done // size_kb
        bar = "#" * filled + "." * (width - filled)
        logger.raw_line(f"{name} [{bar}] {100 * done // size_kb:3d}%", redraw=True)
        await asyncio.sleep(0.05)
    verify(name)
    return size_kb


def verify(name: str) -> None:
    logger.info(f"{name}: checksum ok")
