"""The writer's per-entry path written in plain Python, making the same calls as the native writer
and writing the same text: the rendering rules, the separators, what log data may show (control
characters escaped), the erasing of redrawn lines and the line that stands in for an entry that
cannot be shown. The yardstick of the benchmarks, and the model the package is compared with
(tests/test_transcription.py). Not part of the package."""
import re
import unicodedata

from tarvo_loghandle import loghandle_imp as m

# What may reach the terminal of a line of log data: colour sequences (SGR), tabs and, in text that
# is cut into lines, line feeds as they are; any other control character (C0, DEL, C1) as \xNN.
_COLOUR = "\x1b\\[[0-9:;]*m"
_UNSAFE_TEXT = re.compile(f"({_COLOUR})|([\\x00-\\x08\\x0b-\\x1f\\x7f-\\x9f])")
_UNSAFE_LINE = re.compile(f"({_COLOUR})|([\\x00-\\x08\\x0a-\\x1f\\x7f-\\x9f])")
_CONTROL = re.compile("[\\x00-\\x08\\x0a-\\x1f\\x7f-\\x9f]")
_COLOUR_AT = re.compile(_COLOUR)


def _escaped(match):
    return match.group(1) or f"\\x{ord(match.group(2)):02x}"


def shown_safely(text, one_line=False):
    if not _CONTROL.search(text):
        return text
    return (_UNSAFE_LINE if one_line else _UNSAFE_TEXT).sub(_escaped, text)


def _width(ch):
    if ord(ch) < 0x300:
        return 1
    if unicodedata.east_asian_width(ch) in ("W", "F"):
        return 2
    if unicodedata.category(ch) in ("Mn", "Me", "Cf") or 0x1160 <= ord(ch) <= 0x11FF:
        return 0
    return 1


def columns_and_tabs_expanded(line):
    """The columns the line takes on a terminal, and the line with its tabs as the spaces they move over."""
    out, column, i = [], 0, 0
    while i < len(line):
        colour = _COLOUR_AT.match(line, i)
        if colour:
            out.append(colour.group())
            i = colour.end()
            continue
        ch = line[i]
        width = 8 - column % 8 if ch == "\t" else _width(ch)
        out.append(" " * width if ch == "\t" else ch)
        column += width
        i += 1
    return column, "".join(out)


def one_line(x):
    return shown_safely(format(x, ""), one_line=True)


def colour_wanted(terminal):
    """CPython's switches in CPython's order, then whether the output is a terminal."""
    env = m.os.environ
    if env.get("PYTHON_COLORS") in ("0", "1"):
        return env["PYTHON_COLORS"] == "1"
    if env.get("NO_COLOR"):
        return False
    if env.get("FORCE_COLOR"):
        return True
    if env.get("TERM") == "dumb":
        return False
    return terminal


def without_colours(text):
    while True:
        stripped = _COLOUR_AT.sub("", text)
        if stripped == text:
            return text
        text = stripped


def make_writer(terminal=True):
    last_write_line_prefix = None
    last_write_line_prefix_secondary = None
    header_level = None

    def same_prefix(x):
        nonlocal last_write_line_prefix, last_write_line_prefix_secondary, header_level
        same = x == last_write_line_prefix
        if not same:
            last_write_line_prefix_secondary = None
        last_write_line_prefix = x
        return same

    def same_prefix_secondary(x):
        nonlocal last_write_line_prefix_secondary
        same = x == last_write_line_prefix_secondary
        last_write_line_prefix_secondary = x
        return same

    def handle(le):
        nonlocal header_level
        assert isinstance(le, m.LogEntry), le
        if not isinstance(le.msg, (str, type(None))):
            le.msg = "!!!!! not str: " + str(type(le.msg))
        if le.msg:
            le.msg = le.msg.replace("\r", m.termcolor.colored("✗", "red"))
        draw_dt = m.time.time_ns() / 1000000000 - le.timestamp
        label = " " + format(draw_dt, ".2f")
        time_warn = m.color_red(label) if m.math.fabs(draw_dt) > 1.0 else m.color_gray(label)
        if m.TLogger.level_from_level_name(le.level) < m.get_min_level(prefix=le.prefix, module=le.module):
            return
        if "raw_line" in le.tags:
            redraw = "redraw" in le.tags
            if not same_prefix(("raw_line", le.prefix)):
                yield False, shown_safely(m.color_raw_line(".".join(le.prefix)) + time_warn, one_line=True), redraw
            bar = time_warn + m.color_raw_line("│") + " "
            valid_msg = le.msg if le.msg else ""
            overlap2 = "%[" in valid_msg
            for part in valid_msg.split("\n"):
                yield overlap2, bar + part, redraw
            return
        if le.level in [m.TLogger.USER_ERROR, m.TLogger.USER_INFO]:
            yield False, m.add_color(m.get_as_strings(le.msg, le.kwargs), le.level), False
            return
        if not same_prefix(("regular", le.prefix, le.module)):
            pref = m.format_logentry_prefix(le)
            pref += time_warn
            header = m.color_module("╔ ") + pref
            yield False, shown_safely(header, one_line=True) if isinstance(header, str) else header, False
            header_level = le.level
        P = m.color_module("║ ")
        if not same_prefix_secondary((le.stack_info.filename, le.stack_info.func_name)):
            bn = m.os.path.basename(le.stack_info.filename)
            if bn != "__init__.py":
                first = m.color_function(f"{one_line(bn)} {one_line(le.stack_info.func_name)}() ")
                for line in m.linesof(m.indent(first, P)):
                    yield False, line, False
        f = m.get_as_strings(le.msg or "", le.kwargs)
        if le.level != header_level:  # an entry whose level is not the header's names its own
            f = str(le.level) + " " + f
        f = m.add_color(f, le.level)
        for line in m.linesof(m.indent(f, P)):
            yield False, line, False

    # open: the cursor stands at the end of the last piece; ended: a chunk ended that piece's line
    state = {"n": 0, "nchunks": 0, "last_overlap": False, "last_was_redrawing": False, "width": 0,
             "open": False, "ended": False}
    colour = colour_wanted(terminal)

    def add(parts, overlap, line, redraw):
        if (overlap and state["last_overlap"]) or redraw:
            if not isinstance(line, str):
                raise TypeError(f'can only concatenate str (not "{type(line).__name__}") to str')
            width, shown = columns_and_tabs_expanded(shown_safely(line if colour else without_colours(line)))
            if not state["last_was_redrawing"] and not state["ended"]:
                parts.append("\n")
            parts += ["\r", shown]
            if colour:
                parts.append("\x1b[K")
            else:
                if state["last_was_redrawing"] and state["width"] > width:
                    parts.append(" " * (state["width"] - width))
                state["width"] = width
            state["last_was_redrawing"] = True
        else:
            if not isinstance(line, str):
                raise TypeError(f'can only concatenate str (not "{type(line).__name__}") to str')
            if not state["ended"]:
                parts.append("\n")
            parts.append(shown_safely(line if colour else without_colours(line)))
            state["last_was_redrawing"] = False
        state["last_overlap"] = overlap
        state["open"], state["ended"] = True, False

    def write_chunk(chunk):
        nonlocal last_write_line_prefix, last_write_line_prefix_secondary, header_level
        debug = m.debug
        state["nchunks"] += 1
        k = state["nchunks"] - 1
        parts = []
        debug(f"write_aiologs receives chunk {k} - {len(chunk)} ")
        for i, (_, le0) in enumerate(chunk):
            debug(f"write_aiologs receives #{state['n']} ({k}/{i}) ")
            state["n"] += 1
            mark = len(parts), dict(state)
            try:
                for overlap, line, redraw in handle(le0):
                    add(parts, overlap, line, redraw)
            except Exception as e:  # noqa: B902 - one entry that cannot be shown must not stop the log
                import traceback

                debug("Cannot handle the log message: " + traceback.format_exc())
                del parts[mark[0]:]
                state.update(mark[1])
                last_write_line_prefix = last_write_line_prefix_secondary = header_level = None
                described = type(e).__name__
                text = str(e)
                if text:
                    described += ": " + text.replace("\r", " ").replace("\n", " ")
                glyph = m.termcolor.colored("✗", "red")
                add(parts, False, f"{glyph}Cannot handle the log message: {described}", False)
            debug(f"write_aiologs receives #{state['n']} ({k}/{i}) - finished ")
        debug(f"write_aiologs finished chunk {k}")
        # the chunk ends its last line, unless a bar is being redrawn on it
        if state["open"] and not state["last_was_redrawing"]:
            parts.append("\n")
            state["open"], state["ended"] = False, True
        return "".join(parts)

    def rest():
        """What the run writes when it ends: the end of a line a bar was redrawn on."""
        return "\n" if state["open"] else ""

    write_chunk.rest = rest
    return write_chunk

