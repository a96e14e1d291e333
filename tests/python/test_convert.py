"""Field value conversions between Python and the core, through sigtap.Message fields."""

import collections
import enum
import fractions
import math
import sys
import types
from decimal import Decimal

import pytest

from sigtap._sigtap import Message


class Color(enum.IntEnum):
    RED = 3


class Real:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexAndFloat:
    def __index__(self):
        return 4

    def __float__(self):
        return 4.5


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("nope")


class Items:
    def __init__(self, result):
        self.result = result

    def items(self):
        return self.result


class ItemsProperty:
    @property
    def items(self):
        raise KeyError("from items")


class ItemsNotCallable:
    items = 5


class LookupRaises:
    def __getattr__(self, name):
        raise RuntimeError("lookup " + name)


def failing_iterator():
    yield ("a", 1)
    raise RuntimeError("iteration failed")


class NestedRaisingDict(dict):
    @property
    def items(self):
        raise KeyError("nested items")


def round_trip(value):
    m = Message("A", {"v": value})
    return m.fields["v"], m["v"]


@pytest.mark.parametrize("value,expected", [
    (None, None),
    (True, True),
    (False, False),
    (7, 7),
    (-2**63, -2**63),
    (2**63 - 1, 2**63 - 1),
    (Color.RED, 3),
    (2.5, 2.5),
    (-0.0, -0.0),
    (math.inf, math.inf),
    (type("F", (float,), {})(1.25), 1.25),
    ("text é\u0301\x00", "text é\u0301\x00"),
    (type("S", (str,), {})("sub"), "sub"),
    (Decimal("1.5"), 1.5),
    (fractions.Fraction(1, 4), 0.25),
    (Real(3.5), 3.5),
    (Real(2), 2.0),
    (IndexAndFloat(), 4.5),
    ({}, {}),
    ({"pos": {"lat": 1.0, "lon": -2}}, {"pos": {"lat": 1.0, "lon": -2}}),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"b": 1, "a": 2}),
    (types.MappingProxyType({"k": "v"}), {"k": "v"}),
    (Items([("x", 1), ("y", "converted")]), {"x": 1, "y": "converted"}),
])
def test_values_round_trip_with_exact_types(value, expected):
    for got in round_trip(value):
        assert got == expected
        assert type(got) is type(expected)
        if isinstance(expected, float):
            assert math.copysign(1, got) == math.copysign(1, expected)
        if isinstance(expected, dict):
            assert list(got) == list(expected)
            assert all(type(got[k]) is type(expected[k]) for k in expected)


def test_nan_round_trips():
    assert all(math.isnan(v) for v in round_trip(math.nan))


NOT_A_VALUE = "a field value must be None, bool, int, float, str or a mapping, not "


@pytest.mark.parametrize("fields,exc,text", [
    ({"v": 2**63}, OverflowError, None),
    ({"v": -2**63 - 1}, OverflowError, None),
    ({"v": []}, TypeError, NOT_A_VALUE + "list"),
    ({"v": b""}, TypeError, NOT_A_VALUE + "bytes"),
    ({"v": ()}, TypeError, NOT_A_VALUE + "tuple"),
    ({"v": object()}, TypeError, NOT_A_VALUE + "object"),
    ({"v": FloatRaises()}, TypeError, NOT_A_VALUE + "FloatRaises"),
    ({"v": Real("x")}, TypeError, "must be real number, not str"),
    ({"v": "\ud800"}, UnicodeEncodeError, None),
    ({"v": ItemsProperty()}, KeyError, "'from items'"),
    ({"v": LookupRaises()}, RuntimeError, "lookup items"),
    ({"v": NestedRaisingDict()}, KeyError, "'nested items'"),
    ({"v": ItemsNotCallable()}, TypeError, None),
    ({"v": Items(5)}, TypeError, "'int' object is not iterable"),
    (Items([("a", 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (Items([()]), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    (Items([["a", 1]]), TypeError, "'list' object is not an instance of 'tuple'"),
    (Items([None]), TypeError, "'None' is not an instance of 'tuple'"),
    (Items([(1, 1)]), TypeError, "'int' object is not an instance of 'str'"),
    (Items([(None, 1)]), TypeError, "'None' is not an instance of 'str'"),
    (Items(failing_iterator()), RuntimeError, "iteration failed"),
    (Items([("a", 1), ("b", {"c": [1]})]), TypeError, NOT_A_VALUE + "list"),
    ({"\udc00": 1}, UnicodeEncodeError, None),
    ([("a", 1)], AttributeError, None),
    (ItemsProperty(), KeyError, "'from items'"),
])
def test_conversion_errors(fields, exc, text):
    with pytest.raises(exc) as info:
        Message("A", fields)
    if text is not None:
        assert str(info.value) == text
    assert not hasattr(info.value, "__notes__")


def test_dict_subclass_items_method_is_not_called():
    class Sneaky(dict):
        def items(self):
            raise AssertionError("items() of a dict subclass must not be called")

    assert Message("A", Sneaky(a=1)).fields == {"a": 1}
    assert Message("A", {"m": Sneaky(b=2)}).fields == {"m": {"b": 2}}


def test_dict_changed_during_conversion_is_read_as_it_was():
    fields = {}

    class Mutator:
        def __float__(self):
            fields.clear()
            fields["late"] = 1
            return 1.0

    fields.update(a=Mutator(), b=2)
    assert Message("A", fields).fields == {"a": 1.0, "b": 2}


def dict_containing_itself():
    d = {}
    d["d"] = d
    return d


def dict_cycle_through_another_dict():
    d = {"a": 1}
    d["x"] = {"y": d}
    return d


def mapping_containing_itself():
    p = Items([])
    p.result.append(("self", p))
    return p


@pytest.mark.parametrize("make_cycle", [
    dict_containing_itself, dict_cycle_through_another_dict, mapping_containing_itself])
def test_self_referential_mapping_raises_recursion_error(make_cycle):
    cycle = make_cycle()
    with pytest.raises(RecursionError) as info:
        Message("A", cycle)
    if isinstance(cycle, dict):  # a Python items() may hit the interpreter's own check first
        assert str(info.value) == "maximum recursion depth exceeded while converting a field value"
    with pytest.raises(RecursionError):
        Message("A", {"outer": cycle})
    # The interpreter is fine afterwards and deep but finite nesting converts.
    deep = {"leaf": 1}
    for _ in range(min(sys.getrecursionlimit() // 4, 200)):
        deep = {"n": deep}
    assert Message("A", deep).fields == deep


def test_nested_maps_keep_key_order():
    fields = {"z": 1, "pos": {"lon": 2.0, "lat": 1.0, "alt": {"b": None, "a": True}}, "a": "x"}
    got = Message("A", fields).fields
    assert got == fields
    assert list(got) == ["z", "pos", "a"]
    assert list(got["pos"]) == ["lon", "lat", "alt"]
    assert list(got["pos"]["alt"]) == ["b", "a"]
