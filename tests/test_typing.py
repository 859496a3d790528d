"""Type information: mypy --strict accepts typical uses and rejects wrong ones; the stubs name every
public attribute of the modules and nothing more."""
import ast
import pathlib
import subprocess
import sys

import pytest

import tarvo_loghandle
from tarvo_loghandle import config, context, loghandle_imp, pytest_plugin, stdlib

HERE = pathlib.Path(__file__).with_name("typing")
STUBS = pathlib.Path(__file__).resolve().parents[1] / "stubs" / "tarvo_loghandle"


def mypy(path):
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
                        "--python-version", f"{sys.version_info.major}.{sys.version_info.minor}", str(path)],
                       capture_output=True, text=True, timeout=300)
    return r.returncode, r.stdout


def test_typical_uses_pass_strict_checking():
    code, out = mypy(HERE / "typical_uses.py")
    assert code == 0, out


def test_wrong_uses_are_rejected_line_by_line():
    path = HERE / "wrong_uses.py"
    wrong = {n for n, line in enumerate(path.read_text().splitlines(), 1) if line.endswith("# wrong")}
    code, out = mypy(path)
    reported = {int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line}
    assert code == 1 and reported == wrong, out


def exported(stub):
    """The names a stub offers: definitions, and imports re-exported as `import x as x`."""
    names = set()
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname and a.asname == a.name.rsplit(".", 1)[-1])
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("module, stub", [(tarvo_loghandle, "__init__.pyi"), (config, "config.pyi"),
                                          (loghandle_imp, "loghandle_imp.pyi"), (stdlib, "stdlib.pyi"),
                                          (context, "context.pyi"), (pytest_plugin, "pytest_plugin.pyi")],
                         ids=["package", "config", "imp", "stdlib", "context", "pytest_plugin"])
def test_stubs_name_every_public_attribute_and_nothing_more(module, stub):
    # a submodule that is imported only when used (stdlib, context) is the package's attribute from then on
    public = {k for k in vars(module) if not k.startswith("_")} - {"stdlib", "context", "pytest_plugin"}
    assert exported(STUBS / stub) == public


def test_stubs_are_installed_with_the_package():
    installed = pathlib.Path(tarvo_loghandle.__file__).parent
    assert {p.name for p in installed.iterdir()} >= {"__init__.pyi", "config.pyi", "loghandle_imp.pyi", "stdlib.pyi",
                                                    "context.pyi", "py.typed"}
