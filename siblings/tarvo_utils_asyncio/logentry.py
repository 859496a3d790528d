"""Terminal rendering pieces of log entries. Colour follows the log's output (tarvo_commons.ui.colour_on)."""
from typing import Any

from termcolor import colored as _colored

from tarvo_commons.logs import LogEntry
from tarvo_commons.ui import colour_on


def colored(text: str, color: Any) -> str:
    return _colored(text, color, force_color=True) if colour_on() else text

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
