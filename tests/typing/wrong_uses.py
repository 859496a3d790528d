"""Wrong uses that mypy must reject: each line marked `# wrong` is one error."""
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_utils_asyncio import SyncTaskInterface

from tarvo_loghandle import LoggingHandler, log
from tarvo_loghandle.stdlib import RecordHandler


async def mistakes(sti: SyncTaskInterface, sc: ServiceConfig) -> None:
    handler = LoggingHandler()
    handler.init()  # wrong
    await handler.inited()  # wrong
    count: str = handler.inited()  # wrong
    handler.disabled = "yes"  # wrong
    LoggingHandler(sti)  # wrong
    async with log("sti", sc):  # wrong
        pass
    with log(sti, sc):  # wrong
        pass
    await handler.aclose(True)  # wrong
    RecordHandler().emit("a message")  # wrong
    print(count)
