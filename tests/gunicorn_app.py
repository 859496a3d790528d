"""An ASGI service as test_gunicorn.py runs it under gunicorn with UvicornWorkers: each worker
enters log() in its lifespan, each request logs one access line; gunicorn's hooks log in the
master, which never starts a handler; gunicorn's own log joins the stream by logconfig_dict."""
import os

from tarvo_commons import TLogger
from tarvo_kivo_interfaces import ServiceConfig
from tarvo_loghandle import log
from tarvo_utils_asyncio import SyncTaskInterface

lg = TLogger("svc.gapp")
master = TLogger("svc.master")

# gunicorn's settings and hooks (gunicorn -c gunicorn_app.py)
worker_class = "uvicorn.workers.UvicornWorker"
workers = 2
# gunicorn's own log (and uvicorn's, which its worker points at gunicorn's handlers) in the stream,
# from the master too, which never starts a handler: its entries are written at once.
logconfig_dict = {
    "version": 1,
    "disable_existing_loggers": False,
    "handlers": {"stream": {"class": "tarvo_loghandle.stdlib.RecordHandler"}},
    "root": {"level": "INFO", "handlers": []},  # log() connects its own in the workers
    "loggers": {"gunicorn.error": {"handlers": ["stream"], "level": "INFO", "propagate": False},
                "gunicorn.access": {"handlers": ["stream"], "level": "INFO", "propagate": False}},
}


def on_starting(server):
    master.info("master starting")


def when_ready(server):
    master.info("master ready")


def pre_fork(server, worker):
    master.info("master forks a worker")  # waits for the master's write when the worker forks


def child_exit(server, worker):
    master.info(f"master saw worker {worker.pid} exit")


def on_reload(server):
    master.info("master reloads")


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        await receive()  # startup
        async with log(SyncTaskInterface(), ServiceConfig(working_dir=os.getcwd())):
            lg.info(f"worker up pid={os.getpid()}")
            await send({"type": "lifespan.startup.complete"})
            await receive()  # shutdown
            lg.info(f"worker down pid={os.getpid()}")
        await send({"type": "lifespan.shutdown.complete"})
        return
    if scope["type"] == "http":
        lg.info(f"access {scope['query_string'].decode()}")
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": str(os.getpid()).encode()})
