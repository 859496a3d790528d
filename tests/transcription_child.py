"""Run by test_transcription.py in a process of its own:

    python transcription_child.py WHEN EXAMPLES

Random entries (hypothesis) are written by the package's writer and by the plain-Python
transcription of the same rules (bench/python_reference.py); the bytes written, the replaced
functions' calls and the writer's diagnostics must be equal. The functions the package recognises
(time.time_ns, math.fabs, os.path.basename, termcolor.colored and the module's linesof) are
replaced by wrappers named as they are, which pass through or alter, per example; WHEN says when the
wrappers are installed:

    before-import   before the package is imported (linesof: as soon as it exists)
    after-import    after it
    after-reload    after it, and then the handler module is reloaded (its linesof is put back)
    reinstalled     before the import, then taken away for some examples and put back for others

Prints one line, "ok N" with the number of examples run, or the first difference."""
import asyncio
import importlib
import math
import os
import pathlib
import re
import sys
import time

import termcolor

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

WHEN, EXAMPLES = sys.argv[1], int(sys.argv[2])
FIXED_NS = 1_700_000_000_123_456_789
CALLS = []  # (name, args) of every wrapper call, in order


class Wrappers:
    """One wrapper per recognised function; each keeps its identity for the whole run, and does
    what `mode` says: "pass" calls the real function (a clock reading is recorded by the package's
    run and replayed to the transcription, so that both see the same time), "alter" changes the
    result."""

    def __init__(self):
        self.real = {"time_ns": time.time_ns, "fabs": math.fabs, "basename": os.path.basename,
                     "colored": termcolor.colored}
        self.mode = dict.fromkeys(("time_ns", "fabs", "basename", "colored", "linesof"), "pass")
        self.clock, self.replaying = [], False
        real, mode, clock = self.real, self.mode, self.clock

        def time_ns():
            CALLS.append(("time_ns", ()))
            if mode["time_ns"] == "alter":
                return FIXED_NS
            if self.replaying:
                return clock.pop(0)
            clock.append(real["time_ns"]())
            return clock[-1]

        def fabs(x):
            CALLS.append(("fabs", (x,)))
            return real["fabs"](x) if mode["fabs"] == "pass" else real["fabs"](x) + 0.75

        def basename(p):
            CALLS.append(("basename", (p,)))
            return real["basename"](p) if mode["basename"] == "pass" else real["basename"](p).upper() + "!"

        def colored(*args, **kwargs):
            CALLS.append(("colored", args))
            return real["colored"](*args, **kwargs) if mode["colored"] == "pass" else "<X>"

        def linesof(s):
            CALLS.append(("linesof", (s,)))
            lines = list(real["linesof"](s))
            return iter(lines if mode["linesof"] == "pass" else lines[::-1])

        self.wrapper = {"time_ns": time_ns, "fabs": fabs, "basename": basename, "colored": colored, "linesof": linesof}
        self.homes = {"time_ns": time, "fabs": math, "basename": os.path, "colored": termcolor}

    def install(self, names=("time_ns", "fabs", "basename", "colored")):
        for n in names:
            setattr(self.homes[n], n, self.wrapper[n])

    def remove(self, names=("time_ns", "fabs", "basename", "colored")):
        for n in names:
            setattr(self.homes[n], n, self.real[n])

    def install_linesof(self, module):
        self.real["linesof"] = module.linesof
        self.homes["linesof"] = module
        module.linesof = self.wrapper["linesof"]


wrappers = Wrappers()
if WHEN in ("before-import", "reinstalled"):
    wrappers.install()

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import python_reference  # noqa: E402
from doubles import RecordedFiles  # noqa: E402
from tarvo_commons.logs import LogEntry, StackInfo  # noqa: E402
from tarvo_loghandle import loghandle_imp  # noqa: E402

if WHEN == "after-import":
    wrappers.install()
if WHEN == "after-reload":
    wrappers.install()
    loghandle_imp = importlib.reload(loghandle_imp)
wrappers.install_linesof(loghandle_imp)
python_reference.m = loghandle_imp

DEBUG = []
loghandle_imp.debug = DEBUG.append


loghandle_imp.aiofiles = RecordedFiles


class Chunks:
    def __init__(self, chunks):
        self.chunks = chunks

    async def read_packets(self, sub_id):
        for chunk in self.chunks:
            yield chunk


def package_run(chunks):
    RecordedFiles.texts = []
    h = loghandle_imp.LoggingHandler()
    h.splitter = Chunks(chunks)
    asyncio.run(h.write_aiologs())
    return RecordedFiles.texts


def transcription_run(chunks):
    write_chunk = python_reference.make_writer()
    texts = [write_chunk(chunk) for chunk in chunks]
    if write_chunk.rest():
        texts.append(write_chunk.rest())
    return texts


# Entries made of few distinct sources, so that runs share headers, with text dense in what the
# rules treat apart: carriage returns, line feeds, escape sequences, controls, wide characters.
TEXT = st.lists(st.sampled_from(list("ab %[") + ["\r", "\n", "\t", "\x1b[31m", "\x1b[2J", "\x1b", "\x07", "\x9b",
                                                  "é", "║", "中", "😀", "\x00"]), max_size=12).map("".join)
NAME = st.sampled_from(["svc", "db", "x\ny", "e\x1b[2Jf", "中"])
ENTRY = st.fixed_dictionaries({
    "msg": st.one_of(TEXT, st.none(), st.integers(-5, 5)),
    "level": st.sampled_from(["DEBUG", "INFO", "WARNING", "ERROR", "USER_INFO", "USER_ERROR", "CRITICAL"]),
    "prefix": st.lists(NAME, min_size=1, max_size=2).map(tuple),
    "module": st.sampled_from(["svc.a", "svc.b", "m\nod"]),
    "tags": st.sampled_from([(), ("raw_line",), ("raw_line", "redraw")]),
    "kwargs": st.dictionaries(st.sampled_from(["n", "path"]), st.one_of(st.integers(), TEXT), max_size=2),
    "filename": st.sampled_from(["/srv/a.py", "/srv/__init__.py", "b.py", "/srv/c\nd.py", ""]),
    "func": st.sampled_from(["work", "other", "f\rg"]),
    "offset": st.sampled_from([0.1, -0.2, 0.004, 3.0, -5.0, 50.0]),
})
ITEMS = st.lists(st.one_of(ENTRY, ENTRY, ENTRY, st.just("not an entry")), min_size=1, max_size=12)
MODES = st.fixed_dictionaries({n: st.sampled_from(["pass", "alter", "real"])
                               for n in ("time_ns", "fabs", "basename", "colored", "linesof")})


def made(items, now_s):
    """Fresh entries for one run (the writer rewrites messages in the entries themselves)."""
    return [item if isinstance(item, str) else
            LogEntry(item["msg"], now_s - item["offset"], item["level"], item["prefix"], item["module"],
                     frozenset(item["tags"]), dict(item["kwargs"]), StackInfo(item["filename"], item["func"]))
            for item in items]


LABEL = re.compile(r"-?\d+\.\d\d")
ran = 0


@settings(max_examples=EXAMPLES, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(ITEMS, st.integers(1, 3), MODES)
def same_bytes_and_calls(items, nchunks, modes):
    global ran
    ran += 1
    if WHEN != "reinstalled":  # the wrappers stay; "real" there means passing through
        modes = {n: "pass" if m == "real" else m for n, m in modes.items()}
    real_clock = modes["time_ns"] == "real"
    for name, mode in modes.items():
        if name == "linesof":
            loghandle_imp.linesof = wrappers.real["linesof"] if mode == "real" else wrappers.wrapper["linesof"]
        elif mode == "real":
            wrappers.remove([name])
        else:
            wrappers.install([name])
    wrappers.mode.update({n: m for n, m in modes.items() if m != "real"})
    now_s = FIXED_NS / 1e9 if modes["time_ns"] == "alter" else time.time()
    size = -(-len(items) // nchunks)

    def chunks():
        entries = made(items, now_s)
        return [list(enumerate(entries[k:k + size])) for k in range(0, len(entries), size)]

    outcome = {}
    wrappers.clock.clear()
    for name, run in (("package", package_run), ("transcription", transcription_run)):
        CALLS.clear()
        DEBUG.clear()
        wrappers.replaying = name == "transcription"
        texts = run(chunks())
        calls = [(n, () if n == "fabs" and real_clock else tuple(LABEL.sub("#", a) if real_clock and isinstance(a, str) else a
                                                                  for a in args)) for n, args in CALLS]
        debug = [m.split(":")[0] if m.startswith("Cannot handle") else m for m in DEBUG
                 if m.startswith(("write_aiologs receives #", "write_aiologs receives chunk", "Cannot handle",
                                  "write_aiologs finished chunk")) and not m.endswith("pushed")]
        outcome[name] = ([LABEL.sub("#", t) for t in texts] if real_clock else texts, calls, debug)
    for k, what in enumerate(("bytes", "calls", "diagnostics")):
        ours, model = outcome["package"][k], outcome["transcription"][k]
        assert ours == model, f"{what} differ, modes {modes}:\n package       {ours!r}\n transcription {model!r}"


try:
    same_bytes_and_calls()
except BaseException as e:  # noqa: B902 - hypothesis may group what it found
    first = e.exceptions[0] if hasattr(e, "exceptions") else e
    print(f"differs after {ran} examples: {first}"[:6000])
    sys.exit(1)
print("ok", ran)
