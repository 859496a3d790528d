"""A pre-fork server for real: gunicorn with two UvicornWorkers whose lifespan enters log(), under
load, while a worker is stopped by SIGTERM and the master reloads on SIGHUP (gunicorn_app.py)."""
import http.client
import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import threading
import time
from collections import Counter

import pytest
from test_workers import forks_among_threads

pytest.importorskip("gunicorn")
pytest.importorskip("uvicorn")
HERE = pathlib.Path(__file__).parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Stream:
    """The server's stderr, read as it comes: json records, each with when it was read."""

    def __init__(self, pipe):
        self.records, self.raw, self.torn = [], [], []
        self.thread = threading.Thread(target=self.read, args=(pipe,), daemon=True)
        self.thread.start()

    def read(self, pipe):
        for line in pipe:
            self.raw.append(line)
            try:
                self.records.append((time.monotonic(), json.loads(line)))
            except ValueError:
                self.torn.append(line)

    def messages(self, logger):
        return [r["message"] for _, r in list(self.records) if r["logger"] == logger]

    def wait_for(self, test, timeout=30):
        deadline = time.monotonic() + timeout
        while not test():
            assert time.monotonic() < deadline, "".join(self.raw[-40:])
            time.sleep(0.05)


# The master forks its new workers (after a worker's SIGTERM, at SIGHUP) once it has logged, with the
# thread that writes what waited for a handler running in it.
@forks_among_threads
def test_gunicorn_workers_and_master_share_one_json_stream(tmp_path):
    port = free_port()
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "FORCE_COLOR", "TARVO_LOG_LEVELS")}
    env.update(TARVO_LOG_FORMAT="json", PYTHONWARNINGS="ignore::DeprecationWarning")
    server = subprocess.Popen([sys.executable, "-m", "gunicorn", "-c", "gunicorn_app.py", "--chdir", str(HERE),
                               "--bind", f"127.0.0.1:{port}", "--graceful-timeout", "10", "gunicorn_app:app"],
                              cwd=HERE, env=env, stderr=subprocess.PIPE, text=True)
    stream = Stream(server.stderr)
    answered, stop = [], threading.Event()

    def ups():
        return [m for m in stream.messages("svc.gapp") if m.startswith("worker up")]

    def load(k):
        i = 0
        while not stop.is_set():
            n = f"c{k}-{i}"
            i += 1
            try:
                c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                c.request("GET", f"/?{n}")
                if c.getresponse().status == 200:
                    answered.append(n)
                c.close()
            except OSError:
                time.sleep(0.01)  # a worker going away: this request was not answered

    clients = [threading.Thread(target=load, args=(k,)) for k in range(4)]
    try:
        stream.wait_for(lambda: len(ups()) == 2)
        # The master's lines are written while it runs (it never starts a handler), each once.
        stream.wait_for(lambda: "master ready" in stream.messages("svc.master"), timeout=5)
        for t in clients:
            t.start()
        time.sleep(1)
        worker = int(ups()[0].rsplit("=", 1)[1])
        os.kill(worker, signal.SIGTERM)
        stream.wait_for(lambda: len(ups()) == 3)
        time.sleep(0.5)
        server.send_signal(signal.SIGHUP)
        stream.wait_for(lambda: len(ups()) == 5 and "master reloads" in stream.messages("svc.master"))
        time.sleep(1)
    finally:
        stop.set()
        for t in clients:
            if t.is_alive() or t.ident:
                t.join(timeout=30)
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=60)
        stream.thread.join(timeout=10)

    assert stream.torn == []  # every line is one json record
    access = Counter(m.split(" ", 1)[1] for m in stream.messages("svc.gapp") if m.startswith("access "))
    assert len(answered) > 100
    assert [n for n in answered if access[n] != 1] == []  # every answered request logged once
    assert [n for n, c in access.items() if c > 1] == []
    master = Counter(stream.messages("svc.master"))
    assert master["master starting"] == master["master ready"] == master["master reloads"] == 1, master
    assert master["master forks a worker"] == 5, master  # two, one after the SIGTERM, two at the reload
    master_pids = {r["process"] for _, r in stream.records if r["logger"] == "svc.master"}
    assert master_pids == {server.pid}
    # gunicorn's own log and uvicorn's in its workers, each line once, from the process that logged it
    own = [(r["process"], r["message"]) for _, r in stream.records if r["logger"] == "gunicorn.error"]
    starting = [pid for pid, m in own if m.startswith("Starting gunicorn")]
    booting = [(pid, m) for pid, m in own if m.startswith("Booting worker with pid")]  # by each worker
    assert starting == [server.pid] and len(booting) == 5 and all(m.endswith(f" {pid}") for pid, m in booting), own
    assert [m for pid, m in own if m == "Handling signal: hup"] == ["Handling signal: hup"], own
    started = [r["process"] for _, r in stream.records
               if r["logger"] == "uvicorn.error" and r["message"].startswith("Started server process")]
    assert len(started) == len(set(started)) == 5 and server.pid not in started


def test_gunicorns_own_lines_in_the_terminal_format(tmp_path):
    """The same recipe in the terminal format: gunicorn's lines from the master and from a worker are
    entries of the stream, each once, none in gunicorn's own layout ("[INFO]")."""
    port = free_port()
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "FORCE_COLOR", "TARVO_LOG_LEVELS")}
    env.update(TARVO_LOG_FORMAT="terminal", NO_COLOR="1", PYTHONWARNINGS="ignore::DeprecationWarning")
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        server = subprocess.Popen([sys.executable, "-m", "gunicorn", "-c", "gunicorn_app.py", "--chdir", str(HERE),
                                   "--workers", "1", "--bind", f"127.0.0.1:{port}", "gunicorn_app:app"],
                                  cwd=HERE, env=env, stderr=f)
        try:
            deadline = time.monotonic() + 30
            while "worker up" not in err.read_text():
                assert time.monotonic() < deadline, err.read_text()
                time.sleep(0.05)
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request("GET", "/?one")
            assert c.getresponse().status == 200
            c.close()
            time.sleep(0.3)
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=60)
        finally:
            server.kill()
    text = err.read_text()
    assert "[INFO]" not in text and "access one" in text
    for line in ("Starting gunicorn", "Booting worker with pid", "Started server process", "Handling signal: term",
                 "Shutting down: Master"):
        assert text.count(line) == 1, (line, text)
    # the master, which never starts a handler, writes at once, in the plain layout, naming itself
    assert f"gunicorn.error[{server.pid}] glogging.py:info:" in text and "gunicorn.error [pid " in text
