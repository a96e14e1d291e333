"""Python transports and codecs: the factories' arguments, results of every shape, errors, close."""

import itertools
import subprocess
import sys

import pytest

from sigtap._sigtap import Message, _open, register_codec, register_transport

_names = itertools.count()


def unique(prefix):
    return f"{prefix}{next(_names)}"


class Queue:
    """A transport: `incoming` is fed by the test, `sent` collects what is sent."""

    def __init__(self, *incoming):
        self.incoming, self.sent = list(incoming), []

    def send(self, message):
        self.sent.append(message)

    def recv(self, timeout):
        return self.incoming.pop(0) if self.incoming else None


def transport_url(transport):
    scheme = unique("q")
    register_transport(scheme, lambda address, options: transport)
    return scheme + "://x"


def codec_name(decode=None, encode=None):
    name = unique("c")
    codec = type("Codec", (), {"decode": lambda self, p: decode(p), "encode": lambda self, m: encode(m)})()
    register_codec(name, lambda argument, options: codec)
    return name


def test_factories_get_the_argument_and_the_options():
    calls = []
    name, scheme = unique("MixedCase"), unique("T")
    register_codec(name, lambda argument, options: calls.append((argument, options)) or Queue())
    register_transport(scheme, lambda address, options: calls.append((address, options)) or Queue())
    _open(scheme.lower() + "://host:1/path?b=2&a", name.upper())
    _open(scheme + "://x", name.lower() + ":abc", x=1)
    assert calls == [(None, {}), ("host:1/path", {"a": "", "b": "2"}), ("abc", {"x": 1}), ("x", {})]


@pytest.mark.parametrize("register", [register_codec, register_transport])
def test_a_raising_factory_raises_that_very_exception(register):
    error = ValueError("no")

    def factory(argument, options):
        raise error

    name = unique("f")
    register(name, factory)
    with pytest.raises(ValueError) as info:
        _open(f"{name}://x") if register is register_transport else _open("mem://x", name)
    assert info.value is error


@pytest.mark.parametrize("result, ids", [
    (lambda p: None, []),
    (lambda p: Message(data=p.data, id=1), [1]),
    (lambda p: [Message(data=b"a", id=2), Message("named", {"x": 1})], [2, 0x7F]),
    (lambda p: (Message(data=bytes([i]), id=i) for i in (3, 4, 5)), [3, 4, 5]),
])
def test_decode_results_of_every_shape(result, ids):
    url = unique("mem://plugins-")
    tx, rx = _open(url), _open(url, codec_name(decode=result))
    tx.send(Message(data=b"\x01", id=0x7F))
    got = [rx.recv(5) for _ in ids]
    assert [m.id for m in got] == ids and rx.recv(0.05) is None  # all from the one packet, pending included
    # A decoded message without a packet of its own carries the received one.
    assert all(m.data == b"\x01" and m.timestamp > 0 for m in got if m.name == "named")


@pytest.mark.parametrize("result, exc, text", [
    (lambda m: Message("no-data"), ValueError, "the message has no data"),
    (lambda m: [1], TypeError, "'int' object is not an instance of 'Message'"),
    (lambda m: [None], TypeError, "'None' is not an instance of 'Message'"),
    (lambda m: 5, TypeError, "'int' object is not iterable"),
])
def test_encode_errors(result, exc, text):
    transport = Queue()
    ch = _open(transport_url(transport), codec_name(encode=result))
    with pytest.raises(exc, match=f"^{text}$"):
        ch.send("Speed", {"v": 1})
    assert transport.sent == []


def test_encode_sends_every_packet_in_order():
    transport = Queue()
    ch = _open(transport_url(transport), codec_name(encode=lambda m: [Message(data=bytes([m["v"]]), id=i)
                                                                      for i in (1, 2)]))
    ch.send("Speed", {"v": 7})
    assert [(m.name, m.data, m.id) for m in transport.sent] == [(None, b"\x07", 1), (None, b"\x07", 2)]


def test_transport_recv_results_and_errors():
    transport = Queue(None, Message("named"), "text", Message(data=b"x", id=5))
    ch = _open(transport_url(transport))
    assert ch.recv(0) is None
    with pytest.raises(ValueError, match="^the message has no data$"):
        ch.recv(0)
    with pytest.raises(TypeError, match="^'str' object is not an instance of 'Message'$"):
        ch.recv(0)
    assert ch.recv(0).id == 5


class RaisingClose(Queue):
    def close(self):
        raise RuntimeError("close failed")


@pytest.mark.parametrize("transport", [Queue(), RaisingClose()])
def test_transport_close(monkeypatch, transport):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    ch = _open(transport_url(transport))
    ch.close()
    ch.close()
    assert ch.closed
    expected = [("close failed", transport)] if isinstance(transport, RaisingClose) else []
    assert [(str(r.exc_value), r.object) for r in reports] == expected


def test_registering_file_replaces_the_builtin_for_the_process():
    code = ("import sigtap\nseen = []\n"
            "sigtap.register_transport('file', lambda address, options: seen.append((address, options)) or 1)\n"
            "sigtap.open('FILE:///no/such/dir/x?mode=r')\nprint(seen)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout == "[('/no/such/dir/x', {'mode': 'r'})]\n", result.stderr
