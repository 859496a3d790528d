"""Keeps constructs that g++ 12 miscompiles in coroutines out of the C++ sources.

A co_await inside brace initialisation or as an operand of ?: destroys its result twice, and one
inside an initializer list does not compile. Awaits therefore stand alone: the awaitable is bound to
a named variable first and moved in, and the result is bound to a named variable."""
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[1]
SOURCES = sorted((ROOT / "src").rglob("*.[ch]pp")) + [ROOT / "tests" / "runtime" / "rt_testmod.cpp"]

AWAIT = re.compile(r"^\s*(?:(?:Ref\s+)?\w+\s*=\s*)?co_await rt::await\(std::move\(\w+\)\);$")


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
