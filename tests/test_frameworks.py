"""The frameworks' own logging in the stream, for real, as the README's recipes set them up: uvicorn
with its default logging set-up, FastAPI under uvicorn's command line, aiohttp's run_app, each
served on a loopback port, asked over HTTP, ended by Ctrl-C (gunicorn: test_gunicorn.py)."""
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


def serve(tmp_path, fmt, app, *command):
    """Runs the app's server, asks it for /ok, /items and /fail, ends it by Ctrl-C; returns the
    exit code, stdout, and the stream: its text, and in json its records (parsed by jq too)."""
    port = free_port()
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "FORCE_COLOR", "TARVO_LOG_LEVELS")}
    env.update(TARVO_LOG_FORMAT=fmt, NO_COLOR="1")
    err = tmp_path / "stderr"
    with open(err, "wb") as f:
        argv = [sys.executable, *command, "--port", str(port)] if command else [sys.executable, str(HERE / app), str(port)]
        # Ctrl-C as a terminal sends it, whatever this run inherited (a shell's background job ignores SIGINT)
        server = subprocess.Popen(argv, cwd=HERE, env=env, stdout=subprocess.PIPE, stderr=f,
                                  preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        try:
            assert [get(port, "/ok"), get(port, "/items"), get(port, "/fail")] == [200, 200, 500]
            time.sleep(0.3)
            server.send_signal(signal.SIGINT)
            out, _ = server.communicate(timeout=60)
        finally:
            server.kill()
    text = err.read_text()
    rs = []
    if fmt == "json":
        if shutil.which("jq"):  # JSON from the first line to the last
            r = subprocess.run(["jq", "-c", "."], input=text.encode(), capture_output=True, timeout=60)
            assert r.returncode == 0 and len(r.stdout.splitlines()) == len(text.splitlines()), r.stderr
        rs = [json.loads(line) for line in text.splitlines()]
    return server.returncode, out, text, rs


def in_order_once(order, text, rs):
    shown = "\n".join(r["message"] for r in rs) if rs else text
    at = [shown.find(line) for line in order]
    assert -1 not in at and at == sorted(at), (list(zip(order, at)), text[-3000:])
    for line in order:
        assert shown.count(line) == 1, (line, text[-3000:])


@pytest.mark.parametrize("fmt", ["json", "terminal"])
def test_uvicorn_with_its_default_logging_writes_into_the_stream(tmp_path, fmt):
    pytest.importorskip("uvicorn")
    code, out, text, rs = serve(tmp_path, fmt, "uvicorn_app.py")
    assert out == b""  # the access log, on stdout by uvicorn's set-up, is in the stream
    in_order_once(["service starting", "Started server process", "Waiting for application startup.",
                   "Application startup complete.", "Uvicorn running on http://127.0.0.1:", "serving /ok",
                   '"GET /ok HTTP/1.1" 200', '"GET /items HTTP/1.1" 200', "Exception in ASGI application",
                   '"GET /fail HTTP/1.1" 500', "Shutting down", "Finished server process"], text, rs)
    if fmt == "json":  # Ctrl-C, which uvicorn raises again after its shutdown, is the last record
        failed = next(r for r in rs if r["message"] == "Exception in ASGI application")
        assert (failed["logger"], failed["level"], failed["exception"]["type"]) == ("uvicorn.error", "ERROR",
                                                                                   "LookupError")
        access = next(r for r in rs if '"GET /ok HTTP/1.1" 200' in r["message"])
        assert (access["logger"], access["level"]) == ("uvicorn.access", "INFO")
        assert (rs[-1]["logger"], rs[-1]["level"], rs[-1]["exception"]["type"]) == ("uncaught", "CRITICAL",
                                                                                     "KeyboardInterrupt")
    else:
        assert "LookupError: no such item" in text and "KeyboardInterrupt" in text[text.find("Finished server"):]


@pytest.mark.parametrize("fmt", ["json", "terminal"])
def test_aiohttp_run_app_writes_into_the_stream(tmp_path, fmt):
    pytest.importorskip("aiohttp")
    code, out, text, rs = serve(tmp_path, fmt, "aiohttp_app.py")
    assert code == 0 and out == b"", text[-3000:]  # run_app ends on Ctrl-C by itself
    in_order_once(["service starting", "Running on http://127.0.0.1:", "serving /ok", '"GET /ok HTTP/1.1" 200',
                   '"GET /items HTTP/1.1" 200', "Error handling request", '"GET /fail HTTP/1.1" 500',
                   "service stopping"], text, rs)
    if fmt == "json":
        failed = next(r for r in rs if r["message"].startswith("Error handling request"))
        assert (failed["logger"], failed["level"], failed["exception"]["type"]) == ("aiohttp.server", "ERROR",
                                                                                   "LookupError")
        access = next(r for r in rs if '"GET /ok HTTP/1.1" 200' in r["message"])
        assert access["logger"] == "aiohttp.access"
        # the access logger's structured data, given with extra=, typed
        assert access["fields"]["response_status"] == 200 and access["fields"]["first_request_line"] == "GET /ok HTTP/1.1"
    else:
        assert "LookupError: no such item" in text


@pytest.mark.parametrize("fmt", ["json", "terminal"])
def test_fastapi_under_uvicorns_command_line_writes_into_the_stream(tmp_path, fmt):
    # uvicorn's lines before the lifespan enters log() wait for the handler, and those after it ends
    # are written at once: the stream holds every one, in order (FastAPI answers 500 before the
    # exception reaches uvicorn)
    pytest.importorskip("fastapi")
    code, out, text, rs = serve(tmp_path, fmt, None, "-m", "uvicorn", "fastapi_app:app", "--host", "127.0.0.1",
                                "--log-config", "uvicorn_logging.json")
    assert out == b"", text[-3000:]
    in_order_once(["Started server process", "Waiting for application startup.", "service starting",
                   "Application startup complete.", "Uvicorn running on http://127.0.0.1:", '"GET /ok HTTP/1.1" 200',
                   '"GET /items HTTP/1.1" 200', '"GET /fail HTTP/1.1" 500', "Exception in ASGI application",
                   "Shutting down", "service stopping", "Application shutdown complete.", "Finished server process"],
                  text, rs)
    assert text.count("serving a request") == 2
    if fmt == "json":
        failed = next(r for r in rs if r["message"] == "Exception in ASGI application")
        assert failed["exception"]["type"] == "LookupError" and failed["logger"] == "uvicorn.error"
