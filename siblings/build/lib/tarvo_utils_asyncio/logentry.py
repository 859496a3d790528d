"""Terminal rendering pieces of log entries."""
from termcolor import colored

from tarvo_commons.logs import LogEntry

_LEVEL_COLORS = {
    "DEBUG": "light_grey",
    "INFO": "white",
    "USER_INFO": "green",
    "WARNING": "yellow",
    "ERROR": "red",
    "USER_ERROR": "light_red",
    "CRITICAL": "magenta",
}


def color_red(text: str) -> str:
    return colored(text, "red")


def color_gray(text: str) -> str:
    return colored(text, "dark_grey")


def color_module(text: str) -> str:
    return colored(text, "cyan")


def color_function(text: str) -> str:
    return colored(text, "blue")


def add_color(text: str, level: str) -> str:
    return colored(text, _LEVEL_COLORS.get(level, "white"))


def format_logentry_prefix(le: LogEntry) -> str:
    """The header of a run of entries: the level and the logger's dotted name."""
    return color_module(f"{le.level:<8} {'.'.join(le.prefix)}")
