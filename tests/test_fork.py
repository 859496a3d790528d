"""A process forked while a handler runs: the child's log state is its own (real child processes)."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent("""
    import asyncio, os, threading
    from tarvo_commons.logs import TLogger
    from tarvo_loghandle import loghandle_imp
    loghandle_imp.LOG_FORMAT = "plain"
    logger = TLogger("svc.fork")

    def child_main():
        async def child():
            c = loghandle_imp.LoggingHandler()
            await c.init()
            logger.info("child up")
            await c.aclose()
        asyncio.run(child())

    async def main():
        h = loghandle_imp.LoggingHandler()
        await h.init()
        logger.info("parent up")
        await asyncio.sleep(0.3)  # written before the fork, also on a loaded machine
        pid = os.fork()
        if pid == 0:  # the loop of the parent is not this process's: a thread runs the child's
            t = threading.Thread(target=child_main)
            t.start()
            t.join()
            os._exit(0)
        os.waitpid(pid, 0)
        logger.info("parent down")
        await h.aclose()
    asyncio.run(main())
""")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_during_a_run_starts_a_handler_of_its_own():
    # The parent's claim on the queue and its run are forgotten in the child: without that, the
    # child's handler was refused as "already running" (the parent's pump looked alive there).
    # (3.12 on warns that the process has threads, the handler's output thread among them.)
    out = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", CHILD], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = [m.groups() for line in out.stderr.splitlines()
             if (m := re.fullmatch(r"\S+ INFO +svc\.fork(?:\[(\d+)\])? \S+ (.*)", line))]
    assert [text for _, text in lines] == ["parent up", "child up", "parent down"], out.stderr
    # Once the process has forked, its lines and the child's name their process; before, none does.
    pids = [pid for pid, _ in lines]
    assert pids[0] is None and None not in pids[1:] and pids[1] != pids[2], out.stderr
