"""What a user finds by asking the package: docstrings, signatures, help(), and a missing sibling explained."""
import inspect
import pydoc
import subprocess
import sys
import textwrap

import tarvo_loghandle as t
from tarvo_loghandle import config, loghandle_imp

PUBLIC = {
    t: ["log", "nolog", "LoggingHandler"],
    config: ["log", "nolog"],
    loghandle_imp: ["LoggingHandler", "linesof", "pump"],
}
METHODS = ["__init__", "inited", "init", "aclose", "disable_stderr_writer", "enable_stderr_writer", "write_aiologs"]


def test_docstrings_and_signatures():
    for module in (t, config, loghandle_imp):
        assert module.__doc__ and module.__doc__.strip()
    assert t.LoggingHandler.__doc__
    callables = [getattr(t.LoggingHandler, m) for m in METHODS] + [t.log, t.nolog, loghandle_imp.linesof]
    for f in callables:
        assert f.__doc__ and f.__doc__.strip(), f
    def parameters(f):
        return list(inspect.signature(f).parameters)

    # with their annotations, as a Python definition's (test_signatures.py)
    assert parameters(t.log) == parameters(t.nolog) == ["sti", "sc"]
    assert str(inspect.signature(t.LoggingHandler.aclose)) == "(self) -> None"
    assert str(inspect.signature(t.LoggingHandler().aclose)) == "() -> None"
    assert str(inspect.signature(loghandle_imp.linesof)) == "(s: str) -> Iterator[str]"
    assert parameters(loghandle_imp.pump) == ["q", "splitter"]


def test_help_shows_the_names_the_package_offers():
    text = pydoc.render_doc(t, renderer=pydoc.plaintext)
    for name in ("log", "nolog", "LoggingHandler", "__version__"):
        assert name in text
    assert "Closes the handler" in pydoc.render_doc(t.LoggingHandler, renderer=pydoc.plaintext)


def test_a_missing_sibling_is_explained():
    code = textwrap.dedent("""
        import sys
        sys.modules["tarvo_kivo_interfaces"] = None  # as if it were not installed
        try:
            import tarvo_loghandle
        except ModuleNotFoundError as e:
            print(type(e).__name__, e.name, "|", e)
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    kind, name, message = r.stdout.split(" ", 2)
    assert (kind, name) == ("ModuleNotFoundError", "tarvo_kivo_interfaces")
    assert "tarvo_loghandle needs the sibling libraries tarvo_commons, tarvo_utils_asyncio and tarvo_kivo_interfaces" \
        in message and "pip install ./siblings" in message
