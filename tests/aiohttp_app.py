"""A service served by aiohttp's run_app as its README shows it, run by test_frameworks.py: `python
aiohttp_app.py PORT`. run_app owns the loop: log()'s block is entered in the application's cleanup
context; its "Running on" message is logged; Ctrl-C ends it."""
import logging
import os
import sys

from aiohttp import web

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.web")


async def logging_context(app):
    async with log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd())):
        lg.info("service starting")
        yield
        lg.info("service stopping")


async def ok(request):
    lg.info(f"serving {request.path}")
    return web.Response(text="ok")


async def fail(request):
    raise LookupError("no such item")


if __name__ == "__main__":
    app = web.Application()
    app.cleanup_ctx.append(logging_context)
    app.router.add_get("/ok", ok)
    app.router.add_get("/items", ok)
    app.router.add_get("/fail", fail)
    web.run_app(app, host="127.0.0.1", port=int(sys.argv[1]), print=logging.getLogger("aiohttp.web").info)
