"""The cycle collector and the library's threads: cycles through subscriptions, senders and plug-ins are collected,
stop their threads first, and never clear what a thread still uses."""

import gc
import itertools
import threading
import textwrap
import time
import weakref

import pytest

import sigtap
from sigtap._sigtap import Message, _open, register_codec

_names = itertools.count()


# Reports of the unraisable hook and the end of the run, printed by a child whose cycles the collector meets on every
# thread while frames arrive every millisecond.
SOAK = textwrap.dedent("""
    import functools, gc, sys, threading, time
    import sigtap
    reports = []
    sys.unraisablehook = lambda r: reports.append(f"{type(r.exc_value).__name__}: {r.exc_value}")

    class Node:  # node -> subscription -> callable -> node; never closed
        def __init__(self):
            self.ch = sigtap.open("mem://soak")
            self.seen = []
            self.sub = self.ch.subscribe(CALLABLE(self))

        def on(self, item):
            self.seen.append(item)  # fails on a node whose state the collector cleared
            if len(self.seen) % 4 == 0 and WHERE == "callbacks":
                gc.collect()
            return True

    if WHERE == "anywhere":  # automatic collections, also inside the library's own allocations on its threads
        gc.set_threshold(10, 1, 1)
    stopped = threading.Event()
    def feed():
        tx = sigtap.open("mem://soak")
        while not stopped.wait(0.001):
            tx.send(sigtap.Message(data=b"x", id=1))
    feeder = threading.Thread(target=feed)
    feeder.start()
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        Node()
        time.sleep(0.01)
        if WHERE == "main":
            gc.collect()
    stopped.set()
    feeder.join()
    print("done", reports[:3])
""")

CALLABLES = {
    "bound method": "lambda node: node.on",
    "closure": "lambda node: (lambda item, node=node: node.on(item))",
    "partial": "lambda node: functools.partial(Node.on, node)",  # on no frame while it runs
}


# Cycles collected on the main thread while their threads deliver, inside callbacks, or wherever an allocation starts
# a collection (on a subscription's own thread too, between two callbacks): every subscription stops before anything
# of its cycle is cleared, so no callback meets a cleared object, and the process lives.
@pytest.mark.parametrize("callable_", CALLABLES.values(), ids=CALLABLES.keys())
@pytest.mark.parametrize("where", ["main", "callbacks", "anywhere"])
def test_cycles_collected_while_frames_arrive(run_python, callable_, where):
    result = run_python(f"SECONDS = 4\nWHERE = {where!r}\nCALLABLE = {callable_}\n" + SOAK, timeout=120)
    assert (result.returncode, result.stdout) == (0, "done []\n"), result.stderr[-3000:]


class Owner:
    """owner -> owner.beat (a periodic sender), owner -> owner.ch -> its Python codec -> owner."""

    def __init__(self, codec):
        self.ch = sigtap.open(f"mem://owners-{next(_names)}", codec)
        self.beat = self.ch.every(0.002, "beat")


def test_an_unreachable_periodic_sender_whose_codec_leads_to_its_owner_is_collected_and_stops(wait_until, library_threads):
    made = []

    class Codec:
        def encode(self, message):
            return [Message(data=b"b", id=7)]

        def decode(self, packet):
            return [packet]

    name = f"owner{next(_names)}"
    register_codec(name, lambda argument, options: made.append(Codec()) or made[-1])
    baseline = len(library_threads())
    refs = []
    for _ in range(20):
        owner = Owner(name)
        made[-1].owner = owner
        refs += [weakref.ref(owner), weakref.ref(owner.ch), weakref.ref(made.pop())]
    wait_until(lambda: len(library_threads()) == baseline + 20)
    del owner
    gc.collect()
    wait_until(lambda: len(library_threads()) <= baseline)
    assert [r for r in refs if r() is not None] == []


# Subscriptions that end themselves (a false answer) on their threads, and are then stopped and freed on the main
# thread, while another thread collects in a loop: the plug-ins of channels that the script holds are never taken for
# garbage (their weak references stay, and they go on working).
def test_plugins_of_held_channels_survive_collections_racing_with_ending_subscriptions(wait_until):
    class Codec:
        def encode(self, message):
            return [Message(data=b"e", id=3)]

        def decode(self, packet):
            return [packet]

    made = []

    def factory(argument, options):
        codec = Codec()
        made.append(weakref.ref(codec))
        return codec

    name = f"race{next(_names)}"
    register_codec(name, factory)
    done = threading.Event()

    def collect():
        while not done.is_set():
            gc.collect()

    collector = threading.Thread(target=collect)
    collector.start()
    try:
        for round_ in range(40):
            made.clear()
            tx, rx = _open(f"mem://race-{round_}", name), _open(f"mem://race-{round_}", name)
            subs = [rx.subscribe(lambda item: False) for _ in range(20)]
            for _ in subs:  # each goes to one of them
                tx.send("m")
            wait_until(lambda: not any(sub.running for sub in subs))
            del subs
            tx.send("m")
            assert rx.recv(5).data == b"e" and all(r() is not None for r in made), round_
            tx.close(), rx.close()
    finally:
        done.set()
        collector.join()
