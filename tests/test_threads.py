"""Threads against one handler, on every interpreter, the free-threaded build with the GIL off
included: entries from many threads all written once and in each thread's order while the
recognised functions are replaced and put back, and handlers started from the loops of several
threads at once never run two at a time (threads_child.py)."""
import json
import os
import pathlib
import subprocess
import sys

CHILD = pathlib.Path(__file__).with_name("threads_child.py")


def test_threads_log_and_start_handlers_at_once(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "PYTHON_GIL")}
    r = subprocess.run([sys.executable, str(CHILD), "8", "3000", str(tmp_path / "log")], env=env,
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    seen = json.loads(r.stdout)
    assert seen["written"] == seen["entries"] == 24000, seen
    assert seen["duplicated"] == seen["out_of_order"] == 0, seen
    assert seen["started"] >= 1 and seen["started"] + seen["refused"] == 80 and seen["most_at_once"] == 1, seen
    # no warning that the GIL was enabled again; under ./run tsan, no report of ThreadSanitizer
    assert "RuntimeWarning" not in r.stderr and "GIL" not in r.stderr and "ThreadSanitizer" not in r.stderr, r.stderr[-3000:]
