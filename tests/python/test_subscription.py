"""_Subscription and its callback: order, the end item, stopping from inside, unraisable errors, exit."""

import glob
import itertools
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from sigtap._sigtap import Message, _open

_names = itertools.count()


def pair():
    url = f"mem://test-subscription-{next(_names)}"
    return _open(url), _open(url)


def frame(i):
    return Message(data=bytes([i]), id=0x200 + i)


def wait_until(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)


def library_threads():
    names = []
    for path in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(path) as f:
                names.append(f.read().strip())
        except FileNotFoundError:  # the thread ended meanwhile
            pass
    return [n for n in names if n in ("sigtap-periodic", "sigtap-subscrip")]


def test_every_message_in_order_then_none_once():
    tx, rx = pair()
    items = []
    sub = rx.subscribe(lambda item: items.append(item) or True)
    for i in range(50):
        tx.send(frame(i))
    wait_until(lambda: len(items) == 50)
    rx.close()
    wait_until(lambda: not sub.running)
    assert [m.id for m in items[:50]] == [0x200 + i for i in range(50)] and items[50:] == [None]
    sub.stop()


class NoTruth:
    def __bool__(self):
        raise RuntimeError("no")


@pytest.mark.parametrize("result", [None, 0, [], NoTruth(), "raise"])
def test_a_falsy_or_failing_callback_ends_it_after_the_first_item(monkeypatch, result):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    tx, rx = pair()
    calls = []

    def callback(item):
        calls.append(item)
        if result == "raise":
            raise ValueError("boom")
        return result

    sub = rx.subscribe(callback)
    tx.send(frame(1))
    tx.send(frame(2))
    wait_until(lambda: not sub.running)
    assert [m.id for m in calls] == [0x201]
    # Only an exception of the callback itself is reported, once.
    assert [(type(r.exc_value), r.object) for r in reports] == ([(ValueError, callback)] if result == "raise" else [])


@pytest.mark.parametrize("how", ["stop", "drop"])
def test_stopping_from_inside_the_callback_returns_at_once(how):
    tx, rx = pair()
    holder, calls, returned = {}, [], threading.Event()

    def callback(item):
        calls.append(item)
        holder["sub"].stop() if how == "stop" else holder.clear()  # clear: freed on this very thread
        returned.set()
        return True

    holder["sub"] = rx.subscribe(callback)
    kept = holder["sub"] if how == "stop" else None
    tx.send(frame(1))
    assert returned.wait(10)
    tx.send(frame(2))
    time.sleep(0.2)
    assert len(calls) == 1 and (kept is None or not kept.running)


def test_unstored_handles_stop_at_once_and_leave_no_thread():
    baseline = len(library_threads())  # normally 0; a failed earlier test may keep a handle
    tx, rx = pair()
    calls = []
    rx.subscribe(lambda item: calls.append(item) or True)
    tx.every(0.001, frame(1))
    assert len(library_threads()) <= baseline
    time.sleep(0.05)
    assert calls == []
    subs, senders = [rx.subscribe(bool) for _ in range(5)], [tx.every(0.01, frame(3)) for _ in range(5)]
    assert len(library_threads()) == baseline + 10
    del subs, senders
    assert len(library_threads()) <= baseline


EXIT_SCENARIOS = {
    "core-and-python-plugins": """
        class Loop:
            queue = []
            def send(self, message): self.queue.append(message)
            def recv(self, timeout): return time.sleep(timeout or 0) or (self.queue.pop(0) if self.queue else None)
        class Codec:
            def encode(self, message): return sigtap.Message(data=b"e", id=2)
            def decode(self, packet): return [packet, sigtap.Message("decoded", {"x": 1})]
        sigtap.register_transport("loop", lambda address, options: Loop())
        sigtap.register_codec("pc", lambda argument, options: Codec())
        ch, tx, rx = sigtap.open("loop://x", "pc"), sigtap.open("mem://exit"), sigtap.open("mem://exit")
        keep = [ch.subscribe(lambda m: time.sleep(0.001) or True) for _ in range(8)]
        keep += [ch.every(0.001, "tick") for _ in range(8)]
        keep += [rx.subscribe(lambda m: True) for _ in range(40)]
        keep += [tx.every(0.001, sigtap.Message(data=b"x", id=1)) for _ in range(40)]
        sigtap.register_transport("quiet", lambda address, options: type("Quiet", (), {"recv": time.sleep})())
        for _ in range(4):  # inside a Python transport's recv when the interpreter finalizes
            threading.Thread(target=lambda: list(sigtap.open("quiet://x")), daemon=True).start()
    """,
    "stopped-from-inside-and-daemon-threads": """
        tx, rx = sigtap.open("mem://exit2"), sigtap.open("mem://exit2")
        holder = {}
        def stop_self(m):
            holder.clear()
            time.sleep(0.3)  # still inside the callback while the interpreter finalizes
            return True
        holder["sub"] = rx.subscribe(stop_self)
        keep = tx.every(0.001, sigtap.Message(data=b"x", id=1))
        threading.Thread(target=lambda: list(sigtap.open("mem://exit2")), daemon=True).start()
        threading.Thread(target=lambda: sigtap.open("mem://exit2").recv(), daemon=True).start()
    """,
}


@pytest.mark.parametrize("scenario", sorted(EXIT_SCENARIOS))
def test_exiting_with_live_senders_and_subscriptions_is_clean(scenario):
    code = textwrap.dedent("""
        import sys, threading, time, types
        import sigtap
        class SlowToFree:  # keeps the interpreter finalizing while the threads go on
            def __del__(self, sleep=time.sleep):
                sleep(0.5)
        sys.modules["slow_to_free"] = types.ModuleType("slow_to_free")
        sys.modules["slow_to_free"].slow = SlowToFree()
    """) + textwrap.dedent(EXIT_SCENARIOS[scenario]) + "\ntime.sleep(0.1)\nprint('done')\n"
    for _ in range(3):  # the races at exit are timing-dependent: try a few times
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr
