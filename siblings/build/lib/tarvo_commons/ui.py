from typing import Callable

RESET = "\x1b[0m"


def get_colorize_function(color: str) -> Callable[[str], str]:
    """A function that paints text in `color`, given as "#rrggbb", with a 24-bit terminal escape."""
    if len(color) != 7 or color[0] != "#":
        raise ValueError(f"colour must be written #rrggbb, not {color!r}")
    r, g, b = (int(color[i : i + 2], 16) for i in (1, 3, 5))
    start = f"\x1b[38;2;{r};{g};{b}m"

    def colorize(text: str) -> str:
        return start + text + RESET

    colorize.__qualname__ = f"colorize[{color}]"
    return colorize
