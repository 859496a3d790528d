"""rt::make_instance against calling the class: the same instance, the same calls of __new__ and
__init__, the same exception and message, for the classes it makes in two steps (plain classes,
dataclasses) and for every kind it leaves to the class's own call."""
import abc
import dataclasses
import enum
import functools

import pytest


def outcome(make, cls, args, kwargs, calls):
    del calls[:]
    try:
        made = make(cls, args, kwargs)
    except BaseException as e:  # noqa: B902 - every outcome is compared
        return ("raised", type(e).__name__, str(e), list(calls))
    if isinstance(made, type):
        return ("type", made.__name__, list(calls))
    slots = [s for klass in type(made).__mro__ for s in getattr(klass, "__slots__", ())]
    state = {s: getattr(made, s, "<unset>") for s in slots}
    state.update(getattr(made, "__dict__", {}))
    return ("made", type(made).__name__, sorted((k, repr(v)) for k, v in state.items()), list(calls))


def classes(calls):
    @dataclasses.dataclass(slots=True, eq=False)
    class Info:
        filename: str
        func_name: str
        lineno: int = 0

    @dataclasses.dataclass(slots=True, eq=False)
    class Entry:
        msg: str
        level: str
        tags: frozenset = frozenset()
        kwargs: dict = dataclasses.field(default_factory=dict)
        stack_info: Info = dataclasses.field(default_factory=lambda: Info("", ""))

    @dataclasses.dataclass
    class Posted:
        x: int

        def __post_init__(self):
            calls.append(("post_init", self.x))

    class Plain:
        def __init__(self, a, b=2, *rest, c=3, **more):
            calls.append(("init", a, b, rest, c, sorted(more.items())))
            self.a, self.b = a, b

    class Child(Plain):
        pass

    class ReturnsValue:
        def __init__(self, a):
            return a

    class Raises:
        def __init__(self, a):
            raise ValueError(f"refused {a!r}")

    class Abstract(abc.ABC):
        def __init__(self, a):
            self.a = a

        @abc.abstractmethod
        def run(self):
            pass

    class Concrete(abc.ABC):
        def __init__(self, a):
            self.a = a

    class OwnNew:
        def __new__(cls, *args, **kwargs):
            calls.append(("new", args, sorted(kwargs.items())))
            return super().__new__(cls)

        def __init__(self, a, **kwargs):
            calls.append(("init", a))
            self.a = a

    class NewGivesOther:
        def __new__(cls, a):
            return a

        def __init__(self, a):
            calls.append(("init", a))

    class Meta(type):
        def __call__(cls, *args, **kwargs):
            calls.append(("meta call", args, sorted(kwargs.items())))
            return super().__call__(*args, **kwargs)

    class WithMeta(metaclass=Meta):
        def __init__(self, a):
            self.a = a

    class Dict(dict):
        pass

    class Error(Exception):
        pass

    class StaticInit:
        @staticmethod
        def __init__(*args, **kwargs):
            calls.append(("static init", len(args), sorted(kwargs)))

    def partial_init(self, a, b):
        calls.append(("partial init", a, b))
        self.a, self.b = a, b

    class PartialInit:
        __init__ = functools.partialmethod(partial_init, b="fixed")

    class CallableInit:
        class Init:
            def __get__(self, obj, owner=None):
                return lambda *args, **kwargs: calls.append(("bound init", args, sorted(kwargs.items())))

        __init__ = Init()

    class Replaced:
        def __init__(self, a):
            self.a = a

    def replacement(self, a, b=None):
        calls.append(("replacement", a, b))
        self.b = b

    Replaced.__init__ = replacement

    class Color(enum.Enum):
        RED = 1

    def function(*args, **kwargs):
        return (args, sorted(kwargs.items()))

    return [Info, Entry, Posted, Plain, Child, ReturnsValue, Raises, Abstract, Concrete, OwnNew, NewGivesOther,
            WithMeta, Dict, Error, StaticInit, PartialInit, CallableInit, Replaced, Color, type, int, function]


ARGUMENTS = [
    ((), {}),
    ((1,), {}),
    (("a", "b"), {}),
    (("a", "b", "c"), {}),
    ((1,), {"b": 5}),
    ((), {"a": 1, "b": 2}),
    ((1, 2, 3, 4), {"c": 9, "extra": 10}),
    ((), {"filename": "f.py", "func_name": "g", "lineno": 3}),
    (("hi", "INFO"), {"kwargs": {"k": 1}}),
    ((), {"msg": "hi", "level": "INFO", "tags": frozenset({"t"})}),
    ((1,), {"a": 2}),
    ((), {"nope": 1}),
    ((object(),), {}),
]


def test_instances_are_made_as_calling_the_class_makes_them(rt):
    calls = []
    compared = 0
    for cls in classes(calls):
        for args, kwargs in ARGUMENTS:
            native = outcome(rt.make_instance, cls, args, kwargs, calls)
            python = outcome(lambda c, a, k: c(*a, **k), cls, args, kwargs, calls)
            assert native == python, (cls, args, kwargs)
            compared += native[0] == "made"
    assert compared > 30  # most classes were made, not only refused


def test_a_class_changed_after_its_first_instances_is_called_as_it_is_now(rt):
    @dataclasses.dataclass(slots=True)
    class Point:
        x: int
        y: int = 0

    assert (rt.make_instance(Point, (1,), {}).x, rt.make_instance(Point, (1,), {}).y) == (1, 0)

    def init(self, x, y=7):
        self.x, self.y = -x, y

    Point.__init__ = init
    p = rt.make_instance(Point, (1,), {})
    assert (p.x, p.y) == (-1, 7)
    Point.__init__ = lambda self, *args: None  # a lambda is a function too
    with pytest.raises(AttributeError):
        rt.make_instance(Point, (1,), {}).x
    del Point.__init__  # back to object's own: refuses arguments as the class does
    with pytest.raises(TypeError) as native:
        rt.make_instance(Point, (1,), {})
    with pytest.raises(TypeError) as python:
        Point(1)
    assert str(native.value) == str(python.value)
