"""sigtap.Message: the class object, construction rules, lookup, equality, repr, leaks."""

import array
import contextlib
import gc
import math
import os
import sys
import tracemalloc

import pytest

from sigtap._sigtap import Message

NOT_BYTES = "data must be bytes-like or a sequence of ints in 0..=255"
RANGE = "out of range integral type conversion attempted"
NOT_STR = "'int' object is not an instance of 'str'"
NOT_BOOL = "'int' object is not an instance of 'bool'"
ARGS = "Message.__new__() takes from 0 to 2 positional arguments but "


def note(name):
    return [f"while processing '{name}'"]


# A mapping-like object whose items() may repeat a name.
def pairs(*items):
    return type("Pairs", (), {"items": lambda self: iter(items)})()


class BadIndex:
    def __index__(self):
        error = LookupError("from __index__")
        error.add_note("first")
        raise error


def test_class_object():
    with pytest.raises(TypeError):
        type("Sub", (Message,), {})
    with pytest.raises(TypeError, match="unhashable"):
        hash(Message("A"))


@pytest.mark.parametrize("kwargs,expected", [  # -> (data, id, extended, fd); an id past 11 bits is extended
    ({"id": 0x7FF}, (b"", 0x7FF, False, False)), ({"id": 0x800}, (b"", 0x800, True, False)),
    ({"id": True}, (b"", 1, False, False)), ({"id": 0x800, "extended": False}, (b"", 0x800, False, False)),
    ({"id": 5, "extended": True, "fd": True}, (b"", 5, True, True)),
    *[({"data": d}, (b"\x01\x02", None, False, False)) for d in (b"\x01\x02", [1, 2], (True, 2), range(1, 3),
      bytearray(b"\x01\x02"), memoryview(b"\x01\x02"), array.array("B", [1, 2]), type("B", (bytes,), {})(b"\x01\x02"))],
])
def test_construction(kwargs, expected):
    m = Message("A", {"x": 1}, **kwargs)
    assert (m.data, m.id, m.extended, m.fd, m.name, m.fields, m.timestamp) == (*expected, "A", {"x": 1}, None)
    assert type(m.data) is bytes


@pytest.mark.parametrize("args,kwargs,exc,text,notes", [  # text None: the interpreter's own
    *[((), kw, ValueError, "a message needs a name or data", None) for kw in ({}, {"fields": {"a": 1}})],
    *[((), kw, ValueError, "extended and fd need an id", None)
      for kw in ({"data": b"x", "fd": True}, {"name": "A", "extended": False})],
    ((), {"name": 1}, TypeError, NOT_STR, note("name")),
    ((), {"name": "\ud800"}, UnicodeEncodeError, None, note("name")),
    *[((), {"id": v}, OverflowError, RANGE, note("id")) for v in (-1, 2**32)],
    *[((), {"id": v}, exc, None, note("id")) for v, exc in ((2**64, OverflowError), (1.0, TypeError))],
    ((), {"id": BadIndex()}, LookupError, "from __index__", ["first"] + note("id")),  # the raised exception itself
    ((), {"id": 1, "extended": 1}, TypeError, NOT_BOOL, note("extended")),
    ((), {"name": "A", "fd": None}, TypeError, "'None' is not an instance of 'bool'", note("fd")),
    ((), {"name": "A", "fd": 0}, TypeError, NOT_BOOL, note("fd")),
    ((), {"data": "x"}, TypeError, "data must be bytes-like, not str", None),
    *[((), {"data": d}, TypeError, NOT_BYTES, None)
      for d in ([256], [-1], [1.0], 5, iter([1]), {1: 2}, array.array("i", [1, 300]))],
    # Conversion order: name, id, extended, fd, fields, data, then the checks.
    ((), {"name": 1, "id": -1}, TypeError, NOT_STR, note("name")),
    ((), {"id": -1, "extended": 1}, OverflowError, RANGE, note("id")),
    ((), {"name": "A", "fd": 1, "fields": []}, TypeError, NOT_BOOL, note("fd")),
    ((), {"name": "A", "fields": [], "data": "x"}, AttributeError, None, None),
    ((), {"data": "x", "fd": True}, TypeError, "data must be bytes-like, not str", None),
    # The argument list itself.
    *[(a, kw, TypeError, ARGS + f"{len(a)} were given", None) for a, kw in (((1, 2, 3, 4), {}), ((1, 2, 3), {"x": 1}))],
    ((1,), {"x": 1}, TypeError, "Message.__new__() got an unexpected keyword argument 'x'", None),
    *[(a, kw, TypeError, f"Message.__new__() got multiple values for argument '{[*kw][0]}'", None)
      for a, kw in ((("a",), {"name": "b"}), (("a", {}), {"fields": {}}))],
])
def test_construction_errors(args, kwargs, exc, text, notes):
    with pytest.raises(exc) as info:
        Message(*args, **kwargs)
    assert text is None or str(info.value) == text
    assert getattr(info.value, "__notes__", None) == notes


def test_fields_lookup_and_repeated_names():
    m = Message("A", {"pos": {"lat": 1.0}, "é": None})
    m.fields["pos"]["lat"] = m.fields["new"] = 2.0  # every access is a new dict, nested ones too
    assert m.fields == {"pos": {"lat": 1.0}, "é": None} and m["pos"] is not m["pos"]
    assert m["é"] is None and m[type("S", (str,), {})("pos")] == {"lat": 1.0} and "pos" in m and "y" not in m
    with pytest.raises(KeyError, match="^'y'$"):
        m["y"]
    with pytest.raises(TypeError) as info:
        1 in m
    assert (str(info.value), info.value.__notes__) == (NOT_STR, note("key"))
    # A repeated name keeps its first position and its last value; lookup finds the first.
    m = Message("A", pairs(("a", 1), ("b", 2), ("a", 3)))
    assert (list(m.fields.items()), m["a"]) == ([("a", 3), ("b", 2)], 1)
    assert repr(m) == 'Message("A", {"a": 1, "b": 2, "a": 3})'


@pytest.mark.parametrize("message,text", [
    # Values and texts take the core's forms, which the C++ suite checks in full.
    (Message('q"\t', {"k\"": "v\x7f", "v": 1e16, "z": None, "m": {"pos x": {"lat": -0.0}}}),
     'Message("q\\"\\t", {"k\\"": "v\\u{7f}", "v": 1e16, "z": null, "m": {pos x: {lat: -0.0}}})'),
    (Message(data=b"\x01\xab", id=0x123), "Message(id=0x123, data=bytes.fromhex('01ab'))"),
    (Message("A", data=b"\x01", id=1), 'Message("A", id=0x1)'),
    (Message("A", data=b"\x01"), 'Message("A")'), (Message(""), 'Message("")'),
    (Message(data=b"", id=0x1FFFFFFF, extended=True, fd=True), "Message(id=0x1FFFFFFF, data=bytes.fromhex(''))"),
    (Message(fields={"a": 1}, data=b"\x00\xff"), "Message({\"a\": 1}, data=bytes.fromhex('00ff'))"),
])
def test_repr(message, text):
    assert repr(message) == text


NAN = Message("A", {"x": math.nan})
# Equal within a group, unequal across groups. The rules for values and packets are the core's (the C++
# Value.FormsAndEquality and Packet.EqualityTestsEveryField); here that they reach Python whole.
EQUAL_GROUPS = [
    [Message("A", {"x": 1}), Message("A", {"x": 1})], [Message("A", {"x": 1.0})], [Message("B", {"x": 1})],
    [Message("A"), Message("A", {})], [Message("A", data=b"")], [Message(data=b"\x01"), Message(data=b"\x01")],
    [Message(data=b"", id=1)], [Message(data=b"", id=1, fd=True)], [NAN], ["A"], [5],
]


def test_equality():
    assert (NAN == NAN) is False and (NAN != NAN) is True  # NaN fields are unequal even to themselves
    items = [(g, x) for g, group in enumerate(EQUAL_GROUPS) for x in group]
    for (ga, a), (gb, b) in ((x, y) for x in items for y in items):
        if (a is not b or a is not NAN) and (isinstance(a, Message) or isinstance(b, Message)):
            assert ((a == b), (a != b)) == (ga == gb, ga != gb), (a, b)
    with pytest.raises(TypeError):
        Message("A") < Message("A")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_no_leaks():
    name = "Speed-" + str(os.getpid())
    inner = {"lat": 1.5, "s": "text-" + name}
    fields, data, bad = {"v": 2**40, "pos": inner, "f": 0.25}, bytes(range(256)) * 8, {"ok": 1, "bad": object()}
    objects = [name, inner, fields, data, bad, inner["s"], fields["v"]]
    failing = (lambda m: m["nope-" + name], lambda m: m[1], lambda m: Message(name, bad), lambda m: Message(id=-1),
               lambda m: Message(name, fd=None), lambda m: Message(data=[300]), lambda m: Message(name, {"v": []}),
               lambda m: Message(1, 2, 3), lambda m: Message(x=1))

    def rounds(n):
        for _ in range(n):
            m = Message(name, fields, data=data, id=0x123)
            m.fields, m["pos"], "pos" in m, repr(m), m == Message(name, fields, data=data, id=0x123), m != 5, m.fd
            for call in failing:
                with contextlib.suppress(KeyError, TypeError, OverflowError, ValueError, AttributeError):
                    call(m)
        gc.collect()
        return tracemalloc.get_traced_memory()[0]

    rounds(200)
    counts = [sys.getrefcount(o) for o in objects]
    before = rss()
    tracemalloc.start()
    grown = -rounds(2000) + rounds(20000)
    tracemalloc.stop()
    assert grown < 64 * 1024  # one leaked object per round would be hundreds of kilobytes
    assert [sys.getrefcount(o) for o in objects] == counts
    # Each round copies 2 KiB of data into three messages: a native leak would be well over 100 MB.
    assert rss() - before < 32 * 1024 * 1024
