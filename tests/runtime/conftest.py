"""Builds the test-only extension over the runtime layer (once per interpreter and source state)."""
import hashlib
import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = sorted((ROOT / "src" / "runtime").glob("*.cpp")) + [pathlib.Path(__file__).with_name("rt_testmod.cpp")]


# Under ./run asan the extension is built with the sanitizers, like the package.
FLAGS = ["-O0", "-fsanitize=address,undefined"] if os.environ.get("RT_SANITIZE") else ["-O1"]


def build():
    headers = sorted((ROOT / "src" / "runtime").glob("*.hpp"))
    digest = hashlib.sha1(b"".join(p.read_bytes() for p in SOURCES + headers) + str(FLAGS).encode()).hexdigest()[:12]
    out_dir = ROOT / ".build" / f"rt_testmod-{sys.implementation.cache_tag}-{digest}"
    target = out_dir / ("rt_testmod" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists():
        out_dir.mkdir(parents=True, exist_ok=True)
        cmd = ["g++", "-std=c++20", *FLAGS, "-g", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC",
               "-fvisibility=hidden", f"-I{sysconfig.get_paths()['include']}", f"-I{ROOT / 'src'}",
               *map(str, SOURCES), "-o", str(target) + ".tmp"]
        subprocess.run(cmd, check=True)
        pathlib.Path(str(target) + ".tmp").rename(target)
    module_spec = importlib.util.spec_from_file_location("rt_testmod", target)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def rt():
    return build()
