"""A short round of the fuzzing of fuzz_text.py: what log data becomes in each format."""

import fuzz_text
from tarvo_loghandle import loghandle_imp


def test_random_text_in_every_format(monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)
    for name in ("aiofiles", "debug", "get_as_strings", "LOG_FORMAT"):
        monkeypatch.setattr(loghandle_imp, name, getattr(loghandle_imp, name))
    fuzz_text.run(300)
