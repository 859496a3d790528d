"""The package module: attributes, re-exports, import order, bookkeeping, and failure on import."""
import os
import subprocess
import sys
import textwrap

import tarvo_loghandle


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=False)


def test_attributes_and_reexports():
    t = tarvo_loghandle
    assert t.__version__ == "7.3.2201261049" and t.__date__ == "2022-01-26T10:49:24+01:00"
    assert not hasattr(t, "__all__")
    assert t.log is t.config.log and t.nolog is t.config.nolog
    assert t.LoggingHandler is t.loghandle_imp.LoggingHandler
    assert t.__path__[0] == os.path.dirname(t.__file__)
    assert t.__file__.endswith(os.path.join("tarvo_loghandle", "__init__.py"))
    assert t.__spec__.origin == t.__file__ and t.__spec__.has_location and t.__cached__ is None
    assert t.__spec__.submodule_search_locations is t.__path__
    # the stdlib, context and pytest_plugin submodules join them once imported (log() imports stdlib, or the application)
    public = [k for k in vars(t) if not k.startswith("_") and k not in ("stdlib", "context", "pytest_plugin")]
    assert public == ["TLogger", "logger", "loghandle_imp", "config", "nolog", "log", "LoggingHandler"]


def test_star_import_and_announcements_in_order():
    r = run_python("""
        import sys
        import tarvo_commons, tarvo_commons.ui, tarvo_utils_asyncio.logentry
        seen = []
        def state():
            return ("tarvo_loghandle.loghandle_imp" in sys.modules, "tarvo_loghandle.config" in sys.modules)
        T = tarvo_commons.TLogger
        T.hello_module = lambda self, **kw: seen.append(("hello", sorted(kw), state()))
        T.hello_module_finished = lambda self, name: seen.append(("finished", name, state()))
        real_colorize = tarvo_commons.ui.get_colorize_function
        tarvo_commons.ui.get_colorize_function = lambda c: seen.append(("colorize", c)) or real_colorize(c)
        from tarvo_loghandle import *
        import tarvo_loghandle.loghandle_imp as m
        assert type(m.X).__name__ == "TypeVar" and m.X.__name__ == "X"
        print(seen)
        print(sorted(k for k in dir() if not k.startswith("_")))
    """)
    assert r.returncode == 0, r.stderr
    seen, names = r.stdout.splitlines()
    assert seen == str([
        ("hello", ["date", "filename", "name", "version"], (False, False)),
        ("colorize", "#0000ff"),
        ("finished", "tarvo_loghandle", (True, True)),
    ])
    for name in ("LoggingHandler", "TLogger", "config", "log", "logger", "loghandle_imp", "nolog"):
        assert repr(name) in names


def test_failing_body_leaves_no_module():
    r = run_python("""
        import sys, tarvo_commons
        def fail(self, **kw):
            raise RuntimeError("no announcement")
        tarvo_commons.TLogger.hello_module = fail
        try:
            import tarvo_loghandle
        except RuntimeError as e:
            print("raised", e, "tarvo_loghandle" in sys.modules)
    """)
    assert r.stdout.strip() == "raised no announcement False", r.stderr


def test_one_exported_symbol():
    import sysconfig

    nm = subprocess.run(["nm", "-D", "--defined-only", tarvo_loghandle.__spec__.loader.path],
                        capture_output=True, text=True)
    if nm.returncode != 0:
        return
    exported = [line.split()[-1] for line in nm.stdout.splitlines() if " T " in line]
    assert exported == ["PyInit_tarvo_loghandle"], exported
    assert sysconfig.get_config_var("EXT_SUFFIX")


def test_no_symbol_of_a_glibc_newer_than_the_wheels_baseline():
    """The wheels are manylinux2014 (glibc 2.17): a call that binds to a newer glibc (fstat64 of
    2.33, pthread_create of 2.34) fails their repair; seen here, in every interpreter's build."""
    import re

    objdump = subprocess.run(["objdump", "-T", tarvo_loghandle.__spec__.loader.path], capture_output=True, text=True)
    if objdump.returncode != 0:
        return
    newer = [line.split()[-2:] for line in objdump.stdout.splitlines()
             if (m := re.search(r"\(GLIBC_2\.(\d+)", line)) and int(m.group(1)) > 17]
    assert not newer
