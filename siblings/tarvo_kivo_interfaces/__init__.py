"""Interfaces between tarvo services: the keys under which services offer their parts."""
from dataclasses import dataclass, field
from typing import Any, Dict

SERVICE_LOG = "service_log"


@dataclass
class ServiceConfig:
    working_dir: str = "."
    extra_config: Dict[str, Any] = field(default_factory=dict)
