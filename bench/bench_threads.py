"""Threads against one handler (tests/threads_child.py): entries from many threads while the
recognised functions are replaced and put back, and handlers started from several loops at once.
On the free-threaded build it runs with the GIL off and on, so that both can be compared.

    .venv/py314t/bin/python bench/bench_threads.py [THREADS ENTRIES]    # default 8 threads x 20,000

Prints, per setting, the median of three runs: entries, lost, duplicated, out of order, the handlers
started and refused, and the seconds the logging threads took."""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import sysconfig
import tempfile

CHILD = pathlib.Path(__file__).resolve().parents[1] / "tests" / "threads_child.py"


def run(threads, entries, gil):
    env = {k: v for k, v in os.environ.items() if k not in ("TARVO_DEBUG", "PYTHON_GIL")}
    if gil is not None:
        env["PYTHON_GIL"] = gil
    with tempfile.TemporaryDirectory() as tmp:
        r = subprocess.run([sys.executable, str(CHILD), str(threads), str(entries), os.path.join(tmp, "log")],
                           env=env, capture_output=True, text=True, check=True)
    return json.loads(r.stdout)


def main():
    threads, entries = (int(a) for a in sys.argv[1:3]) if len(sys.argv) > 2 else (8, 20000)
    free_threaded = sysconfig.get_config_var("Py_GIL_DISABLED")
    settings = {"GIL off": "0", "GIL on": "1"} if free_threaded else {"GIL": None}
    print(f"CPython {sys.version.split()[0]}{' free-threaded' if free_threaded else ''}: {threads} threads x "
          f"{entries} entries, median of 3")
    for label, gil in settings.items():
        runs = [run(threads, entries, gil) for _ in range(3)]
        seconds = statistics.median(r["seconds"] for r in runs)
        worst = {k: max(r[k] for r in runs) for k in ("lost", "duplicated", "out_of_order", "most_at_once")}
        print(f"  {label:8} entries {runs[0]['entries']:,}  lost {worst['lost']}  duplicated {worst['duplicated']}  "
              f"out of order {worst['out_of_order']}  {seconds:.2f} s ({runs[0]['entries'] / seconds:,.0f} entries/s)  "
              f"handlers started {runs[0]['started']}, refused {runs[0]['refused']}, at once {worst['most_at_once']}")


if __name__ == "__main__":
    main()
