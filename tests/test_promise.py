"""What the handler promises, held at its edges by real processes (promise_child.py): every entry
from every thread across many closes, whole lines when threads write at once into a pipe, a
full disk and a reader that stalls (every line whole, the loss counted exactly and told in the
log itself), SIGTERM while entries wait for a first handler, a loop closed without the handler's
close, and values shown as they were when logged."""
import errno
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys

import pytest

CHILD = pathlib.Path(__file__).with_name("promise_child.py")


def environment(fmt, loop="asyncio"):
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "FORCE_COLOR", "TARVO_LOG_LEVELS")}
    env.update(TARVO_LOG_FORMAT=fmt, NO_COLOR="1", CHILD_LOOP=loop)
    return env


def child(*args):
    return [sys.executable, str(CHILD), *map(str, args)]


def messages(text, fmt):
    """The messages of the stream, in order; in json every line must be one whole object."""
    if fmt != "json":
        return text.splitlines()
    out = []
    for line in text.splitlines():
        out.append(json.loads(line)["message"])  # a torn line fails here
    return out


def numbered(lines, pattern):
    """Per key, the numbers in the order they were written."""
    seen = {}
    for line in lines:
        m = re.search(pattern, line)
        if m:
            seen.setdefault(m.group(1), []).append(int(m.group(2)))
    return seen


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
@pytest.mark.parametrize("via", ["tlogger", "logging"])
def test_every_entry_of_every_thread_across_fifty_closes(tmp_path, loop, via):
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        r = subprocess.run(child("closes", via, 50), env=environment("plain", loop), stdout=subprocess.PIPE,
                           stderr=f, timeout=300)
    text = err.read_text()
    assert r.returncode == 0, text[-3000:]
    counts = json.loads(r.stdout)["counts"]
    lines = text.splitlines()
    threads = numbered(lines, r"thread (\d) seq (\d+)$")
    # no hole, no duplicate, each thread's order kept, whether the entry met a running handler, a
    # closing one or none
    assert {k: len(v) for k, v in threads.items()} == counts
    assert all(v == list(range(counts[k])) for k, v in threads.items())
    rounds = numbered(lines, r"loop (\d+) seq (\d+)$")
    assert rounds == {str(r): list(range(100)) for r in range(50)}
    assert not [line for line in lines if "lost" in line or "Traceback" in line]


@pytest.mark.parametrize("fmt", ["plain", "json", "terminal"])
def test_threads_writing_at_once_into_a_pipe_never_interleave(fmt):
    r = subprocess.run(child("threads_at_once", 20000), env=environment(fmt), stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=300)
    assert r.returncode == 0, r.stderr[-2000:]
    intact = 0
    for message in messages(r.stderr.decode(), fmt):
        m = re.search(r"thread (\d) seq (\d+) ([a-h]+)$", message)
        intact += bool(m and m.group(3) == chr(ord("a") + int(m.group(1))) * 20000)
    assert intact == 800


def lost_told(notices):
    """The entries that the log says were lost, from its notices."""
    return sum(int(m.group(1)) for n in notices for m in [re.search(r"(\d+) log entr(?:y was|ies were) lost", n)] if m)


def check_losses(lines, total, pattern):
    seqs = [int(m.group(1)) for line in lines for m in [re.search(pattern, line)] if m]
    notices = [line for line in lines if not re.search(pattern, line)]
    assert seqs == sorted(set(seqs))  # once each, in order; each one whole (the pattern ends at $)
    missing = total - len(seqs)
    assert missing > 0 and lost_told(notices) == missing, notices
    return notices


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("mount"), reason="mounting a small filesystem needs root")
def test_a_full_disk_costs_whole_entries_counted_and_told(tmp_path):
    fs = tmp_path / "fs"
    fs.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(fs)]).returncode:
        pytest.skip("this container cannot mount a tmpfs")
    try:
        filler = fs / "filler"
        with open(filler, "wb", buffering=0) as f:
            with pytest.raises(OSError) as full:
                while True:
                    f.write(b"x" * 4096)
        assert full.value.errno == errno.ENOSPC
        os.truncate(filler, filler.stat().st_size - 4096)  # room for part of one write
        with open(fs / "log", "wb") as err:
            r = subprocess.run(child("full_disk", filler), env=environment("json"), stderr=err, timeout=120)
        text = (fs / "log").read_text()
    finally:
        subprocess.run(["umount", str(fs)])
    assert r.returncode == 0, text[-2000:]
    notices = check_losses(messages(text, "json"), 400, r"^seq (\d+) p{300}$")
    assert all("No space left on device" in n for n in notices)


@pytest.mark.parametrize("fmt", ["plain", "json"])
def test_a_stalled_reader_costs_whole_entries_counted_and_told(fmt):
    # stderr a pipe the child makes non-blocking; it is read only once the handler's close gave up
    p = subprocess.Popen(child("stalled", 2000), env=environment(fmt), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert json.loads(p.stdout.readline()) == {"done": True}
        text = p.stderr.read().decode()
        assert p.wait(timeout=60) == 0
    finally:
        p.kill()
    notices = check_losses(messages(text, fmt), 2000, r"seq (\d+) s{200}$")
    assert len(notices) == 1 and "the output took nothing for 5 s" in notices[0]


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_sigterm_writes_what_waits_for_a_first_handler(loop):
    code = ("import sys, time\n"
            "from tarvo_commons import TLogger\n"
            "import tarvo_loghandle\n"
            "lg = TLogger('svc.config')\n"
            "for i in range(20):\n"
            "    lg.error('bad configuration', n=i)\n"
            "print('ready', flush=True)\n"
            "time.sleep(60)\n")
    p = subprocess.Popen([sys.executable, "-c", code], env=environment("plain", loop), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    try:
        assert p.stdout.readline() == b"ready\n"
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=30)
    finally:
        p.kill()
    assert p.returncode == -signal.SIGTERM  # ended as SIGTERM ends a process: what its manager expects
    assert re.findall(r"bad configuration n=(\d+)", err.decode()) == [str(i) for i in range(20)]


def test_entries_after_a_loop_closed_without_the_close_are_written(tmp_path):
    r = subprocess.run(child("loop_closed"), env=environment("plain"), capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr.decode()[-2000:]
    text = r.stderr.decode()
    expected = ["before the loop closed"] + [f"after the loop closed {i}" for i in range(10)]
    assert re.findall(r"(before the loop closed|after the loop closed \d)$", text, re.M) == expected
    assert "after the loop closed, from a thread" in text


@pytest.mark.parametrize("fmt", ["terminal", "plain", "json"])
def test_values_are_shown_as_they_were_when_logged(fmt):
    r = subprocess.run(child("mutated"), env=environment(fmt), capture_output=True, timeout=60)
    text = r.stderr.decode()
    assert r.returncode == 0, text[-2000:]
    assert "refunded" not in text and "card accepted" not in text
    assert text.count("ValueError: card declined") == 2  # the TLogger entry and the logging record
    if fmt == "json":
        by_message = {o["message"]: o for o in map(json.loads, text.splitlines())}
        assert by_message["order received"]["fields"]["order"] == {"status": "accepted", "items": [1, 2]}
        for message in ("payment failed", "payment failed in the library"):
            assert by_message[message]["exception"]["message"] == "card declined"
    else:
        assert "order={'status': 'accepted', 'items': [1, 2]}" in text


def test_a_flood_from_the_loop_itself_is_written_whole(tmp_path):
    # 300,000 records from the loop's own task, which never lets the writer run: past the bound of
    # entries waiting, they are written at once, in order (memory: bench/bench_flood.py)
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        r = subprocess.run(child("flood", 300000), env=environment("plain"), stdout=subprocess.PIPE, stderr=f,
                           timeout=600)
    assert r.returncode == 0, err.read_text()[-2000:]
    seqs = [int(m.group(1)) for m in re.finditer(r"flood (\d+)$", err.read_text(), re.M)]
    assert seqs == list(range(300000))
