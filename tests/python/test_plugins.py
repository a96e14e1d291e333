"""Python transports and codecs: factory arguments, results of every shape, errors, close, replacing file://."""

import contextlib
import gc
import itertools
import sys
import threading
import types
import weakref

import pytest

import sigtap
from sigtap._sigtap import Error, Message, _open, register_codec, register_transport

_names = itertools.count()


def queue(*incoming):  # a transport handing out `incoming`, one item a call, and collecting what is sent in `sent`
    sent, pending = [], list(incoming)
    return types.SimpleNamespace(sent=sent, send=sent.append, recv=lambda timeout: pending.pop(0) if pending else None)


def failing_close():
    raise RuntimeError("close failed")


def transport_url(transport):
    scheme = f"q{next(_names)}"
    register_transport(scheme, lambda address, options: transport)
    return scheme + "://x"


def codec_name(decode=None, encode=None):
    name = f"c{next(_names)}"
    register_codec(name, lambda argument, options: types.SimpleNamespace(decode=decode, encode=encode))
    return name


def test_factories_get_the_argument_and_options_and_what_they_raise_is_raised_as_is():
    calls, name, scheme, error = [], f"MixedCase{next(_names)}", f"T{next(_names)}", ValueError("no")

    def factory(argument, options):
        calls.append((argument, options))
        if "fail" in options:
            raise error
        return queue()

    register_codec(name, factory)
    register_transport(scheme, factory)
    _open(scheme.lower() + "://host:1/path?b=2&a", name.upper())
    _open(scheme + "://x", name.lower() + ":abc", x=1)
    assert calls == [(None, {}), ("host:1/path", {"a": "", "b": "2"}), ("abc", {"x": 1}), ("x", {})]
    for fail in (lambda: _open(scheme + "://x?fail"), lambda: _open("mem://x", name, fail=1)):
        with pytest.raises(ValueError) as info:
            fail()
        assert info.value is error


@pytest.mark.parametrize("result, ids", [
    (lambda p: None, []),
    (lambda p: Message(data=p.data, id=1), [1]),
    (lambda p: [Message(data=b"a", id=2), Message("named", {"x": 1})], [2, 0x7F]),
    (lambda p: (Message(data=bytes([i]), id=i) for i in (3, 4, 5)), [3, 4, 5]),
])
def test_decode_results_of_every_shape(bus, result, ids):
    tx, rx = _open(bus), _open(bus, codec_name(decode=result))
    tx.send(Message(data=b"\x01", id=0x7F))
    got = [rx.recv(5) for _ in ids]
    assert [m.id for m in got] == ids and rx.recv(0.05) is None  # all from the one packet, pending included
    # A decoded message without a packet of its own carries the received one.
    assert all(m.data == b"\x01" and m.timestamp > 0 for m in got if m.name == "named")


@pytest.mark.parametrize("result, exc, text", [
    (lambda m: [Message(data=bytes([m["v"]]), id=i) for i in (1, 2)], None, None),
    (lambda m: Message("no-data"), ValueError, "the message has no data"),
    (lambda m: [Message(data=b"a", id=1), None], TypeError, "'None' is not an instance of 'Message'"),
    (lambda m: [1], TypeError, "'int' object is not an instance of 'Message'"),
    (lambda m: 5, TypeError, "'int' object is not iterable"),
])
def test_encode_sends_every_packet_in_order_or_none_at_all(result, exc, text):
    transport = queue()
    ch = _open(transport_url(transport), codec_name(encode=result))
    with pytest.raises(exc, match=f"^{text}$") if exc else contextlib.nullcontext():
        ch.send("Speed", {"v": 7})
    assert [(m.name, m.data, m.id) for m in transport.sent] == ([] if exc else [(None, b"\x07", 1), (None, b"\x07", 2)])


@pytest.mark.parametrize("close", [None, failing_close], ids=["no-close", "raising-close"])
def test_transport_recv_results_and_close(monkeypatch, close):
    reports, transport = [], queue(None, Message("named"), "text", Message(data=b"x", id=5))
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    if close:
        transport.close = close
    ch = _open(transport_url(transport))
    assert ch.recv(0) is None
    with pytest.raises(ValueError, match="^the message has no data$"):
        ch.recv(0)
    with pytest.raises(TypeError, match="^'str' object is not an instance of 'Message'$"):
        ch.recv(0)
    assert ch.recv(0).id == 5
    ch.close()
    ch.close()
    assert ch.closed  # closed even when the transport's close fails, which is reported once
    assert [(str(r.exc_value), r.object) for r in reports] == ([("close failed", transport)] if close else [])


def test_registering_file_replaces_the_builtin_for_the_process(run_python):
    result = run_python("""
        import sigtap
        sigtap.register_transport("file", lambda address, options: print(address, options) or 1)
        sigtap.open("FILE:///no/such/dir/x?mode=r")
    """)
    assert result.stdout == "/no/such/dir/x {'mode': 'r'}\n", result.stderr


# A named send or a receive waits for the codec, which its own caller holds: refused at once, and a
# packet waiting in the transport stays first in line; a packet needs no codec.
@pytest.mark.parametrize("inside", ["decode", "encode"])
def test_a_codec_using_its_own_channel_is_refused(inside):
    transport, holder, outcome = queue(Message(data=b"in")), {}, []
    in_use = "^the codec of this channel is in use by this thread$"

    def use_from_codec(message):
        holder["ch"].send(Message(data=b"packet"))
        with pytest.raises(Error, match=in_use):
            holder["ch"].send("named")
        holder["ch"].recv(0.5)  # raises, out of the codec

    holder["ch"] = _open(transport_url(transport), codec_name(**{"decode": lambda packet: packet, inside: use_from_codec}))
    def call():  # on a thread of its own, so that a deadlock fails the test instead of hanging it
        with pytest.raises(Error, match=in_use):
            holder["ch"].recv(5) if inside == "decode" else holder["ch"].send("outer")
        outcome.append("refused")
        if inside == "encode":
            outcome.append(holder["ch"].recv(5).data)

    worker = threading.Thread(target=call, daemon=True)
    worker.start()
    worker.join(10)
    assert outcome == ["refused"] + ([b"in"] if inside == "encode" else [])
    assert [m.data for m in transport.sent] == [b"packet"]


# A codec or transport that keeps its channel (as one that replies would) makes a cycle that only the channel can show
# the collector; left uncollected, a mem:// channel would also go on taking copies of its bus's traffic.
@pytest.mark.parametrize("kind", ["codec", "transport"])
def test_a_channel_in_a_cycle_with_its_plugin_is_collected(kind):
    class Plugin:  # never called here
        channel = None
    made, name, refs = [], f"keeper{next(_names)}", []
    (register_codec if kind == "codec" else register_transport)(name, lambda a, o: made.append(Plugin()) or made[-1])
    for _ in range(20):
        ch = sigtap.open("mem://cycle", name) if kind == "codec" else sigtap.open(name + "://x")
        made[-1].channel = ch
        refs += [weakref.ref(ch), weakref.ref(ch._channel), weakref.ref(made.pop())]
    del ch
    gc.collect()
    assert [r for r in refs if r() is not None] == []
