"""sigtap.Message: the class object, construction rules, properties, lookup, equality, repr, leaks."""

import array
import gc
import importlib.util
import inspect
import math
import os
import sys
import tracemalloc
import weakref

import pytest

import sigtap._sigtap as _sigtap
from sigtap._sigtap import Message

DOC = ('A message: a name and fields (decoded or to encode), and the raw packet\n'
       '(`data`, plus `id` for CAN) it was received as or is sent as.\n'
       '\n'
       '`Message("VehicleSpeed", {"Speed": 12.5})` is encoded by the channel\'s\n'
       'codec; `Message(data=b"...", id=0x123)` (no name) is sent as is.')

PROPERTY_DOCS = {
    "name": "The message name; None for a raw (undecoded) message.",
    "fields": "Decoded fields (a new dict on each access).",
    "data": "The raw bytes (a CAN payload, an SBF block, a datagram), if any.",
    "id": "CAN identifier, for CAN frames.",
    "extended": "29-bit CAN identifier.",
    "fd": "CAN FD frame.",
    "timestamp": "Reception time, seconds since the Unix epoch.",
}


class Pairs:
    """A mapping-like object whose items() may repeat a name."""

    def __init__(self, *pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


# ---- the class object ------------------------------------------------------

def test_class_identity_signature_and_docs():
    assert Message.__module__ == "sigtap"
    assert Message.__qualname__ == "Message"
    assert Message.__doc__ == DOC
    assert Message.__text_signature__ == (
        "(name=None, fields=None, *, data=None, id=None, extended=None, fd=False)")
    assert str(inspect.signature(Message)) == (
        "(name=None, fields=None, *, data=None, id=None, extended=None, fd=False)")
    assert {name: getattr(Message, name).__doc__ for name in PROPERTY_DOCS} == PROPERTY_DOCS
    module_attrs = [k for k in vars(_sigtap) if not k.startswith("__") or k == "__version__"]
    assert module_attrs[:3] == ["__version__", "Error", "Message"]


def test_second_module_instance_shares_the_class():
    spec = importlib.util.find_spec("sigtap._sigtap")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _sigtap
    assert again.Message is Message and again.Error is _sigtap.Error


def test_closed_class():
    m = Message("A")
    with pytest.raises(TypeError):
        class Sub(Message):  # noqa: F841
            pass
    with pytest.raises(TypeError, match="unhashable"):
        hash(m)
    assert Message.__hash__ is None
    with pytest.raises(AttributeError):
        m.color = 1
    for name in PROPERTY_DOCS:
        with pytest.raises(AttributeError):
            setattr(m, name, None)
        with pytest.raises(AttributeError):
            delattr(m, name)
    assert not hasattr(m, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(m)
    with pytest.raises(TypeError):
        len(m)
    with pytest.raises(TypeError):
        iter(m)
    assert not hasattr(m, "get")


# ---- construction ----------------------------------------------------------

# (args, kwargs) -> (name, fields, data, id, extended, fd)
VALID = [
    (("A",), {}, ("A", {}, None, None, False, False)),
    (("A",), {"fd": False}, ("A", {}, None, None, False, False)),
    ((None, None), {"id": 0x7FF}, (None, {}, b"", 0x7FF, False, False)),
    ((), {"id": 0x800}, (None, {}, b"", 0x800, True, False)),
    ((), {"id": 0x800, "extended": False}, (None, {}, b"", 0x800, False, False)),
    ((), {"id": 5, "extended": True, "fd": True}, (None, {}, b"", 5, True, True)),
    ((), {"id": 0xFFFFFFFF, "extended": False}, (None, {}, b"", 0xFFFFFFFF, False, False)),
    ((), {"id": True}, (None, {}, b"", 1, False, False)),
    (("A", {"x": 1}), {"data": b"\x01", "id": 1}, ("A", {"x": 1}, b"\x01", 1, False, False)),
    ((), {"fields": {"x": 1}, "data": b"\x00"}, (None, {"x": 1}, b"\x00", None, False, False)),
    ((), {"data": [1, 2]}, (None, {}, b"\x01\x02", None, False, False)),
    ((), {"data": (255, True, False)}, (None, {}, b"\xff\x01\x00", None, False, False)),
    ((), {"data": range(3)}, (None, {}, b"\x00\x01\x02", None, False, False)),
    ((), {"data": bytearray(b"ab")}, (None, {}, b"ab", None, False, False)),
    ((), {"data": memoryview(b"ab")}, (None, {}, b"ab", None, False, False)),
    ((), {"data": array.array("B", [7, 8])}, (None, {}, b"\x07\x08", None, False, False)),
    ((), {"data": type("B", (bytes,), {})(b"zz")}, (None, {}, b"zz", None, False, False)),
    ((), {"data": []}, (None, {}, b"", None, False, False)),
]


@pytest.mark.parametrize("args,kwargs,expected", VALID)
def test_construction(args, kwargs, expected):
    m = Message(*args, **kwargs)
    assert (m.name, m.fields, m.data, m.id, m.extended, m.fd) == expected
    assert m.timestamp is None
    assert type(m.data) is (bytes if m.data is not None else type(None))


class BadIndex:
    error = LookupError("from __index__")

    def __index__(self):
        raise self.error


# kwargs -> (exception type, text or None for the interpreter's own, notes)
INVALID = [
    ({}, ValueError, "a message needs a name or data", None),
    ({"fields": {"a": 1}}, ValueError, "a message needs a name or data", None),
    ({"data": b"x", "fd": True}, ValueError, "extended and fd need an id", None),
    ({"name": "A", "extended": False}, ValueError, "extended and fd need an id", None),
    ({"name": 1}, TypeError, "'int' object is not an instance of 'str'", ["while processing 'name'"]),
    ({"name": b"A"}, TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'name'"]),
    ({"name": "\ud800"}, UnicodeEncodeError, None, ["while processing 'name'"]),
    ({"id": -1}, OverflowError, "out of range integral type conversion attempted", ["while processing 'id'"]),
    ({"id": 2**32}, OverflowError, "out of range integral type conversion attempted", ["while processing 'id'"]),
    ({"id": 2**64}, OverflowError, None, ["while processing 'id'"]),
    ({"id": 1.0}, TypeError, None, ["while processing 'id'"]),
    ({"id": "1"}, TypeError, None, ["while processing 'id'"]),
    ({"id": 1, "extended": 1}, TypeError, "'int' object is not an instance of 'bool'",
     ["while processing 'extended'"]),
    ({"name": "A", "fd": None}, TypeError, "'None' is not an instance of 'bool'", ["while processing 'fd'"]),
    ({"name": "A", "fd": 0}, TypeError, "'int' object is not an instance of 'bool'", ["while processing 'fd'"]),
    ({"data": "x"}, TypeError, "data must be bytes-like, not str", None),
    ({"data": [256]}, TypeError, "data must be bytes-like or a sequence of ints in 0..=255", None),
    ({"data": [-1]}, TypeError, "data must be bytes-like or a sequence of ints in 0..=255", None),
    ({"data": [1.0]}, TypeError, "data must be bytes-like or a sequence of ints in 0..=255", None),
    ({"data": 5}, TypeError, "data must be bytes-like or a sequence of ints in 0..=255", None),
    ({"data": iter([1])}, TypeError, "data must be bytes-like or a sequence of ints in 0..=255", None),
    ({"data": {1: 2}}, TypeError, "data must be bytes-like or a sequence of ints in 0..=255", None),
    ({"data": array.array("i", [1, 300])}, TypeError,
     "data must be bytes-like or a sequence of ints in 0..=255", None),
    ({"name": "A", "fields": [("a", 1)]}, AttributeError, None, None),
    # Conversion order: name, id, extended, fd, fields, data, then the checks.
    ({"name": 1, "id": -1}, TypeError, "'int' object is not an instance of 'str'", ["while processing 'name'"]),
    ({"id": -1, "extended": 1}, OverflowError, "out of range integral type conversion attempted",
     ["while processing 'id'"]),
    ({"name": "A", "fd": 1, "fields": []}, TypeError, "'int' object is not an instance of 'bool'",
     ["while processing 'fd'"]),
    ({"name": "A", "fields": [], "data": "x"}, AttributeError, None, None),
    ({"data": "x", "fd": True}, TypeError, "data must be bytes-like, not str", None),
]


@pytest.mark.parametrize("kwargs,exc,text,notes", INVALID)
def test_construction_errors(kwargs, exc, text, notes):
    with pytest.raises(exc) as info:
        Message(**kwargs)
    if text is not None:
        assert str(info.value) == text
    assert getattr(info.value, "__notes__", None) == notes


def test_argument_note_is_added_to_the_raised_exception_itself():
    BadIndex.error = LookupError("from __index__")
    BadIndex.error.add_note("first")
    with pytest.raises(LookupError) as info:
        Message(id=BadIndex())
    assert info.value is BadIndex.error
    assert info.value.__notes__ == ["first", "while processing 'id'"]


@pytest.mark.parametrize("args,kwargs,text", [
    (("a", {}, 1), {}, "Message.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    ((1, 2, 3, 4), {}, "Message.__new__() takes from 0 to 2 positional arguments but 4 were given"),
    ((1, 2, 3), {"x": 1}, "Message.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    ((1,), {"x": 1}, "Message.__new__() got an unexpected keyword argument 'x'"),
    (("a",), {"name": "b"}, "Message.__new__() got multiple values for argument 'name'"),
    (("a", {}), {"fields": {}}, "Message.__new__() got multiple values for argument 'fields'"),
])
def test_argument_list_errors(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        Message(*args, **kwargs)
    assert str(info.value) == text
    assert not hasattr(info.value, "__notes__")


# ---- properties and lookup -------------------------------------------------

def test_fields_are_new_objects_on_every_access():
    m = Message("A", {"pos": {"lat": 1.0}, "s": "x"})
    first = m.fields
    assert first == {"pos": {"lat": 1.0}, "s": "x"}
    assert first is not m.fields
    assert first["pos"] is not m.fields["pos"]
    assert m["pos"] is not m["pos"]
    first["pos"]["lat"] = 2.0
    first["new"] = 1
    assert m.fields == {"pos": {"lat": 1.0}, "s": "x"}


def test_repeated_names_keep_first_position_and_last_value():
    m = Message("A", Pairs(("a", 1), ("b", 2), ("a", 3)))
    assert list(m.fields.items()) == [("a", 3), ("b", 2)]
    assert m["a"] == 1
    assert repr(m) == 'Message("A", {"a": 1, "b": 2, "a": 3})'


def test_lookup():
    m = Message("A", {"x": 1, "é": None})
    assert m["x"] == 1 and m["é"] is None
    assert m[type("S", (str,), {})("x")] == 1
    assert "x" in m and "y" not in m
    with pytest.raises(KeyError) as info:
        m["y"]
    assert info.value.args == ("y",)
    for probe in (lambda: m[1], lambda: 1 in m):
        with pytest.raises(TypeError) as info:
            probe()
        assert str(info.value) == "'int' object is not an instance of 'str'"
        assert info.value.__notes__ == ["while processing 'key'"]


# ---- repr ------------------------------------------------------------------

@pytest.mark.parametrize("message,text", [
    (Message("a", {"v": 1.0}), 'Message("a", {"v": 1.0})'),
    (Message("a", {"v": 1e16, "w": math.nextafter(1e16, 0)}),
     'Message("a", {"v": 1e16, "w": 9999999999999998.0})'),
    (Message("a", {"v": 1.5e-7, "w": 0.0001, "x": -0.0, "y": 2.5e20}),
     'Message("a", {"v": 1.5e-7, "w": 0.0001, "x": -0.0, "y": 2.5e20})'),
    (Message("a", {"v": math.nan, "w": math.inf, "x": -math.inf}), 'Message("a", {"v": NaN, "w": inf, "x": -inf})'),
    (Message("a", {"i": -2**63, "t": True, "f": False, "n": None}),
     'Message("a", {"i": -9223372036854775808, "t": true, "f": false, "n": null})'),
    (Message("a", {"m": {"pos x": {"lat": 1.0, "s": "q\""}}, "e": {}}),
     'Message("a", {"m": {pos x: {lat: 1.0, s: "q\\""}}, "e": {}})'),
    (Message('q"b\\c\t\n\r\x00\x01 é\u0301\u200b\xa0\'', {"k\"\t": "v\x7f"}),
     'Message("q\\"b\\\\c\\t\\n\\r\\0\\u{1} é\\u{301}\\u{200b}\\u{a0}\'", {"k\\"\\t": "v\\u{7f}"})'),
    (Message(data=b"\x01\xab", id=0x123), "Message(id=0x123, data=bytes.fromhex('01ab'))"),
    (Message("A", data=b"\x01", id=1), 'Message("A", id=0x1)'),
    (Message("A", data=b"\x01"), 'Message("A")'),
    (Message(data=b""), "Message(data=bytes.fromhex(''))"),
    (Message(data=b"", id=0x1FFFFFFF, extended=True, fd=True), "Message(id=0x1FFFFFFF, data=bytes.fromhex(''))"),
    (Message("A", id=0xABCDEF), 'Message("A", id=0xABCDEF)'),
    (Message(fields={"a": 1}, data=b"\x00\xff"), "Message({\"a\": 1}, data=bytes.fromhex('00ff'))"),
    (Message(""), 'Message("")'),
])
def test_repr(message, text):
    assert repr(message) == text


# ---- equality ----------------------------------------------------------------

@pytest.mark.parametrize("a,b,equal", [
    (Message("A", {"x": 1}), Message("A", {"x": 1}), True),
    (Message("A", {"x": 1}), Message("A", {"x": 1.0}), False),
    (Message("A", {"x": 1}), Message("A", {"x": True}), False),
    (Message("A", {"x": 1.0}), Message("A", {"x": True}), False),
    (Message("A", {"x": 0.0}), Message("A", {"x": -0.0}), True),
    (Message("A", {"x": math.nan}), Message("A", {"x": math.nan}), False),
    (Message("A", {"x": None}), Message("A", {"x": None}), True),
    (Message("A", {"x": 1, "y": 2}), Message("A", {"y": 2, "x": 1}), False),
    (Message("A", {"m": {"a": 1, "b": 2}}), Message("A", {"m": {"a": 1, "b": 2}}), True),
    (Message("A", {"m": {"a": 1, "b": 2}}), Message("A", {"m": {"b": 2, "a": 1}}), False),
    (Message("A", Pairs(("a", 1), ("a", 1))), Message("A", {"a": 1}), False),
    (Message("A"), Message("B"), False),
    (Message("A"), Message("A", {}), True),
    (Message("A"), Message("A", data=b""), False),
    (Message(data=b"\x01"), Message(data=b"\x01"), True),
    (Message(data=b"\x01"), Message(data=b"\x02"), False),
    (Message(data=b"\x01"), Message("A", data=b"\x01"), False),
    (Message(data=b"", id=1), Message(data=b"", id=2), False),
    (Message(data=b"", id=1), Message(data=b""), False),
    (Message(data=b"", id=1), Message(data=b"", id=1, extended=True), False),
    (Message(data=b"", id=1), Message(data=b"", id=1, fd=True), False),
    (Message(data=b"", id=0x800), Message(data=b"", id=0x800, extended=True), True),
])
def test_equality(a, b, equal):
    assert (a == b) is equal and (b == a) is equal
    assert (a != b) is (not equal)


def test_comparison_with_other_objects_and_ordering():
    m = Message("A", {"x": math.nan})
    assert (m == m) is False  # NaN fields are unequal even to themselves
    assert (Message("A") == 5) is False and (Message("A") != 5) is True
    assert (Message("A") == "A") is False
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(Message("A"), op)(Message("A")) is NotImplemented
    with pytest.raises(TypeError):
        Message("A") < Message("B")


# ---- leaks -------------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def exercise(name, fields, data, key, missing, bad_fields):
    m = Message(name, fields, data=data, id=0x123)
    m.fields
    m[key]
    key in m
    repr(m)
    m == Message(name, fields, data=data, id=0x123)
    m != 5
    m.data, m.id, m.name, m.timestamp, m.extended, m.fd
    for call in (lambda: m[missing], lambda: m[1], lambda: Message(name, bad_fields),
                 lambda: Message(name, fd=None), lambda: Message(id=-1), lambda: Message(data=[300]),
                 lambda: Message(name, {"v": []}), lambda: Message(1, 2, 3), lambda: Message(x=1)):
        try:
            call()
        except (KeyError, TypeError, OverflowError, ValueError):
            pass


def test_no_leaks():
    name = "Speed-" + str(os.getpid())
    inner = {"lat": 1.5, "s": "text-" + name}
    fields = {"v": 2**40, "pos": inner, "f": 0.25}
    data = bytes(range(256)) * 8
    key = "pos"
    missing = "nope-" + name
    bad_fields = {"ok": 1, "bad": object()}
    objects = [name, inner, fields, data, key, missing, bad_fields, inner["s"], fields["v"]]
    for _ in range(200):
        exercise(name, fields, data, key, missing, bad_fields)
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    rss = rss_bytes() if os.path.exists("/proc/self/statm") else None
    tracemalloc.start()
    try:
        for _ in range(2000):
            exercise(name, fields, data, key, missing, bad_fields)
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(20000):
            exercise(name, fields, data, key, missing, bad_fields)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    # One leaked object per round would be hundreds of kilobytes.
    assert grown < 64 * 1024
    assert [sys.getrefcount(o) for o in objects] == counts
    if rss is not None:
        # Each round copies 2 KiB of data into three messages: a native leak
        # would show as well over 100 MB.
        assert rss_bytes() - rss < 32 * 1024 * 1024
