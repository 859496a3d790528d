"""The real output file: flushed per chunk, unencodable text escaped, stderr as a socket, bad paths."""
import asyncio
import socket
import subprocess
import sys
import textwrap

import pytest

from tarvo_commons import TLogger
from tarvo_loghandle import loghandle_imp

SERVICE = textwrap.dedent("""
    import asyncio, os, sys
    from tarvo_commons import TLogger
    from tarvo_loghandle import LoggingHandler

    async def main():
        h = LoggingHandler()
        await h.init()
        TLogger("svc.child").info(sys.argv[1])
        await asyncio.sleep(0.3)
        if sys.argv[2] == "crash":
            os._exit(3)  # dies without any clean-up: what was not handed to the OS is lost
        await h.aclose()

    asyncio.run(main())
""")


def test_each_chunk_reaches_the_os_before_the_next_wait():
    """stderr is a pipe (fully buffered when opened): the line must survive a crash."""
    r = subprocess.run([sys.executable, "-c", SERVICE, "written before the crash", "crash"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 3
    assert "written before the crash" in r.stderr


def test_stderr_that_is_a_socket():
    """Under a service manager stderr may be a socket, which /dev/stderr cannot open."""
    ours, theirs = socket.socketpair()
    with ours, theirs:
        child = subprocess.Popen([sys.executable, "-c", SERVICE, "through the socket", "close"],
                                 stderr=theirs.fileno(), stdout=subprocess.PIPE)
        theirs.close()
        received = b""
        ours.settimeout(60)
        while chunk := ours.recv(65536):
            received += chunk
        assert child.wait(timeout=60) == 0
    assert "through the socket" in received.decode()


def test_unencodable_text_is_escaped(tmp_path, monkeypatch, debug_log):
    out = tmp_path / "err"
    monkeypatch.setattr(loghandle_imp, "STDERR", str(out))
    logger = TLogger("svc.files")

    async def main():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        logger.info("before")
        logger.info("opened b'\\xff' as " + b"caf\xff.txt".decode("utf-8", "surrogateescape"))
        logger.info("after é")
        await h.aclose()

    asyncio.run(main())
    text = out.read_text(encoding="utf-8")
    assert "opened b'\\xff' as caf\\udcff.txt" in text
    assert "before" in text and "after é" in text


def test_a_path_that_cannot_be_opened_fails_init_and_starts_nothing(tmp_path, monkeypatch, debug_log):
    monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "missing" / "log.txt"))

    async def main():
        h = loghandle_imp.LoggingHandler()
        queue = loghandle_imp.TLogger.queue
        with pytest.raises(FileNotFoundError):
            await h.init()
        assert loghandle_imp.TLogger.queue is queue and not h.inited() and not hasattr(h, "task_pump")
        # nothing is left claimed: a handler with a good path starts
        monkeypatch.setattr(loghandle_imp, "STDERR", str(tmp_path / "log.txt"))
        await h.init()
        await h.aclose()

    asyncio.run(main())
