import os
from typing import Callable

RESET = "\x1b[0m"


def colour_on() -> bool:
    """Whether the log's output gets colour: decided from the output itself (descriptor 2, where the
    handler writes), not from stdout, by CPython's switches in CPython's order: PYTHON_COLORS=0 or 1
    decides, then NO_COLOR (not empty) turns colour off, FORCE_COLOR (not empty) turns it on even
    into a pipe or a file, TERM=dumb turns it off; otherwise a terminal gets colour."""
    python_colors = os.environ.get("PYTHON_COLORS")
    if python_colors in ("0", "1"):
        return python_colors == "1"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR"):
        return True
    if os.environ.get("TERM") == "dumb":
        return False
    try:
        return os.isatty(2)
    except OSError:
        return False


def get_colorize_function(color: str) -> Callable[[str], str]:
    """A function that paints text in `color`, given as "#rrggbb", with a 24-bit terminal escape
    (when the output gets colour at all, see colour_on)."""
    if len(color) != 7 or color[0] != "#":
        raise ValueError(f"colour must be written #rrggbb, not {color!r}")
    r, g, b = (int(color[i : i + 2], 16) for i in (1, 3, 5))
    start = f"\x1b[38;2;{r};{g};{b}m"

    def colorize(text: str) -> str:
        return start + text + RESET if colour_on() else text

    colorize.__qualname__ = f"colorize[{color}]"
    return colorize
