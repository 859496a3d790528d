"""A process forked while a handler runs: the child's log state is its own (real child processes)."""
import os
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
        await asyncio.sleep(0.05)
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
    messages = [line.split(" ", 4)[-1].split(":", 2)[-1].split(" ", 1)[-1] for line in out.stderr.splitlines()
                if " svc.fork " in line]
    assert messages == ["parent up", "child up", "parent down"], out.stderr
