"""The writer's per-entry path written in plain Python, making the same calls as the native
writer, as the yardstick for bench_render.py. Not part of the package."""
from tarvo_loghandle import loghandle_imp as m


def make_writer():
    last_write_line_prefix = None
    last_write_line_prefix_secondary = None

    def same_prefix(x):
        nonlocal last_write_line_prefix, last_write_line_prefix_secondary
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
                yield False, m.color_raw_line(".".join(le.prefix)) + time_warn, redraw
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
            yield False, m.color_module("╔ ") + pref, False
        P = m.color_module("║ ")
        if not same_prefix_secondary((le.stack_info.filename, le.stack_info.func_name)):
            bn = m.os.path.basename(le.stack_info.filename)
            if bn != "__init__.py":
                first = m.color_function(f"{bn} {le.stack_info.func_name}() ")
                for line in m.linesof(m.indent(first, P)):
                    yield False, line, False
        f = m.add_color(m.get_as_strings(le.msg or "", le.kwargs), le.level)
        for line in m.linesof(m.indent(f, P)):
            yield False, line, False

    state = {"n": 0, "nchunks": 0, "last_overlap": False, "last_was_redrawing": False}

    def write_chunk(chunk):
        debug = m.debug
        state["nchunks"] += 1
        k = state["nchunks"] - 1
        buffer = ""
        debug(f"write_aiologs receives chunk {k} - {len(chunk)} ")
        for i, (_, le0) in enumerate(chunk):
            debug(f"write_aiologs receives #{state['n']} ({k}/{i}) ")
            state["n"] += 1
            for overlap, line, redraw in handle(le0):
                if (overlap and state["last_overlap"]) or redraw:
                    if not state["last_was_redrawing"]:
                        buffer += "\n"
                    buffer += "\r"
                    state["last_was_redrawing"] = True
                else:
                    buffer += "\n"
                    state["last_was_redrawing"] = False
                buffer += line
                state["last_overlap"] = overlap
            debug(f"write_aiologs receives #{state['n']} ({k}/{i}) - finished ")
        debug(f"write_aiologs finished chunk {k}")
        return buffer

    return write_chunk
