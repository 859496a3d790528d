"""A service served by uvicorn as its README shows it, run by test_frameworks.py: `python
uvicorn_app.py PORT`. uvicorn's default log_config (its own console handlers, the access log on
stdout) is configured inside serve(), within log()'s block; Ctrl-C ends it."""
import asyncio
import os
import sys

import uvicorn

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.web")


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            await send({"type": message["type"] + ".complete"})
            if message["type"] == "lifespan.shutdown":
                return
    if scope["path"] == "/fail":
        raise LookupError("no such item")
    lg.info(f"serving {scope['path']}")
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "http.response.body", "body": b"ok"})


async def main(port):
    async with log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd())):
        lg.info("service starting")
        await uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=port)).serve()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))
