"""_open and _Channel: arguments, timeouts, closing under blocked receivers, Ctrl-C, leaks."""

import gc
import itertools
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from sigtap._sigtap import Error, Message, _open

_names = itertools.count()


def bus():
    return f"mem://test-channel-{next(_names)}"


def frame(i=0):
    return Message(data=bytes([i]) * 8, id=0x100 + i)


def test_repr_closed_and_context_manager():
    url = bus()
    ch = _open(url)
    assert repr(ch) == f'Channel("{url}", "raw")' and ch.closed is False
    ch.close()
    ch.close()
    assert repr(ch) == f'Channel("{url}", "raw", closed)' and ch.closed is True
    assert repr(_open('mem://a"b', codec="RAW")) == 'Channel("mem://a\\"b", "RAW")'
    with pytest.raises(KeyError):
        with _open(bus()) as inside:
            raise KeyError("propagates")
    assert inside.closed


@pytest.mark.parametrize("call, exc, text, note", [
    (lambda: _open("mem://x", None), TypeError, "'None' is not an instance of 'str'", "codec"),
    (lambda: _open("mem://x", "raw", "extra"), TypeError,
     "_open() takes from 1 to 2 positional arguments but 3 were given", None),
    (lambda: _open("mem://x", bogus=[1]), TypeError,
     "a field value must be None, bool, int, float, str or a mapping, not list", None),
    (lambda: _open("mem://x", codec="nope"), Error, 'unknown codec "nope"', None),
    (lambda: _open("mem://a\0b"), ValueError, "embedded null character in url", "url"),
    (lambda: _open("mem://x", "dbc:a\0b"), ValueError, "embedded null character in codec", "codec"),
    (lambda: _open("mem://x", **{"a\0b": 1}), ValueError, "embedded null character in option name", None),
    (lambda: _open(bus()).recv(float("inf")), ValueError, "invalid timeout: inf", None),
    (lambda: _open(bus()).recv("1"), TypeError, "must be real number, not str", "timeout"),
    (lambda: _open(bus()).every(-1, frame()), ValueError, "invalid period: -1", None),
    (lambda: _open(bus()).every(float("nan"), frame()), ValueError, "invalid period: NaN", None),
    (lambda: _open(bus()).every(0, frame()), Error, "the period must be positive", None),
    (lambda: _open(bus()).every(1e-10, frame()), Error, "the period must be positive", None),
    (lambda: _open(bus()).every(1, frame(), duration=-2), ValueError, "invalid duration: -2", None),
    (lambda: _open(bus()).every("x", 5), TypeError, "must be real number, not str", "period"),
    (lambda: _open(bus()).every(1, "Speed"), Error, "encode error: the raw codec has no named", None),
    (lambda: _open(bus()).send(frame(), {"x": 1}), TypeError, "fields go with a message name, not a", None),
])
def test_argument_errors(call, exc, text, note):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(text)
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


def test_recv_timeouts_and_the_closed_channel():
    url = bus()
    a, b = _open(url), _open(url)
    assert [b.recv(t) for t in (0, -5, float("nan"), -0.0)] == [None] * 4  # one poll each
    start = time.monotonic()
    assert b.recv(True) is None and time.monotonic() - start >= 0.9  # True is one second
    a.send(frame(1))
    assert b.recv(5).data == frame(1).data
    b.close()
    for call in (b.recv, lambda: b.send(frame()), lambda: b.subscribe(print)):
        with pytest.raises(Error) as info:
            call()
        assert info.value.args == ("the channel is closed",)
    assert list(b) == []


@pytest.mark.parametrize("receive, expected", [
    (lambda ch: ch.recv(), "the channel is closed"),
    (lambda ch: ch.recv(60), "the channel is closed"),
    (list, []),  # iteration ends
])
def test_close_from_another_thread_wakes_a_blocked_receiver(receive, expected):
    ch = _open(bus())
    outcome = []

    def receiver():
        try:
            outcome.append(receive(ch))
        except Error as e:
            outcome.append(str(e))

    t = threading.Thread(target=receiver)
    t.start()
    time.sleep(0.2)
    ch.close()
    t.join(10)
    assert outcome == [expected]


@pytest.mark.parametrize("url", ["mem://quiet", "udp://127.0.0.1:{port}?listen", "quiet://x"])
@pytest.mark.parametrize("how", ["ch.recv()", "next(iter(ch))", "ch.recv(60)"])
def test_sigint_interrupts_a_receive(url, how):
    code = f"""
        import os, signal, socket, threading, time
        import sigtap
        sigtap.register_transport("quiet", lambda address, options: type("Quiet", (), {{"recv": time.sleep}})())
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        ch = sigtap.open("{url}".format(port=port))
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            {how}
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 20)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout == "interrupted True\n", result.stderr


def test_references_return_to_their_start_after_many_cycles():
    def callback(item):
        return True

    message = frame(7)
    gc.collect()
    before = (sys.getrefcount(callback), sys.getrefcount(message))
    url = bus()
    for _ in range(200):
        a, b, c = _open(url), _open(url), _open(url)
        sub = b.subscribe(callback)
        a.send(message)
        assert c.recv(5).data == message.data
        sender = a.every(1, message)
        for ch in (a, b, c):
            ch.close()
        del a, b, c, sub, sender
    _open(url).close()  # any entry point drains the releases queued by the threads
    gc.collect()
    assert (sys.getrefcount(callback), sys.getrefcount(message)) == before
