"""The package against the plain-Python transcription of its rules (bench/python_reference.py), on
random entries, with the functions it recognises replaced at each moment a user may replace them:
before the package is imported, after, after a reload, and taken away and put back. The bytes
written, the replacements' calls and the writer's diagnostics must be equal (transcription_child.py)."""
import os
import pathlib
import subprocess
import sys

import pytest

CHILD = pathlib.Path(__file__).with_name("transcription_child.py")
EXAMPLES = 300


@pytest.mark.parametrize("when, colour", [
    ("before-import", None),
    ("after-import", "FORCE_COLOR"),
    ("after-reload", None),
    ("reinstalled", "NO_COLOR"),
    ("reinstalled", "FORCE_COLOR"),
])
def test_package_and_transcription_write_the_same(when, colour):
    env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "FORCE_COLOR", "TARVO_DEBUG")}
    if colour:
        env[colour] = "1"
    r = subprocess.run([sys.executable, str(CHILD), when, str(EXAMPLES)], env=env, capture_output=True, text=True,
                       timeout=600)
    assert r.returncode == 0 and r.stdout.startswith("ok "), r.stdout + r.stderr[-3000:]
