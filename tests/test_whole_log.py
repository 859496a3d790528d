"""The service's whole log in one stream, seen from outside a real service process: Python's logging
records, exceptions with their tracebacks, the entries before a handler starts and after it has
closed, a bad output path, SIGTERM, and the other writers of stderr."""
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pyte
import pytest

CHILD = pathlib.Path(__file__).with_name("whole_log_child.py")
FORMATS = ["terminal", "plain", "json"]
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"


def environment(fmt):
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "NO_COLOR", "FORCE_COLOR",
                                                            "TARVO_LOG_LEVELS")}
    env["TARVO_LOG_FORMAT"] = fmt
    env["NO_COLOR"] = "1"  # the terminal layout without colour codes: the text is compared as it is
    return env


def run(tmp_path, fmt, *args, timeout=120, **more_env):
    """Runs the child with its stderr going to a file; returns (returncode, stdout, stderr text)."""
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        r = subprocess.run([sys.executable, str(CHILD), *map(str, args)], env={**environment(fmt), **more_env},
                           stdout=subprocess.PIPE,
                           stderr=f, timeout=timeout)
    return r.returncode, r.stdout.decode(), err.read_bytes().decode()  # carriage returns kept


def reports(stdout):
    return [json.loads(line) for line in stdout.splitlines() if line.startswith("{")]


def records(text):
    """The json stream: every line one object (a line that is not breaks the test); jq agrees."""
    if shutil.which("jq"):
        r = subprocess.run(["jq", "-c", "."], input=text.encode(), capture_output=True, timeout=60)
        assert r.returncode == 0 and len(r.stdout.splitlines()) == len(text.splitlines()), r.stderr
    return [json.loads(line) for line in text.splitlines()]


def thread_steps(text):
    """Per thread, the steps in the order they were written."""
    steps = {}
    for k, i in re.findall(r"thread (\d) step (\d+)", text):
        steps.setdefault(k, []).append(int(i))
    return steps


@pytest.mark.parametrize("fmt", FORMATS)
def test_the_standard_librarys_records_join_the_stream(tmp_path, fmt):
    code, out, text = run(tmp_path, fmt, "stdlib", TARVO_LOG_LEVELS="thirdparty=debug")  # its DEBUG asked for
    assert code == 0, text
    assert reports(out) == [{"restored": True}]  # the root logger as it was before the block
    # from threads that log through both loggers, alternately: nothing lost, nothing out of order
    assert thread_steps(text) == {k: list(range(40)) for k in "012"}
    if fmt == "json":
        rs = records(text)
        by_message = {r["message"].split("\n")[0]: r for r in rs}
        for level in ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"):
            r = by_message[f"record at {level}"]
            assert (r["level"], r["logger"], r["function"], r["module"]) == (level, "thirdparty.http", "stdlib", "whole_log_child")
            assert r["file"].endswith("whole_log_child.py")
        for message in ("the library failed", "the service failed"):
            exc = by_message[message]["exception"]
            assert (exc["type"], exc["message"]) == ("KeyError", "'body'")
            assert exc["traceback"].startswith("Traceback (most recent call last):\n") and exc["traceback"].endswith("KeyError: 'body'")
        assert by_message["given an exception"]["exception"] == {
            "type": "OSError", "message": "[Errno 28] No space left on device",
            "traceback": "OSError: [Errno 28] No space left on device"}
        lost = by_message["Task exception was never retrieved"]
        assert (lost["logger"], lost["level"], lost["exception"]["type"]) == ("asyncio", "ERROR", "ValueError")
        assert by_message["critical entry"]["level"] == "CRITICAL" and "exception" not in by_message["critical entry"]
        warned = next(r for r in rs if r["logger"] == "py.warnings")
        assert warned["level"] == "WARNING" and "UserWarning: a captured warning" in warned["message"]
        svc = [r["message"] for r in rs if r["logger"] == "svc.main" and not r["message"].startswith("thread")]
        assert svc[0] == "service up" and svc[-1] == "service down"
        return
    lines = text.splitlines()
    for level in ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"):
        if fmt == "plain":
            assert re.fullmatch(rf"{STAMP} {level:<10} thirdparty.http whole_log_child.py:stdlib:\d+ record at {level}",
                                lines[next(i for i, line in enumerate(lines) if line.endswith(f"record at {level}"))])
        else:  # the run's header says DEBUG: every other level is named on its entry's line
            assert (f"║ {level} record at {level}" if level != "DEBUG" else "║ record at DEBUG") in lines
    # the traceback under the message, in the layout's own indentation
    indent = "    " if fmt == "plain" else "║ "
    for message in ("the library failed", "the service failed", "Task exception was never retrieved"):
        at = next(i for i, line in enumerate(lines) if line.endswith(message))
        tail = lines[at + 1:at + 8]
        assert f"{indent}Traceback (most recent call last):" in tail, (message, tail)
    assert f"{indent}OSError: [Errno 28] No space left on device" in lines
    assert text.index("service up") < text.index("record at DEBUG") < text.index("service down")


@pytest.mark.parametrize("fmt", FORMATS)
def test_console_handlers_extra_fields_levels_and_uncaught_exceptions_join_the_stream(tmp_path, fmt):
    # Logging as frameworks set it up: their console handlers (installed before the block and in it)
    # are taken over, each record written once, in order; a file handler keeps writing its file.
    code, out, text = run(tmp_path, fmt, "console", tmp_path / "file.log", TARVO_LOG_LEVELS="shown=DEBUG")
    assert code in (-signal.SIGINT, 130), text  # the program still ends as Ctrl-C ends it
    assert reports(out) == [{"restored": True, "root_level": 30, "hooks": True}]  # stdout: nothing of the log
    assert "RAW" not in text and "below the handler" not in text and "library chatter" not in text
    assert (tmp_path / "file.log").read_text() == "to the file only, and the stream\n"
    order = ["service up", "Started server process", "GET /items 200", "Exception in ASGI application",
             "installed before the block", "to the file only", "library news", "asked-for detail",
             "detail that TARVO_LOG_LEVELS asks for", "Uncaught exception in thread worker-1", "service down",
             "Uncaught exception"]
    at = [text.find(message) for message in order[:-1]] + [text.rfind(order[-1])]
    assert -1 not in at and at == sorted(at), list(zip(order, at))
    for message in order[1:-1]:
        assert text.count(message) == 1, message
    # threads logging through the console handler: every step once, each thread's in order
    steps = {}
    for k, i in re.findall(r"console thread (\d) step (\d+)", text):
        steps.setdefault(k, []).append(int(i))
    assert steps == {k: list(range(40)) for k in "012"}
    if fmt == "json":
        rs = records(text)  # JSON from the first line to the last, the uncaught KeyboardInterrupt included
        by_message = {r["message"]: r for r in rs}
        get = by_message["GET /items 200"]
        assert (get["logger"], get["level"]) == ("fw.server", "INFO")
        assert get["fields"] == {"status": 200, "path": "/items", "took": 0.5, "ok": True, "tags": ["a", 1]}
        failed = by_message["Exception in ASGI application"]  # its trailing line feed dropped
        assert failed["exception"]["type"] == "ValueError" and failed["fields"] == {}
        thread = by_message["Uncaught exception in thread worker-1"]
        assert (thread["level"], thread["logger"], thread["exception"]["type"]) == ("CRITICAL", "uncaught",
                                                                                    "ZeroDivisionError")
        last = rs[-1]
        assert (last["message"], last["level"], last["exception"]["type"]) == ("Uncaught exception", "CRITICAL",
                                                                               "KeyboardInterrupt")
        assert last["function"] == "console" and last["exception"]["traceback"].startswith("Traceback")
    else:
        assert "status=200 path='/items' took=0.5 ok=True tags=['a', 1]" in text
        assert "color_message" not in text and "KeyboardInterrupt" in text[at[-1]:]


@pytest.mark.parametrize("setup", ["own", "off"])
def test_an_application_that_configures_logging_keeps_its_setup(tmp_path, setup):
    """Its own RecordHandler on the root logger: log() adds none, and each record is written once.
    The automatic connection turned off: the records are left to the standard library."""
    code, out, text = run(tmp_path, "plain", "own_setup", setup)
    assert code == 0, text
    if setup == "own":
        assert reports(out) == [{"handlers": 1, "same": True}]
        assert text.count("a record") == 1 and text.count("an entry") == 1
    else:
        assert reports(out) == [{"handlers": 0, "same": True}]
        assert "a record" not in text and text.count("an entry") == 1  # an INFO record: the root logger drops it


@pytest.mark.parametrize("fmt", FORMATS)
def test_entries_before_and_after_the_handler_are_written(tmp_path, fmt):
    code, _, text = run(tmp_path, fmt, "edges")
    assert code == 0, text
    order = ["before the handler", "before the handler, second", "inside the block", "after the block, in the loop",
             "after the block, from a thread", "after the loop"]
    if fmt == "json":
        assert [r["message"] for r in records(text)] == order
        return
    assert [m for m in order if m in text] == order
    assert sorted(order, key=text.index) == order
    # the entries of no handler's run are written at once, each a self-contained plain line
    after = [line for line in text.splitlines() if "after the" in line]
    assert [re.fullmatch(rf"{STAMP} (WARNING|INFO)\s+svc\.main whole_log_child\.py:\S+:\d+ after the .*", line) is not None
            for line in after] == [True] * 3, after
    if fmt == "terminal":
        assert "║ before the handler reason='bad configuration'" in text  # they waited for the handler


@pytest.mark.parametrize("start", ["start", "none"])
def test_entries_waiting_for_a_handler_are_bounded_and_never_lost(tmp_path, start):
    """25,000 entries before any handler: past the bound they are written at once, the rest when
    the handler starts, or at exit when none ever does; each once, in order."""
    code, _, text = run(tmp_path, "terminal", "waiting", 25000, start)
    assert code == 0, text[-2000:]
    assert [int(i) for i in re.findall(r"waiting (\d+)", text)] == list(range(25000))
    at_once = len(re.findall(rf"(?m)^{STAMP} INFO\s+svc\.main whole_log_child\.py:waiting:\d+ waiting \d+$", text))
    if start == "start":
        assert 10000 < at_once < 25000 and text.index("waiting 24999") < text.index("inside the block")
    else:
        assert at_once == 25000


def test_a_bad_output_path_is_refused_before_the_service_runs(tmp_path):
    """init() raises its OSError and leaves entries waiting; what no handler writes goes to the
    process's stderr, since the path cannot take it."""
    code, out, text = run(tmp_path, "terminal", "bad_path", tmp_path / "missing" / "log.txt")
    assert code == 0, text
    assert reports(out) == [{"refused": "FileNotFoundError", "queue": "WaitingQueue"}]
    assert re.search(rf"(?m)^{STAMP} INFO\s+svc\.main whole_log_child\.py:bad_path:\d+ logged after the refusal$", text)


# A burst that the writer has not written 0.1 s later (the plain format writes faster), in asyncio's
# loop and in uvloop's.
@pytest.mark.parametrize("fmt, n, loop", [("terminal", 20000, "asyncio"), ("plain", 200000, "asyncio"),
                                          ("terminal", 20000, "uvloop")])
@pytest.mark.parametrize("attempt", range(2))
def test_sigterm_writes_out_the_log_then_ends_the_process_as_sigterm(tmp_path, fmt, n, loop, attempt):
    if loop == "uvloop":
        pytest.importorskip("uvloop")
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        child = subprocess.Popen([sys.executable, str(CHILD), "burst", str(n), "default"],
                                 env={**environment(fmt), "CHILD_LOOP": loop}, stdout=subprocess.PIPE, stderr=f)
        assert child.stdout.readline() == b"logged\n"
        time.sleep(0.1)
        child.send_signal(signal.SIGTERM)
        assert child.wait(timeout=60) == -signal.SIGTERM  # what a service manager sees of SIGTERM
    text = err.read_bytes().decode()
    assert sorted(int(i) for i in re.findall(r"entry (\d+)", text)) == list(range(n))
    assert text.endswith(f"entry {n - 1}\n")


def test_sigterm_of_the_applications_own_is_left_to_it(tmp_path):
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        child = subprocess.Popen([sys.executable, str(CHILD), "burst", "1000", "app"], env=environment("plain"),
                                 stdout=subprocess.PIPE, stderr=f)
        assert child.stdout.readline() == b"logged\n"
        child.send_signal(signal.SIGTERM)
        assert child.stdout.readline() == b"the application's handler\n"
        assert child.wait(timeout=60) == 0
    assert len(re.findall(r"entry \d+", err.read_text())) == 1000


def test_other_writers_of_stderr_start_on_a_line_of_their_own(tmp_path):
    code, _, text = run(tmp_path, "terminal", "other_writers")
    assert code == 0, text
    screen = pyte.Screen(120, 40)
    screen.set_mode(pyte.modes.LNM)  # a line feed also returns the carriage, as the tty's ONLCR does
    pyte.Stream(screen).feed(text)
    rows = [row.rstrip() for row in screen.display if row.strip()]
    assert "another writer's line" in rows and "a last line of another writer" in rows
    warning = next(row for row in rows if "UserWarning" in row)
    assert warning.startswith(str(CHILD)) and warning.endswith("UserWarning: a warning of Python's own")
    # the bar was redrawn in place across its chunks: one row, its last state
    assert [row for row in rows if "loading [" in row] == [" 0.00│ loading [100%]"]
    for entry in ("first entry", "second entry", "after the bar"):
        assert f"║ {entry}" in rows
