"""Keeps constructs that g++ 12 miscompiles in coroutines out of the C++ sources, and each layer of
the package to the layers below it.

A co_await inside brace initialisation or as an operand of ?: destroys its result twice, and one
inside an initializer list does not compile. Awaits therefore stand alone: the awaitable is bound to
a named variable first and moved in, and the result is bound to a named variable."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SOURCES = sorted((ROOT / "src").rglob("*.[ch]pp")) + [ROOT / "tests" / "runtime" / "rt_testmod.cpp"]

AWAIT = re.compile(r"^\s*(?:(?:Ref\s+)?\w+\s*=\s*)?co_await rt::await(?:_next)?\(std::move\(\w+\)\);$")


def statements_with(keyword):
    for path in SOURCES:
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = line.split("//")[0]
            if re.search(rf"\b{keyword}\b", code):
                yield f"{path.relative_to(ROOT)}:{number}", code


def test_awaits_stand_alone():
    bad = [(where, code) for where, code in statements_with("co_await") if not AWAIT.match(code)]
    assert not bad, "\n".join(f"{w}: {c.strip()}" for w, c in bad)


def test_yields_are_not_in_braces_or_conditionals():
    bad = [(where, code) for where, code in statements_with("co_yield")
           if re.search(r"[{?]", code.split("co_yield", 1)[1]) or "?" in code]
    assert not bad, "\n".join(f"{w}: {c.strip()}" for w, c in bad)


def statements():
    """Each `;`-terminated statement of the sources with the place it starts, comments removed."""
    for path in SOURCES:
        text = re.sub(r"//[^\n]*", "", path.read_text())
        start = 0
        for m in re.finditer(r";", text):
            yield f"{path.relative_to(ROOT)}:{text.count(chr(10), 0, start) + 1}", " ".join(text[start:m.start()].split())
            start = m.end()


def test_static_objects_are_checked_when_made():
    """A `static PyObject* const` made by a call that can fail must not keep NULL for good."""
    checked = re.compile(r"^(?:rt::|::rt::)?(?:check|intern|getattr)\(|^PyModule_GetDict\((?:rt::)?import\(")
    bad = []
    for where, code in statements():
        m = re.search(r"static PyObject\s*\*\s*const \w+ = (.*)", code)
        if m and not checked.match(m.group(1)):
            bad.append(f"{where}: {code}")
    assert not bad, "\n".join(bad)


def test_exceptions_with_one_argument_are_built_as_instances():
    """PyErr_SetObject(type, value) unpacks a tuple value, drops None and raises an exception
    instance as itself: only the helpers that build the instance first may call it."""
    allowed = {"src/runtime/error.cpp": 1, "src/runtime/protocol.cpp": 2}
    found = {}
    for where, code in statements():
        if "PyErr_SetObject(" in code:
            path = where.split(":")[0]
            found[path] = found.get(path, 0) + code.count("PyErr_SetObject(")
    assert found == allowed, f"use rt::raise_with(type, value) instead: {found}"


def coroutine_bodies():
    """(where, name, body text) of each native coroutine, generator and async generator body:
    the bodies that may suspend and be resumed by Python."""
    for path in SOURCES:
        text = re.sub(r"//[^\n]*", "", path.read_text())
        for m in re.finditer(r"^rt::(?:Async|AsyncGen|Gen) (\w+)\([^)]*\) \{", text, re.M):
            depth, i = 1, m.end()
            while depth:
                depth += {"{": 1, "}": -1}.get(text[i], 0)
                i += 1
            yield f"{path.relative_to(ROOT)}:{text.count(chr(10), 0, m.start()) + 1}", m.group(1), text[m.end():i - 1]


def scope_end(body, at):
    """Where the brace block that holds position `at` of the body ends."""
    depth = 0
    for i in range(at, len(body)):
        depth += {"{": 1, "}": -1}.get(body[i], 0)
        if depth < 0:
            return i
    return len(body)


def test_what_a_coroutine_holds_across_an_await_is_held():
    """A plain Ref in a C++ coroutine frame is invisible to the collector: a reference that lives
    across a co_await or a co_yield must be held (rt::Local, rt::Caught, a Held type), the way a
    Python frame's locals are seen. A Ref that is still in scope at a suspension, and not handed on
    (std::move), released or reset before it, is refused."""
    bad = []
    for where, fn, body in coroutine_bodies():
        for decl in re.finditer(r"\bRef\s+(\w+)\s*[=;({]", body):
            name = decl.group(1)
            statement_end = body.index(";", decl.end() - 1)
            end = scope_end(body, decl.start())
            for suspension in re.finditer(r"\bco_(?:await|yield)\b", body[statement_end:end]):
                at = statement_end + suspension.start()
                await_end = body.index(";", at)
                given_up = rf"std::move\({name}\)|\b{name}\.(?:reset|release)\(\)"
                if not re.search(given_up, body[decl.start():await_end]):
                    bad.append(f"{where} {fn}: {name}")
                    break
    assert not bad, "\n".join(bad)


def test_no_loop_over_python_iterators_suspends():
    """The iterator of `for (Ref& x : rt::iterate(obj))` lives in the C++ frame: a loop over it
    that suspends would hold it (and the object it iterates) where the collector cannot see."""
    bad = []
    for where, fn, body in coroutine_bodies():
        for loop in re.finditer(r"\bfor \([^;{]*:\s*rt::iterate\(", body):
            start = body.index(")", loop.end()) + 1
            while body[start] in " \n":
                start += 1
            end = scope_end(body, start + 1) if body[start] == "{" else body.index(";", start)
            if re.search(r"\bco_(?:await|yield)\b", body[start:end]):
                bad.append(f"{where} {fn}")
    assert not bad, "\n".join(bad)


def test_each_layer_of_the_package_uses_only_the_layers_below_it():
    # text/ < outputs/ < life/ < modules/, the base (package_base, process_state) and the runtime
    # under all of them; the runtime includes nothing of the package.
    order = ["text", "outputs", "life", "modules"]
    package = ROOT / "src" / "tarvo_loghandle"
    wrong = []
    for path in SOURCES:
        included = re.findall(r'#include "([^"]+)"', path.read_text())
        if path.is_relative_to(ROOT / "src" / "runtime"):
            wrong += [f"{path.name}: {i}" for i in included if "/" in i or i in ("package_base.hpp", "process_state.hpp")]
            continue
        if not path.is_relative_to(package) or path.parent == package:
            continue
        layer = order.index(path.parent.name)
        for i in included:
            top = i.split("/")[0]
            if top in order and order.index(top) > layer:
                wrong.append(f"{path.relative_to(package)}: {i}")
    assert wrong == []


def tool(name):
    path = os.path.join(os.path.dirname(sys.executable), name)
    if not os.path.exists(path):
        pytest.skip(f"{name} is installed with the test extra")
    return path


def test_the_cpp_sources_keep_their_layout():
    # .clang-format: clang-format -i src/**/*.[ch]pp makes them so.
    files = [str(p) for p in SOURCES]
    out = subprocess.run([tool("clang-format"), "--dry-run", "--Werror", *files], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr[-3000:]


def test_the_python_files_lint_clean():
    # pyproject's [tool.ruff]: real faults only (syntax errors, undefined and unused names).
    out = subprocess.run([tool("ruff"), "check", "--no-cache", str(ROOT)], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout[-3000:]
