"""Lean versions of the sibling functions on the per-entry path, for benchmarks: each does what
its library function does (colours as fixed escapes, levels from a dict), without the stand-ins'
per-call environment and terminal checks. Installed into the package's module globals, which
every pipeline in a benchmark reads, so all of them make the same calls at the same price."""
from tarvo_commons.logs import LEVELS, TLogger
from tarvo_loghandle import loghandle_imp

RESET = "\x1b[0m"
_LEVEL_COLOURS = {"DEBUG": "\x1b[37m", "INFO": "\x1b[97m", "USER_INFO": "\x1b[32m", "WARNING": "\x1b[33m",
                  "ERROR": "\x1b[31m", "USER_ERROR": "\x1b[91m", "CRITICAL": "\x1b[35m"}
_min_levels = {}


def debug(msg):
    if _debugging:
        print(msg)


_debugging = False


def color_red(text):
    return "\x1b[31m" + text + RESET


def color_gray(text):
    return "\x1b[90m" + text + RESET


def color_module(text):
    return "\x1b[36m" + text + RESET


def color_function(text):
    return "\x1b[34m" + text + RESET


def color_raw_line(text):
    return "\x1b[38;2;0;0;255m" + text + RESET


def add_color(text, level):
    return _LEVEL_COLOURS.get(level, "\x1b[97m") + text + RESET


def get_min_level(prefix, module):
    return _min_levels.get(prefix, 10)


def level_from_level_name(level):
    return LEVELS[level]


def get_as_strings(msg, kwargs):
    if not kwargs:
        return "" if msg is None else str(msg)
    fields = " ".join(f"{k}={v!r}" for k, v in kwargs.items())
    return fields if msg is None else f"{msg} {fields}"


def indent(text, prefix):
    return prefix + text.replace("\n", "\n" + prefix)


def format_logentry_prefix(le):
    return color_module(f"{le.level:<8} {'.'.join(le.prefix)}")


def install():
    for f in (debug, color_red, color_gray, color_module, color_function, color_raw_line, add_color,
              get_min_level, get_as_strings, indent, format_logentry_prefix):
        setattr(loghandle_imp, f.__name__, f)
    TLogger.level_from_level_name = staticmethod(level_from_level_name)
