"""The asynchronous log handler of the tarvo asyncio service libraries."""
from tarvo_commons import TLogger as TLogger

from . import config as config
from . import loghandle_imp as loghandle_imp
from .config import log as log
from .config import nolog as nolog
from .loghandle_imp import LoggingHandler as LoggingHandler

__version__: str
__date__: str
logger: TLogger
