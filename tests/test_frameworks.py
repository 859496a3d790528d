"""The frameworks' own logging in the stream, for real: uvicorn with its default logging set-up,
served on a loopback port, asked over HTTP, ended by Ctrl-C."""
import http.client
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("uvicorn")
HERE = pathlib.Path(__file__).parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path):
    deadline = time.monotonic() + 30
    while True:
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request("GET", path)
            r = c.getresponse()
            r.read()
            c.close()
            return r.status
        except OSError:
            assert time.monotonic() < deadline
            time.sleep(0.05)


@pytest.mark.parametrize("fmt", ["json", "terminal"])
def test_uvicorn_with_its_default_logging_writes_into_the_stream(tmp_path, fmt):
    port = free_port()
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "FORCE_COLOR", "TARVO_LOG_LEVELS")}
    env.update(TARVO_LOG_FORMAT=fmt, NO_COLOR="1")
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        server = subprocess.Popen([sys.executable, str(HERE / "uvicorn_app.py"), str(port)], env=env,
                                  stdout=subprocess.PIPE, stderr=f)
        try:
            assert [get(port, "/ok"), get(port, "/items"), get(port, "/fail")] == [200, 200, 500]
            time.sleep(0.3)
            server.send_signal(signal.SIGINT)  # Ctrl-C: uvicorn shuts down, then raises it again
            out, _ = server.communicate(timeout=60)
        finally:
            server.kill()
    text = err.read_text()
    assert out == b""  # the access log, on stdout by uvicorn's set-up, is in the stream
    uvicorn_lines = ["Started server process", "Waiting for application startup.", "Application startup complete.",
                     "Uvicorn running on http://127.0.0.1:", '"GET /ok HTTP/1.1" 200', '"GET /items HTTP/1.1" 200',
                     "Exception in ASGI application", '"GET /fail HTTP/1.1" 500', "Shutting down",
                     "Finished server process"]
    order = ["service starting", *uvicorn_lines[:4], "serving /ok", *uvicorn_lines[4:]]
    if fmt == "json":
        if shutil.which("jq"):  # JSON from the first line to the last, Ctrl-C's traceback included
            r = subprocess.run(["jq", "-c", "."], input=text.encode(), capture_output=True, timeout=60)
            assert r.returncode == 0 and len(r.stdout.splitlines()) == len(text.splitlines()), r.stderr
        rs = [json.loads(line) for line in text.splitlines()]
    shown = "\n".join(r["message"] for r in rs) if fmt == "json" else text
    at = [shown.find(line) for line in order]
    assert -1 not in at and at == sorted(at), (list(zip(order, at)), text[-3000:])
    for line in order:
        assert shown.count(line) == 1, (line, text[-3000:])
    if fmt == "json":
        failed = next(r for r in rs if r["message"] == "Exception in ASGI application")
        assert (failed["logger"], failed["level"], failed["exception"]["type"]) == ("uvicorn.error", "ERROR",
                                                                                   "LookupError")
        access = next(r for r in rs if '"GET /ok HTTP/1.1" 200' in r["message"])
        assert (access["logger"], access["level"]) == ("uvicorn.access", "INFO")
        assert (rs[-1]["logger"], rs[-1]["level"], rs[-1]["exception"]["type"]) == ("uncaught", "CRITICAL",
                                                                                     "KeyboardInterrupt")
    else:
        assert "LookupError: no such item" in text and "KeyboardInterrupt" in text[text.find("Finished server"):]
