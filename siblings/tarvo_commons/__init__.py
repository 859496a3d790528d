"""Commons of the tarvo family: the logger and its log entries, text and terminal helpers."""
from .logs import LogEntry, TLogger

__all__ = ["LogEntry", "TLogger"]
