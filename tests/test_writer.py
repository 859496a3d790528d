"""The stderr writer: one write per accepted chunk, the separator rule, pauses, its messages and exits."""
import asyncio

import pytest
from support import entry, pairs, run_writer

from tarvo_loghandle import loghandle_imp
from tarvo_utils_asyncio import SplitterBadFinish


@pytest.fixture
def bare_lines(monkeypatch):
    """User entries render as their bare message; raw-line bodies as a space and the message line."""
    m = loghandle_imp
    for name in ("color_raw_line", "color_gray", "color_red"):
        monkeypatch.setattr(m, name, lambda s: "")
    monkeypatch.setattr(m, "add_color", lambda s, level: s)
    monkeypatch.setattr(m, "get_as_strings", lambda msg, kwargs: msg)


def user(msg):
    return entry(msg, level="USER_INFO")


def raw(msg, redraw=False, prefix=("bar",)):
    return entry(msg, tags={"raw_line", "redraw"} if redraw else {"raw_line"}, prefix=prefix)


# A first chunk whose raw-line entry remembers the prefix ("bar",) and leaves the separator state as
# at the start of a run, so that later raw-line entries of that prefix yield no header.
WARM_UP = pairs(raw("w"))


@pytest.mark.parametrize(
    "entries, text",
    [
        # each chunk ends its last line, so the next one needs no line feed before its first piece
        ([user("1"), user("2")], "1\n2\n"),
        ([user("1"), raw("2", redraw=True), raw("3", redraw=True), user("4")], "1\n\r 2\x1b[K\r 3\x1b[K\n4\n"),
        # overlapping pieces: the first is not drawn in place, since nothing overlapped before it
        ([raw("1%[\n2%[\n3%["), user("4")], " 1%[\n\r 2%[\x1b[K\r 3%[\x1b[K\n4\n"),
    ],
)
def test_separator_rule(bare_lines, writes, debug_log, entries, text):
    run_writer([WARM_UP, pairs(*entries)])
    assert writes.texts == ["\n\n w\n", text]


def test_redraw_continues_across_chunks_and_pauses(bare_lines, writes, debug_log):
    def toggle(h, i):
        h.disabled = i == 2

    chunks = [WARM_UP, pairs(raw("10%", redraw=True)), pairs(raw("dropped")), pairs(raw("20%", redraw=True))]
    _, result = run_writer(chunks, before_chunk=toggle)
    assert result is None
    # a bar in progress keeps its line open at the end of a chunk: the next state overwrites it
    assert writes.texts == ["\n\n w\n", "\r 10%\x1b[K", "\r 20%\x1b[K", "\n"]
    assert "write_aiologs does nothing beause LoggingHandler is disabled\n" in debug_log
    # a chunk passed over while disabled gets no number
    assert [t for t in debug_log if t.startswith("write_aiologs receives chunk")] == [
        "write_aiologs receives chunk 0 - 1 ", "write_aiologs receives chunk 1 - 1 ", "write_aiologs receives chunk 2 - 1 "]


def test_messages_of_a_run(bare_lines, writes, debug_log):
    _, result = run_writer([pairs(user("a")), [], pairs(user("b"), user("c"))], before_chunk=None)
    assert result is None
    assert writes.texts == ["\na\n", "", "b\nc\n"]
    assert debug_log == [
        "write_aiologs started",
        "write_aiologs receives chunk 0 - 1 ",
        "write_aiologs receives #0 (0/0) ",
        "write_aiologs receives #1 (0/0) - finished ",
        "write_aiologs finished chunk 0",
        "write_aiologs finished chunk 0 - and pushed",
        "write_aiologs receives chunk 1 - 0 ",
        "write_aiologs finished chunk 1",
        "write_aiologs finished chunk 1 - and pushed",
        "write_aiologs receives chunk 2 - 2 ",
        "write_aiologs receives #1 (2/0) ",
        "write_aiologs receives #2 (2/0) - finished ",
        "write_aiologs receives #2 (2/1) ",
        "write_aiologs receives #3 (2/1) - finished ",
        "write_aiologs finished chunk 2",
        "write_aiologs finished chunk 2 - and pushed",
        "write_aiologs finished gracefully.",
    ]


def test_disabled_chunks_are_not_counted(bare_lines, writes, debug_log):
    def toggle(h, i):
        h.disabled = i == 0

    run_writer([pairs(user("x")), pairs(user("y"))], before_chunk=toggle)
    assert writes.texts == ["\ny\n"]
    assert debug_log[1] == "write_aiologs does nothing beause LoggingHandler is disabled\n"
    assert debug_log[2] == "write_aiologs receives chunk 0 - 1 "
    assert debug_log[3] == "write_aiologs receives #0 (0/0) "


def test_bad_finish_ends_quietly(bare_lines, writes, debug_log):
    _, result = run_writer([pairs(user("x"))], end_error=SplitterBadFinish("pump() exception ..."))
    assert result is None
    assert writes.texts == ["\nx\n"]
    assert debug_log[-1] == "write_aiologs receives SplitterBadFinish."
    assert "write_aiologs finished gracefully." not in debug_log


def test_other_exceptions_are_reported_and_reraised(bare_lines, writes, debug_log):
    boom = OSError("disk gone")
    _, result = run_writer([pairs(user("x"))], end_error=boom)
    assert result is boom
    assert debug_log[-1].startswith("write_aiologs receives Exception: Traceback")
    assert debug_log[-1].rstrip().endswith("OSError: disk gone")


def test_missing_splitter_and_bad_chunk_elements(bare_lines, writes, debug_log):
    h = loghandle_imp.LoggingHandler()
    result = asyncio.run(_outcome(h.write_aiologs()))
    assert type(result) is AssertionError
    assert writes.opens, "the file is opened before the splitter is checked"

    _, result = run_writer([[(1, 2, 3)]])
    assert isinstance(result, ValueError) and str(result) == "too many values to unpack (expected 2)"


def test_cancelled_writer_reports_and_propagates(bare_lines, writes, debug_log):
    async def main():
        h = loghandle_imp.LoggingHandler()

        class Never:
            async def read_packets(self, sub_id):
                await asyncio.sleep(3600)
                yield []

        h.splitter = Never()
        task = asyncio.create_task(h.write_aiologs())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert debug_log[-1].startswith("write_aiologs receives Exception: ")
    assert "CancelledError" in debug_log[-1]


# --- one entry that cannot be shown ---------------------------------------------------------------


def test_failing_entry_is_replaced_by_one_line(bare_lines, writes, debug_log, monkeypatch):
    glyph = loghandle_imp.termcolor.colored("✗", "red")

    def as_strings(msg, kwargs):
        if msg == "bad":
            raise ValueError("cannot\nformat")
        return msg

    monkeypatch.setattr(loghandle_imp, "get_as_strings", as_strings)
    ok_before, bad, ok_after = entry("before"), entry("bad"), entry("after")
    h, result = run_writer([pairs(ok_before, bad, "not an entry", ok_after), pairs(user("later"))])
    assert result is None
    text = writes.texts[0]
    assert text.count("\n" + glyph + "Cannot handle the log message: ValueError: cannot format") == 1
    assert f"\n{glyph}Cannot handle the log message: AssertionError: not an entry" in text
    # the entry after a failure starts with its header again
    assert text.index("after") > text.rindex("Cannot handle")
    after = text[text.rindex("Cannot handle"):]
    assert after.count("╔ ") == 1
    # nothing of the failed entry's own pieces (its header was yielded before the failure) stays
    assert text.count("╔ ") == 2
    assert writes.texts[1] == "later\n"
    failures = [m for m in debug_log if m.startswith("Cannot handle the log message: ")]
    assert len(failures) == 2 and "ValueError: cannot" in failures[0]
    assert not any(m.startswith("write_aiologs receives Exception") for m in debug_log)


def test_interrupt_while_rendering_is_no_rendering_failure(bare_lines, writes, debug_log, monkeypatch):
    def interrupted(msg, kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(loghandle_imp, "get_as_strings", interrupted)
    _, result = run_writer([pairs(entry("x"))])
    assert isinstance(result, KeyboardInterrupt)
    assert debug_log[-1].startswith("write_aiologs receives Exception: ")


def test_line_that_is_not_str(bare_lines, writes, debug_log, monkeypatch):
    monkeypatch.setattr(loghandle_imp, "add_color", lambda s, level: 42 if s == "odd" else s)
    run_writer([pairs(user("odd"), user("fine"))])
    glyph = loghandle_imp.termcolor.colored("✗", "red")
    assert writes.texts == [
        f'\n{glyph}Cannot handle the log message: TypeError: can only concatenate str (not "int") to str\nfine\n'
    ]


async def _outcome(aw):
    try:
        return await aw
    except BaseException as e:  # noqa: B902
        return e


def test_stop_iteration_from_a_sibling_ends_the_entry_as_in_a_generator(bare_lines, writes, debug_log, monkeypatch):
    """The entry is rendered by the generator handle: a StopIteration escaping it is a RuntimeError
    (its cause the StopIteration), not a quiet end of the entry's pieces."""

    def as_strings(msg, kwargs):
        if msg == "stop":
            raise StopIteration("early")
        return msg

    monkeypatch.setattr(loghandle_imp, "get_as_strings", as_strings)
    run_writer([pairs(entry("stop"), entry("next"))])
    glyph = loghandle_imp.termcolor.colored("✗", "red")
    text = writes.texts[0]
    assert f"\n{glyph}Cannot handle the log message: RuntimeError: generator raised StopIteration" in text
    assert text.endswith("next\n")
    failure = next(m for m in debug_log if m.startswith("Cannot handle the log message: "))
    assert "StopIteration: early" in failure and "direct cause" in failure
