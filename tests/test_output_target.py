"""Colour, redraws and `auto` follow the output actually written, and bars fit the terminal they are
drawn on: real child processes on a pseudo-terminal."""
import fcntl
import os
import pathlib
import pty
import re
import struct
import subprocess
import sys
import termios

import pyte
import pytest

CHILD = pathlib.Path(__file__).with_name("whole_log_child.py")
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"


def environment(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("TARVO_DEBUG", "NO_COLOR", "FORCE_COLOR", "PYTHON_COLORS", "TARVO_LOG_FORMAT")}
    env["TERM"] = "xterm"
    env.update(extra)
    return env


def set_columns(fd, columns):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 30, columns, 0, 0))


def read_all(fd):
    seen = b""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # EIO: the child has closed its end
            return seen
        if not chunk:
            return seen
        seen += chunk


@pytest.mark.parametrize("fmt", ["terminal", "auto"])
def test_a_file_named_by_stderr_is_judged_itself(tmp_path, fmt):
    """Started from a terminal, logging to a file: no escape sequence in the file (no colour, no
    erase sequence); auto gives the plain layout."""
    path = tmp_path / "service.log"
    leader, follower = pty.openpty()
    child = subprocess.Popen([sys.executable, str(CHILD), "to_file", str(path)], stdout=subprocess.DEVNULL,
                             stderr=follower, env=environment(TARVO_LOG_FORMAT=fmt))
    os.close(follower)
    on_the_terminal = read_all(leader)
    assert child.wait(timeout=60) == 0, on_the_terminal
    os.close(leader)
    text = path.read_bytes().decode()  # carriage returns kept
    assert "\x1b" not in text and "done" in text
    if fmt == "auto":
        assert re.search(rf"(?m)^{STAMP} ERROR\s+svc\.main whole_log_child\.py:to_file:\d+ an error$", text)
    else:
        assert "╔ INFO     svc.main" in text and "║ ERROR an error" in text and "\r" in text


def test_a_bar_wider_than_the_terminal_is_cut_to_fit_and_follows_a_resize():
    """A 70-column bar redrawn 20 times on a 40-column terminal: one bar on the screen, cut with a
    mark; the terminal widened to 60 columns halfway through, the later states take the new width."""
    leader, follower = pty.openpty()
    set_columns(follower, 40)
    child = subprocess.Popen([sys.executable, str(CHILD), "wide_bar"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=follower, env=environment())
    os.close(follower)
    assert child.stdout.readline() == b"resize\n"
    set_columns(leader, 60)
    child.stdin.write(b"\n")
    child.stdin.close()
    seen = read_all(leader)
    assert child.wait(timeout=60) == 0, seen
    os.close(leader)
    text = seen.decode()
    half = text.index("step 10")
    half = text.rindex("\r", 0, half)
    screen = pyte.Screen(40, 30)
    stream = pyte.Stream(screen)
    stream.feed(text[:half])
    bars = [row.rstrip() for row in screen.display if "step" in row]
    assert len(bars) == 1 and bars[0].endswith("…") and "step  9" in bars[0] and len(bars[0]) == 39, bars
    screen.resize(30, 60)
    stream.feed(text[half:])
    bars = [row.rstrip() for row in screen.display if "step" in row]
    assert len(bars) == 1 and "step 19" in bars[0] and bars[0].endswith("…") and len(bars[0]) == 59, bars
    assert any(row.rstrip() == "║ bar done" for row in screen.display)
