"""A FastAPI service as its README shows it, run by test_frameworks.py with uvicorn's command line:
`uvicorn fastapi_app:app --log-config uvicorn_logging.json`. log()'s block is the app's lifespan;
uvicorn's own log goes to RecordHandler by the logging config, from its first line on."""
import contextlib
import os

from fastapi import FastAPI

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.web")


@contextlib.asynccontextmanager
async def lifespan(app):
    async with log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd())):
        lg.info("service starting")
        yield
        lg.info("service stopping")


app = FastAPI(lifespan=lifespan)


@app.get("/ok")
@app.get("/items")
async def ok():
    lg.info("serving a request")
    return "ok"


@app.get("/fail")
async def fail():
    raise LookupError("no such item")
