"""Module globals and module attributes read by native code are looked up at every use, as
Python code does, although the runtime remembers answers while nothing they depend on changes."""
import builtins
import types

import pytest


def test_a_global_follows_every_change_of_the_module(rt):
    with pytest.raises(NameError, match="'x'"):
        rt.global_x()
    try:
        for v in (1, "two", None):
            rt.x = v
            assert rt.global_x() is v
        vars(rt).update(x=3)
        assert rt.global_x() == 3
        builtins.x = "builtin"
        assert rt.global_x() == 3
        del rt.x
        assert rt.global_x() == "builtin"
        del builtins.x
        with pytest.raises(NameError):
            rt.global_x()
    finally:
        vars(rt).pop("x", None)
        vars(builtins).pop("x", None)


def test_a_module_attribute_follows_every_change(rt):
    m, other = types.ModuleType("m"), types.ModuleType("other")
    m.value, other.value = 1, 3
    assert rt.attribute_value(m) == 1
    m.value = 2
    assert [rt.attribute_value(x) for x in (m, other, m)] == [2, 3, 2]
    del m.value
    with pytest.raises(AttributeError):
        rt.attribute_value(m)
    m.__getattr__ = lambda name: f"from __getattr__ {name}"
    assert rt.attribute_value(m) == "from __getattr__ value"
    assert rt.attribute_value(types.SimpleNamespace(value=4)) == 4

    class Module(types.ModuleType):
        value = property(lambda self: "property")

    assert rt.attribute_value(Module("sub")) == "property"
    m.__dict__["__dict__"] = "shadow"  # the type's descriptor comes first, as in getattr
    assert rt.attribute_dict(m) is vars(m)


def test_fresh_modules_in_the_place_of_freed_ones_are_read_anew(rt):
    """Modules made and dropped one after another often reuse the same memory."""
    for i in range(2000):
        m = types.ModuleType(f"m{i}")
        m.value = i
        assert rt.attribute_value(m) == i
        del m
