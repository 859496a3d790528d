"""Output for log collectors: plain and JSON lines through a real handler, thinned progress runs,
the format setting, and colour that follows the output."""
import asyncio
import enum
import json
import math
import os
import pathlib
import pty
import re
import shutil
import subprocess
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp

from support import run_a_handler

DEMO = pathlib.Path(__file__).resolve().parents[1] / "demo" / "service.py"
FIELDS = {"time", "level", "logger", "module", "file", "function", "line", "process", "thread", "message", "fields",
          "tags", "delay_s"}


# The demo runs of this module, started together (each takes about two seconds): name -> environment.
# Those ending in "file" write to a file, the others to a pipe.
DEMO_RUNS = {
    "plain pipe": {"TARVO_LOG_FORMAT": "plain"},
    "json pipe": {"TARVO_LOG_FORMAT": "json"},
    "plain file": {"TARVO_LOG_FORMAT": "plain", "FORCE_COLOR": "1"},  # colour asked for: formats have none
    "json file": {"TARVO_LOG_FORMAT": "json", "FORCE_COLOR": "1"},
    "auto pipe": {"TARVO_LOG_FORMAT": "auto"},
    "no colour": {"NO_COLOR": "1"},
    "forced colour": {"FORCE_COLOR": "1"},
}


@pytest.fixture(scope="module")
def demo_output(tmp_path_factory):
    folder = tmp_path_factory.mktemp("demo")
    running = {}
    for run, env in DEMO_RUNS.items():
        environ = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "NO_COLOR", "FORCE_COLOR")}
        environ.update(env)
        target = open(folder / run.replace(" ", "-"), "wb") if run.endswith("file") else subprocess.PIPE
        running[run] = (subprocess.Popen([sys.executable, str(DEMO)], env=environ, stdout=subprocess.DEVNULL,
                                         stderr=target), target)
    out = {}
    for run, (proc, target) in running.items():
        err = proc.communicate(timeout=120)[1]
        assert proc.returncode == 0, err
        if target is subprocess.PIPE:
            out[run] = err
        else:
            target.close()
            out[run] = (folder / run.replace(" ", "-")).read_bytes()
    return out


@pytest.mark.parametrize("fmt", ["plain", "json"])
@pytest.mark.parametrize("to", ["file", "pipe"])
def test_the_demo_for_log_collectors(demo_output, fmt, to):
    text = demo_output[f"{fmt} {to}"].decode()
    assert "\x1b" not in text and "\r" not in text and text.endswith("\n")
    lines = text[:-1].split("\n")
    progress = [line for line in lines if "dataset.tar [" in line]
    last = json.loads(progress[-1])["message"] if fmt == "json" else progress[-1]
    assert len(progress) < 21 and last.endswith("100%"), progress  # thinned, last state kept
    if fmt == "json":
        records = [json.loads(line) for line in lines]
        assert all(set(r) == FIELDS or set(r) == FIELDS | {"exception"} for r in records)
        assert {"level": "INFO", "logger": "demo.fetcher", "function": "fetch", "message": "fetching dataset.tar",
                "fields": {"size_kb": 400}, "thread": "MainThread"}.items() <= next(
                    r for r in records if "size_kb" in r["fields"]).items()
        assert all(isinstance(r["line"], int) and r["line"] > 0 for r in records)
        assert len({r["process"] for r in records}) == 1
        assert any(r["level"] == "USER_INFO" and r["message"] == "demo service done" for r in records)
        error = next(r for r in records if r["level"] == "ERROR")
        assert error["message"] == "cannot parse document 7" and set(error["exception"]) == {"type", "message", "traceback"}
        assert error["exception"]["type"] == "KeyError" and error["exception"]["message"] == "'body'"
        assert error["exception"]["traceback"].startswith("Traceback (most recent call last):\n")
        assert error["exception"]["traceback"].endswith("\nKeyError: 'body'")
        # the library's records, from the loop and from a thread, in the stream with their level and place
        cache = [r for r in records if r["logger"] == "thirdparty.cache"]
        assert [(r["level"], r["file"].rsplit("/", 1)[-1]) for r in cache] == [("INFO", "cache.py"), ("WARNING", "cache.py")]
        assert cache[0]["thread"] != "MainThread" and cache[1]["thread"] == "MainThread"
    else:
        assert re.fullmatch(r"USER_INFO  demo\.service service\.py:run:\d+ demo service starting", lines[0].split(" ", 1)[1])
        assert any(re.search(r"INFO       demo\.fetcher fetcher\.py:fetch:\d+ fetching dataset\.tar size_kb=400$", line)
                   for line in lines)
        at = next(i for i, line in enumerate(lines) if line.endswith("cannot parse document 7"))
        assert lines[at + 1] == "    Traceback (most recent call last):"  # later lines follow, indented


@pytest.mark.skipif(not shutil.which("jq"), reason="jq (Debian's package) is not installed")
def test_jq_reads_the_json_stream_and_computes_on_its_values(demo_output):
    text = demo_output["json pipe"]

    def jq(query):
        r = subprocess.run(["jq", "-c", query], input=text, capture_output=True, timeout=60)
        assert r.returncode == 0, r.stderr
        return [json.loads(line) for line in r.stdout.splitlines()]

    assert len(jq("{level, logger, message}")) == len(text.splitlines())
    # keyword values keep their JSON type: numbers compare as numbers, strings match as strings
    order = {"order": 1001, "qty": 47, "warehouse": "eu-west", "express": True}
    assert jq("select(.fields.qty > 40) | .fields") == [order]
    assert jq('select(.fields.warehouse == "eu-west") | .message') == ["order received"]
    assert jq("select(.fields.qty > 50)") == []
    assert jq('select(.exception.type == "KeyError") | .function') == ["parse_broken"]


def run_handler(tmp_path, monkeypatch, fmt, log):
    path = tmp_path / "out"
    monkeypatch.setattr(loghandle_imp, "STDERR", str(path))
    monkeypatch.setattr(loghandle_imp, "LOG_FORMAT", fmt)
    monkeypatch.setattr(loghandle_imp, "debug", lambda msg: None)

    run_a_handler(log)
    return path.read_text(encoding="utf-8")


def test_json_values_whatever_the_text_holds(tmp_path, monkeypatch):
    logger = TLogger("svc.odd")
    odd = b"caf\xff.txt".decode("utf-8", "surrogateescape")

    def log():
        logger.info(f"opened {odd}\x1b[2J\x08\x9b and \x1b[31mred\x1b[0m\nsecond line", path=odd)
        logger.user_error("bare user line")
        logger.raw_line("a raw line", redraw=False)

    lines = run_handler(tmp_path, monkeypatch, "json", log).splitlines()
    first, user, raw = (json.loads(line) for line in lines)
    assert first["message"] == f"opened {odd}\x1b[2J\x08\x9b and red\nsecond line"  # colours gone, the rest kept
    assert first["fields"] == {"path": odd} and first["logger"] == "svc.odd" and first["tags"] == []
    assert "\\udcff" in lines[0] and "\\u001b[2J" in lines[0]  # escaped in the stream itself
    assert user["level"] == "USER_ERROR" and user["message"] == "bare user line"
    assert raw["tags"] == ["raw_line"] and raw["fields"] == {}
    assert all(isinstance(r["delay_s"], float) and r["time"].endswith("Z") for r in (first, user, raw))


def test_progress_runs_are_thinned(tmp_path, monkeypatch):
    bar = TLogger("svc.bar")

    def log():
        for i in range(30):  # one run, within a second: its first line and its last state
            entry = bar.raw_line(f"{i}/29", redraw=True)
        bar.info("between runs")  # another kind of line of the bar's logger ends its run
        for i in range(3):  # a run over three seconds: a line each second
            entry = bar.raw_line(f"slow {i}", redraw=True)
            entry.timestamp += i * 1.5
        return entry

    text = run_handler(tmp_path, monkeypatch, "plain", log)
    shown = [line.rsplit(" ", 1)[1] for line in text.splitlines() if "svc.bar" in line]
    assert shown == ["0/29", "29/29", "runs", "0", "1", "2"]


def test_an_unknown_format_is_refused_before_anything_starts(monkeypatch):
    monkeypatch.setattr(loghandle_imp, "LOG_FORMAT", None)
    monkeypatch.setenv("TARVO_LOG_FORMAT", "xml")
    queue = TLogger.queue

    async def main():
        with pytest.raises(ValueError, match="unknown log format 'xml'"):
            await loghandle_imp.LoggingHandler().init()

    asyncio.run(main())
    assert TLogger.queue is queue


def test_auto_is_terminal_on_a_terminal_and_plain_on_a_pipe(demo_output):
    env = {**os.environ, "TARVO_LOG_FORMAT": "auto"}
    env.pop("TARVO_DEBUG", None)
    piped = demo_output["auto pipe"].decode()
    assert "╔" not in piped and " USER_INFO  demo.service" in piped
    leader, follower = pty.openpty()
    proc = subprocess.Popen([sys.executable, str(DEMO)], env=env, stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    proc.wait(timeout=120)
    os.close(leader)
    assert "╔ ".encode() in seen and b"\x1b[" in seen  # the terminal layout, in colour


def test_no_color_and_force_color(demo_output):
    assert b"\x1b" not in demo_output["no colour"] and "╔".encode() in demo_output["no colour"]
    assert b"\x1b[" in demo_output["forced colour"]  # into a pipe


def test_plain_lines_hold_no_control_character_and_json_no_colour(tmp_path, monkeypatch):
    """A colour sequence that removing another puts together, a tab, an escape in the logger's
    name: plain lines carry none of them raw, json messages no colour."""
    logger = TLogger("svc.a\x1b[2J\nfake")
    nested = "hidden \x1b[\x1b[31m8m text"

    def log():
        logger.info(nested + "\tend", v="\x1b[31mred\x1b[0m")

    plain = run_handler(tmp_path, monkeypatch, "plain", log)
    assert plain.count("\n") == 1 and not any(ord(c) < 0x20 and c != "\n" or 0x7f <= ord(c) <= 0x9f for c in plain)
    assert "svc.a\\x1b[2J\\x0afake" in plain and "hidden  text\\x09end" in plain
    (tmp_path / "out").unlink()
    record = json.loads(run_handler(tmp_path, monkeypatch, "json", log))
    assert record["message"] == "hidden  text\tend" and "\x1b" not in record["message"]


def test_progress_bars_are_thinned_each_on_its_own(tmp_path, monkeypatch):
    """Two bars at once, and other loggers' lines between their states: each bar shows its first
    state and its last, whatever comes between."""
    bars = TLogger("svc.bar1"), TLogger("svc.bar2")
    other = TLogger("svc.other")

    def log():
        for i in range(100):
            for k, bar in enumerate(bars):
                bar.raw_line(f"{k} {i}/99", redraw=True)
            other.info(f"work {i}")

    text = run_handler(tmp_path, monkeypatch, "plain", log)
    for k in (0, 1):
        shown = [line.rsplit(" ", 1)[1] for line in text.splitlines() if f"svc.bar{k + 1}" in line]
        assert shown == ["0/99", "99/99"], shown
    assert text.count("svc.other") == 100


@pytest.mark.parametrize("fmt", ["plain", "json"])
def test_any_time_stamp_gives_a_clear_value(tmp_path, monkeypatch, fmt):
    """Time stamps where no date fits are written as the number they are; the delay of one that is
    no number is null in json."""
    logger = TLogger("svc.time")
    stamps = [float("nan"), float("inf"), float("-inf"), 1e17, -1e20, 0.0, -62135596800.0, 253402300799.9996]

    def log():
        for ts in stamps:
            logger.info("at").timestamp = ts

    text = run_handler(tmp_path, monkeypatch, fmt, log)
    times = [json.loads(line)["time"] for line in text.splitlines()] if fmt == "json" else \
        [line.split(" ", 1)[0] for line in text.splitlines()]
    assert times == ["nan", "inf", "-inf", "1e+17", "-1e+20", "1970-01-01T00:00:00.000Z", "0001-01-01T00:00:00.000Z",
                     "253402300799.9996"]
    if fmt == "json":
        delays = [json.loads(line)["delay_s"] for line in text.splitlines()]
        assert delays[:3] == [None, None, None] and all(isinstance(d, float) for d in delays[3:])


def typed(v, depth=0):
    """What json makes of a keyword value, in Python: the JSON types keep theirs (a non-finite float
    becomes its str), lists and tuples arrays, dicts with str keys objects, 8 levels deep; anything
    else its str()."""
    if v is None or type(v) in (bool, str, int):
        return v
    if type(v) is float:
        return v if math.isfinite(v) else str(v)
    if type(v) in (list, tuple) and depth < 8:
        return [typed(x, depth + 1) for x in v]
    if type(v) is dict and depth < 8 and all(type(k) is str for k in v):
        return {k: typed(x, depth + 1) for k, x in v.items()}
    return str(v)


class Colour(enum.IntEnum):
    RED = 1


SCALARS = (st.none() | st.booleans() | st.integers() | st.integers(min_value=10**30) | st.floats()
           | st.text(st.characters(codec="utf-8") | st.sampled_from(["\udcff", "\x1b", "\x00"]))
           | st.sampled_from([Colour.RED, b"by\xfftes", {1, 2}, 2j, True.__class__, ...]))
VALUES = st.recursive(SCALARS, lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner)
                      | st.dictionaries(st.text(max_size=3) | st.integers(), inner, max_size=3), max_leaves=12)


@settings(max_examples=15, deadline=None)
@given(st.lists(VALUES, min_size=1, max_size=40))
@example(values=["one\u2028record\u2029a line", {"\u2028": "\x85"}])  # a reader's str.splitlines splits there
def test_json_keyword_values_keep_their_type(tmp_path_factory, values):
    """Each keyword value as json writes it, parsed back, against the model above; deeply nested
    values and a list that holds itself included."""
    nested = []
    for _ in range(12):
        nested = [nested]
    itself = [1]
    itself.append(itself)
    values = values + [nested, itself]
    logger = TLogger("svc.typed")
    path = tmp_path_factory.mktemp("typed") / "out"
    saved = loghandle_imp.STDERR, loghandle_imp.LOG_FORMAT, loghandle_imp.debug
    loghandle_imp.STDERR, loghandle_imp.LOG_FORMAT, loghandle_imp.debug = str(path), "json", lambda msg: None

    async def main():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        for v in values:
            logger.info("value", v=v)
        await h.aclose()

    try:
        asyncio.run(main())
    finally:
        loghandle_imp.STDERR, loghandle_imp.LOG_FORMAT, loghandle_imp.debug = saved
    fields = [json.loads(line)["fields"] for line in path.read_text(encoding="utf-8").splitlines()]
    assert fields == [{"v": typed(v)} for v in values]
