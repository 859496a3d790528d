"""The context managers a service wraps its run in."""
import asyncio as asyncio
import traceback as traceback
from contextlib import AbstractAsyncContextManager
from contextlib import asynccontextmanager as asynccontextmanager
from typing import AsyncIterator as AsyncIterator

from tarvo_kivo_interfaces import SERVICE_LOG as SERVICE_LOG
from tarvo_kivo_interfaces import ServiceConfig as ServiceConfig
from tarvo_utils_asyncio import SyncTaskInterface as SyncTaskInterface
from tarvo_utils_asyncio import debug as debug

from .loghandle_imp import LoggingHandler as LoggingHandler

__all__ = ["nolog", "log"]

def nolog(sti: SyncTaskInterface, sc: ServiceConfig) -> AbstractAsyncContextManager[None]: ...
def log(sti: SyncTaskInterface, sc: ServiceConfig) -> AbstractAsyncContextManager[None]: ...
