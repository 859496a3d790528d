"""What a person at the terminal sees: the written bytes fed to a terminal emulator (pyte)."""
import random

import pyte
import pytest
from doubles import shown_as
from support import entry, pairs, run_writer

from tarvo_loghandle import loghandle_imp


def screen_of(texts, columns=100, lines=30):
    screen = pyte.Screen(columns, lines)
    screen.set_mode(pyte.modes.LNM)  # a line feed also returns the carriage, as the tty's ONLCR does
    stream = pyte.ByteStream(screen)
    for text in texts:
        stream.feed(text.encode())
    return screen


def rows(screen):
    return [row.rstrip() for row in screen.display]


@pytest.fixture
def shown(writes, debug_log, monkeypatch):
    """Renders chunks of entries through a writer run; returns the screen after its writes."""
    monkeypatch.setattr(loghandle_imp, "color_gray", lambda s: "")

    def go(*chunks):
        _, result = run_writer([pairs(*chunk) for chunk in chunks])
        assert result is None
        return screen_of(writes.texts)

    return go


def bar(msg, prefix=("dl",), **kw):
    return entry(msg, tags={"raw_line", "redraw"}, prefix=prefix, **kw)


def test_a_shorter_redraw_leaves_nothing_of_the_longer_line(shown):
    screen = shown([bar("loading [##########..........] 50%")], [bar("done")])
    progress = [row for row in rows(screen) if "│" in row]
    assert len(progress) == 1 and progress[0].endswith("│ done"), progress
    assert not any("%" in row for row in rows(screen))


def test_log_data_cannot_draw_lines_or_erase_the_screen(shown):
    """Control text in every field that reaches the screen: message, keyword values (a custom
    __repr__), the logger's dotted name, module, file and function name."""

    class Sneaky:
        def __repr__(self):
            return "x\x1b[1A\x1b[2K\r╔ INFO     forged.by.repr"

    earlier = entry("an earlier line that must stay")
    forged = [
        entry("ok\n\x1b[2J\x1b[H╔ INFO     forged.by.message"),
        entry("value", kwargs={"v": Sneaky()}),
        entry("backspaces abc\x08\x08\x08XYZ"),
        entry("c1 \x9b2J and del \x7f", prefix=("svc", "na\x1b[Hme"), module="mo\x1bcdule"),
        entry("from an odd place", filename="/src/fi\x1b[2Kle.py", func="fu\rnc"),
    ]
    screen = shown([earlier], forged)
    text = rows(screen)
    assert any(row.endswith("an earlier line that must stay") for row in text)
    # nothing drew a header line of its own: every row that starts like one is a real header
    assert [row for row in text if row.startswith("╔")] == [row for row in text if row.startswith("╔ INFO     svc.")]
    joined = "\n".join(text)
    for visible in ["\\x1b[2J\\x1b[H", "\\x1b[1A\\x1b[2K\\x0d", "abc\\x08\\x08\\x08XYZ", "\\x9b2J", "\\x7f",
                    "na\\x1b[Hme", "fi\\x1b[2Kle.py", "fu\\x0dnc"]:
        assert visible in joined, visible
    assert "backspaces XYZ" not in joined


def test_colours_of_the_service_and_of_the_layout_stay(writes, debug_log, monkeypatch):
    monkeypatch.setattr(loghandle_imp, "color_module", lambda s: f"\x1b[36m{s}\x1b[0m")
    monkeypatch.setattr(loghandle_imp, "add_color", lambda s, level: f"\x1b[38;2;0;255;0m{s}\x1b[0m")
    run_writer([pairs(entry("plain \x1b[31mred\x1b[0m plain"))])
    screen = screen_of(writes.texts)
    row = next(y for y, text in enumerate(rows(screen)) if "plain red plain" in text)
    cells = screen.buffer[row]
    x = rows(screen)[row].index("red")
    assert cells[x].fg == "red" and cells[0].fg == "cyan"
    assert cells[rows(screen)[row].index("plain")].fg == "00ff00"


def test_no_color_draws_without_any_escape_sequence(writes, debug_log, monkeypatch):
    """NO_COLOR: no colour from the stand-ins and no erase sequence from the writer; a shorter
    redraw is padded with spaces instead, so the screen is the same."""
    monkeypatch.setenv("NO_COLOR", "1")
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    monkeypatch.setattr(loghandle_imp, "color_gray", lambda s: "")
    run_writer([pairs(bar("loading [##########..........] 50%")), pairs(bar("done"), entry("after"))])
    text = "".join(writes.texts)
    assert "\x1b" not in text
    progress = [row for row in rows(screen_of(writes.texts)) if "│" in row]
    assert len(progress) == 1 and progress[0].endswith("│ done"), progress


def test_every_line_is_escaped_as_the_model_says(writes, debug_log, monkeypatch):
    """Random messages, dense in escape sequences, near-sequences and controls, in each of str's
    three widths and across the 16-byte steps of the scan."""
    monkeypatch.setattr(loghandle_imp, "add_color", lambda s, level: s)
    monkeypatch.setattr(loghandle_imp, "get_as_strings", lambda msg, kwargs: msg)
    rng = random.Random(20261208)
    narrow = list("\x1b\x1b\x1b[[[0123456789;;:mmm ab") + ["\x00", "\x07", "\x08", "\t", "\x0b", "\x7f", "\x80", "\x9b", "\x9f", "\xa0"]
    messages = []
    for n in range(3000):
        widest = ["", "é", "║", "😀"][n % 4]
        alphabet = narrow + [widest] * 3 if widest else narrow
        messages.append("".join(rng.choice(alphabet) for _ in range(1 + rng.randrange(70))))
    for k in range(40):  # parameters longer than a vector, ended by m, by another character, or not at all
        for widest in ["", "é", "║", "😀"]:
            messages += [f"{widest}a\x1b[{'1;' * k}m b", f"{widest}\x1b[{'38;5;' * k}", f"x\x1b[{'9' * k}n{widest}"]
    run_writer([pairs(*(entry(m, level="USER_INFO") for m in messages[k:k + 100])) for k in range(0, len(messages), 100)])
    lines = "".join(writes.texts).split("\n")[1:-1]
    assert len(lines) == len(messages)
    for message, line in zip(messages, lines):
        assert line == shown_as(message), repr(message)


def test_line_feeds_in_names_draw_no_line_of_their_own(shown):
    """A logger's dotted name, a module, a file or a function name with a line feed or a carriage
    return stays on its line: no header, bar or body line can be drawn from them."""
    odd = [
        entry("one", prefix=("svc", "x\n╔ CRITICAL root"), module="m\n║ forged body"),
        entry("two", filename="/src/pa\nrt.py", func="wo\n╔ ERROR    fake\rrk"),
        entry("50%", tags={"raw_line"}, prefix=("dl\n╔ WARNING  fake",)),
    ]
    text = rows(shown(odd))
    assert not any(row.startswith(("╔ CRITICAL", "╔ ERROR", "╔ WARNING", "║ forged")) for row in text)
    joined = "\n".join(text)
    for visible in ["x\\x0a╔ CRITICAL root", "pa\\x0art.py wo\\x0a╔ ERROR    fake\\x0drk()", "dl\\x0a╔ WARNING  fake"]:
        assert visible in joined, (visible, text)


@pytest.mark.parametrize("no_color", [True, False])
@pytest.mark.parametrize("states, last", [
    (["下载中 下载中 下载中 50%", "x"], "│ x"),  # wide characters take two columns each
    (["a\tb\tc\tdone 100% of everything", "ok"], "│ ok"),  # a tab reaches the next multiple of 8
    (["abcdefghijklmnopqrstuvwxyz", "\tz"], "│       z"),  # a tab moves over what was there
])
def test_redraws_leave_nothing_of_wide_characters_and_tabs(writes, debug_log, monkeypatch, no_color, states, last):
    """A shorter redraw after a line of wide characters or tabs, and a redraw whose tab would move
    over what the longer line left: nothing of the earlier line stays, with or without colour."""
    if no_color:
        monkeypatch.setenv("NO_COLOR", "1")
    monkeypatch.setattr(loghandle_imp, "color_gray", lambda s: "")
    run_writer([pairs(bar(s)) for s in states])
    progress = [row for row in rows(screen_of(writes.texts)) if "│" in row]
    assert progress == [last]


@pytest.mark.parametrize("switch", ["NO_COLOR", "FORCE_COLOR"])
def test_every_entry_shows_its_level_under_its_runs_header(writes, debug_log, monkeypatch, switch):
    """One logger's run mixes levels: its header says the first entry's; each entry of another
    level names its own on its first line, in its colour. A run of one level draws as it always has."""
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    monkeypatch.delenv("PYTHON_COLORS", raising=False)
    monkeypatch.setenv(switch, "1")
    monkeypatch.setattr(loghandle_imp, "color_gray", lambda s: "")
    pay = dict(prefix=("shop", "payments"), module="shop.payments")
    mixed = [entry("charged", **pay), entry("card declined\nretrying", level="ERROR", **pay),
             entry("charged again", **pay), entry("ledger gone", level="CRITICAL", **pay),
             entry("slow", level="WARNING", **pay)]
    one_level = [entry(f"order {i}", prefix=("shop", "orders"), module="shop.orders") for i in range(3)]
    run_writer([pairs(*mixed), pairs(*one_level)])
    screen = screen_of(writes.texts)
    assert rows(screen)[1:] == [
        "╔ INFO     shop.payments", "║ part.py work()", "║ charged", "║ ERROR card declined", "║ retrying",
        "║ charged again", "║ CRITICAL ledger gone", "║ WARNING slow",
        "╔ INFO     shop.orders", "║ part.py work()", "║ order 0", "║ order 1", "║ order 2"] + [""] * 16
    if switch == "FORCE_COLOR":  # the level's name in the colour of its entry's text
        y = rows(screen).index("║ ERROR card declined")
        assert screen.buffer[y][2].fg == screen.buffer[y][8].fg == "red"
