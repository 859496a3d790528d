"""A library the demo service uses that logs through Python's logging, as third-party libraries do."""
import logging
import threading

log = logging.getLogger("thirdparty.cache")


def warm_up(entries: int) -> None:
    worker = threading.Thread(target=lambda: log.info("warming %d entries in a worker thread", entries))
    worker.start()
    worker.join()
    log.warning("cache is cold: the first requests will be slow")
