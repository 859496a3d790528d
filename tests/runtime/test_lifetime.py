"""Deallocation: deep chains of native objects, and the order that asyncio's hooks rely on."""
import subprocess
import sys
import textwrap

CHAIN = textwrap.dedent("""
    import importlib.util, sys, warnings
    module_spec = importlib.util.spec_from_file_location("rt_testmod", sys.argv[1])
    rt = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(rt)
    warnings.simplefilter("ignore")  # a million 'never awaited' warnings
    c = rt.returning(0)
    for i in range(int(sys.argv[2])):
        c = rt.await_value(c)
    del c
    print("dropped")
""")


def test_dropping_a_deep_chain_of_unstarted_coroutines(rt):
    """Each coroutine owns the next as its argument: freeing them must not recurse on the C stack."""
    r = subprocess.run([sys.executable, "-c", CHAIN, rt.__file__, "1000000"], capture_output=True, text=True,
                       timeout=120)
    assert (r.returncode, r.stdout.strip()) == (0, "dropped"), r.stderr[-2000:]


DAEMON_AT_EXIT = textwrap.dedent("""
    import atexit, functools, importlib.util, sys, threading, time
    module_spec = importlib.util.spec_from_file_location("rt_testmod", sys.argv[1])
    rt = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(rt)
    threading.Thread(target=rt.hold_while_calling(functools.partial(time.sleep, 0.15)).send, args=(None,),
                     daemon=True).start()
    time.sleep(0.02)
    atexit.register(rt.arm_slow_walks)  # from here on, the collector's walks are slow
    sys.exit(0)
""")


def test_a_daemon_thread_ended_at_exit_destroys_nothing_the_collector_walks(rt):
    """Up to 3.13 a daemon thread waking at exit is ended by a forced unwind through its native
    frames, without the GIL, while the exiting thread collects: a held value the collector is walking
    is torn down only after that walk."""
    r = subprocess.run([sys.executable, "-c", DAEMON_AT_EXIT, rt.__file__], capture_output=True, text=True,
                       timeout=120)
    assert (r.returncode, r.stderr) == (0, "")
