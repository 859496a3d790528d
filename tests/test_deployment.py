"""What a deployed service sees, in real child processes: stderr redirected to a file or a pipe,
no stderr at all, threads that log, a cancelled close, and daemon threads at interpreter exit."""
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import time

import pytest

CHILD = pathlib.Path(__file__).with_name("service_child.py")


def child(*args, env=None, **kwargs):
    environ = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "T_LOG_STDERR")}
    environ.update(env or {})
    return subprocess.run([sys.executable, str(CHILD), *args], env=environ, timeout=120, **kwargs)


def numbers(text):
    return [int(n) for n in re.findall(r"║ line (\d+)", text)]


@pytest.mark.parametrize("how", ["truncated file", "appended file", "pipe"])
def test_redirected_stderr_keeps_every_line_before_the_traceback(tmp_path, how):
    """The log shares stderr's open file: the process's own output and its crash traceback come
    after the lines logged before them, and overwrite none of them."""
    n = 200
    if how == "pipe":
        r = child("crash", str(n), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        text = r.stderr.decode()
    else:
        path = tmp_path / "service.log"
        path.write_text("an earlier run\n")
        with open(path, "ab" if how == "appended file" else "wb") as f:
            r = child("crash", str(n), stdout=subprocess.DEVNULL, stderr=f)
        text = path.read_text()
        assert text.startswith("an earlier run\n") == (how == "appended file")
    assert r.returncode == 1
    assert numbers(text) == list(range(n))
    assert text.index("line 99") < text.index("the process's own line") < text.index("line 100")
    # the crash's traceback is the log's last entry, after every log line, each of its lines whole
    assert f"║ line {n - 1}\n" in text
    at = text.index(f"║ line {n - 1}\n")
    assert at < text.index("CRITICAL   uncaught service_child.py:crash:") < text.index("    Traceback (most recent")
    assert text.endswith("\n    RuntimeError: the service failed\n")


def test_no_stderr_at_start_writes_nowhere(tmp_path):
    """Started without a descriptor 2, the application's own file takes that number: the log must
    not be written into it."""
    data, diagnostics = tmp_path / "data.txt", tmp_path / "debug.txt"
    r = subprocess.run([sys.executable, str(CHILD), "nofd2", str(data)], preexec_fn=lambda: os.close(2),
                       env={**os.environ, "TARVO_DEBUG": str(diagnostics)}, stdout=subprocess.PIPE, timeout=120)
    assert r.returncode == 0
    assert data.read_text() == "application data\n"
    assert "write_aiologs writes nothing: the interpreter started without a standard error" in diagnostics.read_text()


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_entries_of_a_joined_thread_are_all_written(loop):
    """Entries a thread handed to the loop before the close began arrive before the end marker."""
    n = 20000
    r = child("thread", str(n), env={"CHILD_LOOP": loop}, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    assert r.returncode == 0, r.stderr[-2000:]
    assert numbers(r.stderr.decode()) == list(range(n))


@pytest.mark.parametrize("at", ["after:1", "after:3", "1/5", "2/5", "3/5"])
def test_cancelled_close_writes_what_was_queued_and_stays_cancelled(at):
    """A cancellation aimed at the close, at each of its steps that waits, with a backlog: every
    entry queued before the close is written, and the caller ends cancelled."""
    n = 20000
    r = child("cancel", str(n), at, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.decode().strip() == "close cancelled"
    assert numbers(r.stderr.decode()) == list(range(n))


def test_daemon_threads_logging_while_the_interpreter_exits(tmp_path):
    """At exit CPython ends daemon threads with a forced unwind through the native frames: no run
    may crash or abort."""
    runs, failures = 30, []
    for start in range(0, runs, 6):
        procs = []
        for k in range(start, min(start + 6, runs)):
            err = open(tmp_path / f"err{k}", "wb")
            procs.append((subprocess.Popen([sys.executable, str(CHILD), "daemon"], stdout=subprocess.DEVNULL,
                                           stderr=err), err, k))
        for p, err, k in procs:
            code = p.wait(timeout=120)
            err.close()
            if code != 0:
                failures.append((code, (tmp_path / f"err{k}").read_bytes()[-300:]))
    assert not failures, f"{len(failures)} of {runs} runs failed: {failures[:3]}"


def test_a_stderr_nobody_reads_does_not_hold_up_the_exit(tmp_path):
    """stderr is a pipe whose reader stopped reading (it never closes it): the close gives up after
    its bound, says through debug what was not written, and the process exits, although a write of
    the log stays blocked for ever."""
    diagnostics = tmp_path / "debug.txt"
    reader, writer = os.pipe()
    try:
        start = time.monotonic()
        r = child("unread", "5000", env={"TARVO_DEBUG": str(diagnostics)}, stdout=subprocess.PIPE, stderr=writer)
        took = time.monotonic() - start
    finally:
        os.close(writer)
        os.close(reader)
    assert r.returncode == 0 and r.stdout.decode() == "closed\n"
    assert took < 30
    said = diagnostics.read_text()
    lost = re.search(r"the output took nothing for 5 s; (\d+) log entries were not written", said)
    assert lost and 0 < int(lost.group(1)) < 5000, said[-2000:]


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="this interpreter has no _testcapi")
@pytest.mark.parametrize("first", ["subinterpreter", "main"])
def test_a_subinterpreter_is_refused_and_the_main_interpreter_imports(first):
    """The handler's state is the process's: a subinterpreter's import is refused with one clear
    ImportError, and the main interpreter imports the package whichever comes first."""
    sub = ("import os\ntry:\n    import tarvo_loghandle\n    said = 'imported'\n"
           "except ImportError as e:\n    said = 'ImportError: ' + str(e)\nos.write(1, (said + chr(10)).encode())\n")
    main = "import tarvo_loghandle\nprint('main', tarvo_loghandle.__version__, flush=True)\n"
    run_sub = f"import _testcapi\n_testcapi.run_in_subinterp({sub!r})\n"
    code = run_sub + main if first == "subinterpreter" else main + run_sub
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    said = r.stdout.splitlines()
    assert "main 7.3.2201261049" in said
    refusals = [line for line in said if line.startswith("ImportError")]
    assert refusals == ["ImportError: module tarvo_loghandle does not support loading in subinterpreters"] or refusals == [
        "ImportError: tarvo_loghandle cannot be loaded in a subinterpreter: the log handler's state (the "
        "process-wide log queue and the running handler) belongs to the main interpreter"]
