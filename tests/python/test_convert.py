"""Field value conversions between Python and the core, through sigtap.Message fields."""

import enum
import math
import sys
import types
from decimal import Decimal

import pytest

from sigtap._sigtap import Message, _open

NOT_A_VALUE = "a field value must be None, bool, int, float, str or a mapping, not "
NOT_BYTES = "data must be bytes-like or a sequence of ints in 0..=255"


def fail(exc):
    raise exc


def obj(name="Obj", base=object, **attrs):  # an instance of a throwaway class with these attributes
    return type(name, (base,), attrs)()


def items(result):  # a mapping-like object: anything whose items() gives name-value pairs
    return obj(items=lambda self: result)


NESTED = {"z": 1, "pos": {"lon": 2.0, "lat": 1.0, "alt": {"b": None, "a": True}}, "a": "x"}


@pytest.mark.parametrize("value,expected", [
    (None, None), (True, True), (False, False), (7, 7), (-2**63, -2**63), (2**63 - 1, 2**63 - 1),
    (enum.IntEnum("Color", {"RED": 3}).RED, 3), (2.5, 2.5), (-0.0, -0.0), (math.inf, math.inf), (math.nan, math.nan),
    (type("F", (float,), {})(1.25), 1.25), ("é\u0301\x00", "é\u0301\x00"), (type("S", (str,), {})("s"), "s"),
    (Decimal("1.5"), 1.5), (obj(__float__=lambda _: 2), 2.0), (obj(__index__=lambda _: 4, __float__=lambda _: .5), .5),
    ({}, {}), (NESTED, NESTED), (types.MappingProxyType({"b": 1, "a": 2}), {"b": 1, "a": 2}),
    (items([("x", 1), ("y", "converted")]), {"x": 1, "y": "converted"}),
    # A dict subclass is read as a dict: its own items() is never called.
    (type("D", (dict,), {"items": lambda self: fail(AssertionError())})(a=1, m={"b": 2}), {"a": 1, "m": {"b": 2}}),
])
def test_values_round_trip_with_exact_types(value, expected):
    m = Message("A", {"v": value})
    # The repr tells apart the types inside, float signs, NaN and key order.
    for got in (m.fields["v"], m["v"]):
        assert (type(got), repr(got)) == (type(expected), repr(expected))


def test_dicts_of_one_name_list_show_each_message_own_values():
    # Dicts of a name list seen before are made from a kept one: values that change must show.
    values = [0.0, -0.0, 0.0, 1, True, 1, 1.0, "x", None, {"a": -0.0}, {"a": 0.0}, math.nan, math.nan, "y" * 99, "y" * 99]
    got = [Message("T", {"v": v, "w": 5}).fields for v in values]
    assert [repr(d) for d in got] == [repr({"v": v, "w": 5}) for v in values]
    got[0]["v"] = "changed"
    assert Message("T", {"v": 0.0, "w": 5}).fields == {"v": 0.0, "w": 5}


ITEMS_PROPERTY = property(lambda self: fail(KeyError("from items")))


@pytest.mark.parametrize("fields,exc,text", [  # text None: the interpreter's own
    *[({"v": v}, OverflowError, None) for v in (2**63, -2**63 - 1)],
    *[({"v": v}, TypeError, NOT_A_VALUE + type(v).__name__) for v in ([], b"", (), object())],
    ({"v": obj("FloatRaises", __float__=lambda _: fail(ZeroDivisionError()))}, TypeError, NOT_A_VALUE + "FloatRaises"),
    ({"v": obj(__float__=lambda self: "x")}, TypeError, "must be real number, not str"),
    ({"v": "\ud800"}, UnicodeEncodeError, None),
    ({"v": obj(items=ITEMS_PROPERTY)}, KeyError, "'from items'"),
    ({"v": obj(__getattr__=lambda self, name: fail(RuntimeError("lookup " + name)))}, RuntimeError, "lookup items"),
    ({"v": obj(base=dict, items=ITEMS_PROPERTY)}, KeyError, "'from items'"),
    ({"v": obj(items=5)}, TypeError, None),
    ({"v": items(5)}, TypeError, "'int' object is not iterable"),
    (items([("a", 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (items([["a", 1]]), TypeError, "'list' object is not an instance of 'tuple'"),
    (items([None]), TypeError, "'None' is not an instance of 'tuple'"),
    (items([(1, 1)]), TypeError, "'int' object is not an instance of 'str'"),
    (items(map(lambda p: p or fail(RuntimeError("stop")), [("a", 1), 0])), RuntimeError, "stop"),  # a failing iterator
    (items([("a", 1), ("b", {"c": [1]})]), TypeError, NOT_A_VALUE + "list"),
    ({"\udc00": 1}, UnicodeEncodeError, None),
    ([("a", 1)], AttributeError, None),
])
def test_conversion_errors(fields, exc, text):
    with pytest.raises(exc) as info:
        Message("A", fields)
    assert text is None or str(info.value) == text
    assert not hasattr(info.value, "__notes__")


# Conversions that run the code of an object (act()), and the TypeError that an exception raised there becomes.
RUNS_CODE = {
    "Message(data=type('Seq', (list,), {'__iter__': lambda self: act()})([1]))": NOT_BYTES,
    "Message(data=type('Seq', (), {'__getitem__': lambda self, i: act(), '__len__': lambda self: 1})())": NOT_BYTES,
    "Message(data=[type('I', (), {'__index__': lambda self: act()})()])": NOT_BYTES,
    "Message('A', {'v': type('F', (), {'__float__': lambda self: act()})()})": NOT_A_VALUE + "F",
    "Message('A', {'m': {'v': type('F', (), {'__float__': lambda self: act()})()}})": NOT_A_VALUE + "F",
    "_open('mem://convert', opt=type('F', (), {'__float__': lambda self: act()})())": NOT_A_VALUE + "F",
}


# What ends the program (not an Exception) goes through unchanged, as with bytes(seq) and float(obj).
@pytest.mark.parametrize("expression,text", RUNS_CODE.items())
@pytest.mark.parametrize("error", [SystemExit(3), ZeroDivisionError()])
def test_errors_raised_by_code_a_conversion_runs(expression, text, error):
    with pytest.raises(TypeError if isinstance(error, Exception) else type(error)) as info:
        eval(expression, {"Message": Message, "_open": _open, "act": lambda: fail(error)})
    assert info.value is error if isinstance(error, SystemExit) else str(info.value) == text


def test_ctrl_c_in_code_a_conversion_runs(run_python):
    result = run_python(f"""
        import os, signal
        from sigtap._sigtap import Message, _open

        def act():
            os.kill(os.getpid(), signal.SIGINT)

        for expression in {list(RUNS_CODE)!r}:
            try:
                eval(expression)
            except KeyboardInterrupt:
                print("interrupted")
    """)
    assert (result.stdout, result.stderr) == ("interrupted\n" * len(RUNS_CODE), "")


def cycle(kind):
    d, pairs = {"a": 1}, []
    if kind == "mapping":
        d = items(pairs)
        pairs.append(("self", d))
    else:
        d["x"] = d if kind == "dict" else {"y": d}
    return d


def nested(levels):
    deep = {"leaf": 1}
    for _ in range(levels - 1):
        deep = {"n": deep}
    return deep


# The bound is the library's own (200 levels), whatever the interpreter's recursion limit.
@pytest.mark.parametrize("fields", [cycle("dict"), cycle("through another dict"), cycle("mapping"),
                                    {"outer": cycle("dict")}, {"v": nested(201)}, {"v": nested(14_000)}])
def test_nesting_beyond_the_bound_raises_recursion_error(fields):
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(40_000)
    try:
        with pytest.raises(RecursionError):
            Message("A", fields)
    finally:
        sys.setrecursionlimit(limit)
    deep = {"v": nested(200)}  # the deepest accepted value survives copies, comparisons and text forms
    m = Message("A", deep)
    assert m.fields == deep and m == Message("A", deep) and repr(m).count("{") == 201


def test_fields_read_by_a_collection_inside_fields(run_python):
    # Any allocation inside .fields may collect garbage and run __del__ methods that read .fields too: of the
    # same names (re-entry into a dict being built) or of enough other lists to evict every kept one.
    result = run_python("""
        import gc
        from sigtap._sigtap import Message

        OTHERS = [Message("O", {f"o{i}_{k}": k for k in range(40)}) for i in range(1100)]
        MORE = {str(k): k for k in range(50)}
        got = []  # (message, a dict of its fields read inside a collection or around one)

        class Reader:
            def __init__(self, messages):
                self.me, self.messages = self, messages

            def __del__(self):
                got.extend((m, m.fields) for m in self.messages)

        def read(i, warm, readers):
            m = Message("A", {f"n{i}": 1.5, "m": 0})
            if warm:
                m.fields
            twin = Message("B", {f"n{i}": 2, "m": {"a": 1}})
            gc.disable()
            Reader({"same": [m], "twin": [twin], "others": OTHERS}[readers])
            hold = [{} for _ in range(100)]  # empties the free list of dicts: the next dict collects
            gc.enable()
            got.append((m, m.fields))

        gc.set_threshold(1)
        for i in range(5):
            for warm in (False, True):
                for readers in ("same", "twin", "others"):
                    read(i, warm, readers)
        gc.set_threshold(700)
        print([(m, d) for m, d in got if d.update(MORE) or d != {**m.fields, **MORE}], len(got) > 11_000)
    """)
    assert (result.returncode, result.stdout, result.stderr) == (0, "[] True\n", "")
