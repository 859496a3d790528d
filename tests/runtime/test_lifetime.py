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
