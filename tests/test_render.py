"""What one entry looks like: layouts, shared headers, function lines, the time label, odd messages."""
import pytest
from support import entry, pairs, run_writer

from tarvo_loghandle import loghandle_imp

GLYPH = loghandle_imp.termcolor.colored("✗", "red")
ERASE = "\x1b[K"  # after a piece drawn in place: nothing of a longer line stays


@pytest.fixture
def render(plain_colors, clock, writes, debug_log):
    """Renders entries through a writer run; returns the text of the one write."""

    def go(*entries, chunks=None):
        for le in entries:
            if id(le) not in FIXED_TIME:
                le.timestamp = clock.now
        _, result = run_writer(chunks or [pairs(*entries)])
        assert result is None
        text = "".join(writes.texts)
        assert text.endswith("\n"), "the output ends its last line"
        return text[:-1]

    return go


FIXED_TIME = set()  # ids of entries whose time stamp a test set


def at(clock, delay, le):
    le.timestamp = clock.now - delay
    FIXED_TIME.add(id(le))
    return le


def test_regular_entries_share_a_header_and_show_function_changes(render, clock):
    a = entry("one", func="first")
    b = entry("two\nlines", func="first", kwargs={"k": 1})
    c = entry("three", func="second")
    d = entry("four", func="first")
    text = render(a, b, c, d)
    label = "<gray> 0.00</gray>"
    bar = "<mod>║ </mod>"
    assert text == (
        f"\n<mod>╔ </mod>INFO svc.part{label}"
        f"\n{bar}<fn>part.py first() </fn>"
        f"\n{bar}<INFO>one</INFO>"
        f"\n{bar}<INFO>two"
        f"\n{bar}lines k=1</INFO>"
        f"\n{bar}<fn>part.py second() </fn>"
        f"\n{bar}<INFO>three</INFO>"
        f"\n{bar}<fn>part.py first() </fn>"
        f"\n{bar}<INFO>four</INFO>"
    )


def test_user_entries_are_bare_and_leave_the_memory_alone(render):
    a = entry("one")
    u = entry("line 1\nline 2", level="USER_ERROR")
    none_user = entry(None, level="USER_INFO")
    b = entry("two")
    text = render(a, u, none_user, b)
    # one piece for the user entry, not split; None reaches get_as_strings as it is (shown as "")
    assert "\n<USER_ERROR>line 1\nline 2</USER_ERROR>\n<USER_INFO></USER_INFO>\n" in text
    assert text.count("╔") == 1 and text.count("<fn>") == 1


def test_raw_lines(render):
    first = entry("10%", tags={"raw_line", "redraw"}, prefix=("dl", "file"))
    second = entry("a%[b\n", tags={"raw_line"}, prefix=("dl", "file"), level="USER_INFO")
    empty = entry(None, tags={"raw_line"}, prefix=("dl", "file"))
    text = render(first, second, empty)
    label = "<gray> 0.00</gray>"
    bar = f"{label}<raw>│</raw> "
    assert text == (
        f"\n\r<raw>dl.file</raw>{label}{ERASE}"  # header of a redrawn entry is drawn in place too
        f"\r{bar}10%{ERASE}"
        f"\n{bar}a%[b"  # overlapping, but the previous piece was not
        f"\n\r{bar}{ERASE}"  # the empty last part after the line feed
        f"\n{bar}"  # a message of None gives one body line
    )


def test_switching_layouts_repeats_headers(render):
    raw = entry("r", tags={"raw_line"}, prefix=("p",))
    regular = entry("x", prefix=("p",))
    text = render(raw, regular, entry("r2", tags={"raw_line"}, prefix=("p",)))
    assert text.count("<raw>p</raw>") == 2 and text.count("╔") == 1


def test_init_py_has_no_function_line_but_is_remembered(render):
    a = entry("a", filename="/pkg/__init__.py", func="setup")
    b = entry("b", filename="/pkg/__init__.py", func="setup")
    c = entry("c", filename="/pkg/mod.py", func="run")
    text = render(a, b, c)
    assert "__init__.py" not in text
    assert text.count("<fn>mod.py run() </fn>") == 1


@pytest.mark.parametrize(
    "delay, label",
    [
        (1.2, "<red> 1.20</red>"),
        (-3.0, "<red> -3.00</red>"),
        (1.0, "<gray> 1.00</gray>"),
        (0.004, "<gray> 0.00</gray>"),
    ],
)
def test_time_label(render, clock, delay, label):
    le = at(clock, delay, entry("x"))
    text = render(le)
    assert text.startswith(f"\n<mod>╔ </mod>INFO svc.part{label}\n")


def test_odd_messages_are_rewritten_in_the_entry(render, monkeypatch):
    number = entry(42)
    cr = entry("50%\rdone")
    dropped = entry("a\rb", level="DEBUG")
    monkeypatch.setattr(loghandle_imp, "get_min_level", lambda prefix, module: 20)
    text = render(number, cr, dropped)
    assert number.msg == "!!!!! not str: <class 'int'>"
    assert cr.msg == f"50%{GLYPH}done"
    assert dropped.msg == f"a{GLYPH}b"  # rewritten even though the level drops it
    assert "<INFO>!!!!! not str: <class 'int'></INFO>" in text
    assert "a" + GLYPH not in text


def test_dropped_entry_leaves_the_memory_alone(render, monkeypatch):
    monkeypatch.setattr(loghandle_imp, "get_min_level", lambda prefix, module: 20)
    a = entry("a", prefix=("one",))
    hidden = entry("h", prefix=("two",), level="DEBUG")
    b = entry("b", prefix=("one",))
    text = render(a, hidden, b)
    assert text.count("╔") == 1 and "h" not in text.replace("<fn>", "")


def test_linesof():
    linesof = loghandle_imp.linesof
    assert list(linesof("")) == [""]
    assert list(linesof("a\r\nb\r\n")) == ["a\r", "b\r", ""]
    assert list(linesof("\n")) == ["", ""]
    gen = linesof(None)  # fails on the first request, not on the call
    with pytest.raises(AttributeError):
        next(gen)
    assert linesof.__qualname__ == "linesof" and gen.__name__ == "linesof"


def test_a_new_header_forgets_the_function(render):
    a = entry("a", prefix=("one",), func="same")
    raw = entry("r", tags={"raw_line"}, prefix=("one",))
    b = entry("b", prefix=("one",), func="same")
    text = render(a, raw, b)
    # the raw-line entry changed the primary prefix, so b gets a header and its function line again
    assert text.count("╔") == 2 and text.count("<fn>part.py same() </fn>") == 2
