"""_Channel: repr, timeouts that poll once, closing under a blocked receiver, Ctrl-C, references after many cycles,
replay through reused read buffers."""

import gc
import os
import sys
import threading
import time
import tracemalloc

import pytest

from sigtap._sigtap import Error, Message, _open


def test_repr_closed_and_context_manager(bus):
    with pytest.raises(KeyError):
        with _open(bus) as ch:
            assert repr(ch) == f'Channel("{bus}", "raw")' and not ch.closed
            raise KeyError("propagates")
    ch.close()  # a second close does nothing
    assert repr(ch) == f'Channel("{bus}", "raw", closed)' and ch.closed
    assert repr(_open('mem://a"b', codec="RAW")) == 'Channel("mem://a\\"b", "RAW")'


def test_a_zero_negative_or_nan_timeout_polls_once(bus):
    tx, rx = _open(bus), _open(bus)
    for timeout in (0, -5, float("nan"), -0.0):
        tx.send(Message(data=b"\x01", id=1))
        assert rx.recv(timeout).data == b"\x01" and rx.recv(timeout) is None


@pytest.mark.parametrize("receive", [lambda ch: ch.recv(), lambda ch: ch.recv(60), list],
                         ids=["recv", "recv-timeout", "iteration"])
def test_closing_from_another_thread_wakes_a_blocked_receiver(bus, receive):
    ch, outcome = _open(bus), []

    def receiver():
        try:
            outcome.append(receive(ch))
        except Error as e:
            outcome.append(e.args)

    t = threading.Thread(target=receiver, daemon=True)
    t.start()
    time.sleep(0.2)
    ch.close()
    t.join(10)
    assert outcome == [[] if receive is list else ("the channel is closed",)]


RECEIVES = [f"ch = sigtap.open({url!r}); {how}" for url in ("mem://quiet", "udp://127.0.0.1:0?listen", "quiet://x")
            for how in ("ch.recv()", "ch.recv(60)", "next(iter(ch))")]


# After Ctrl-C: no descriptor is left behind, and a TCP connection keeps the rest of a cut packet for its next send.
@pytest.mark.parametrize("blocking,after,printed", [
    *[(r, "", "") for r in RECEIVES],
    ('ch = sigtap.open("file://" + FIFO); ch.recv()', "", ""),  # opening for reading does not wait for a writer
    ('sigtap.open("file://" + FIFO + "?write")', "print(len(os.listdir('/proc/self/fd')) - FDS)", "0\n"),  # nor a reader
    ('ch = sigtap.open(f"tcp://127.0.0.1:{PORT}"); [ch.send(sigtap.Message(data=bytes(1 << 20))) for _ in range(999)]',
     "conn = server.accept()[0]; threading.Thread(target=lambda: (ch.send(sigtap.Message(data=b'end')), ch.close())).start(); "
     "data = b''.join(iter(lambda: conn.recv(1 << 16), b'')); print(len(data) % (1 << 20), data[-3:])",
     "3 b'end'\n"),  # a server not reading, until it reads: whole packets
    *[('ch = sigtap.open("mem://busy", "busy"); threading.Thread(target=ch.send, args=("x",), daemon=True).start(); '
       f'BUSY.wait(); {call}', "RELEASE.set()", "")  # waits for the codec, which another thread's encode holds
      for call in ('ch.send("y")', 'ch.every(1, "y")')],
    ('full = socket.create_server(("127.0.0.1", 0), backlog=0); fill = [socket.socket() for _ in range(4)]; '
     '[(s.setblocking(False), s.connect_ex(full.getsockname())) for s in fill]; '
     'sigtap.open(f"tcp://127.0.0.1:{full.getsockname()[1]}")',
     "print(len(os.listdir('/proc/self/fd')) - FDS - 5)", "0\n"),  # a server that never answers the connect
])
def test_sigint_interrupts_a_blocked_call(run_python, blocking, after, printed):
    result = run_python(f"""
        import os, signal, socket, tempfile, threading, time
        import sigtap
        sigtap.register_transport("quiet", lambda address, options: type("Quiet", (), {{"recv": time.sleep}})())
        BUSY, RELEASE = threading.Event(), threading.Event()
        busy = type("Busy", (), {{"encode": lambda self, m: BUSY.set() or RELEASE.wait() and []}})
        sigtap.register_codec("busy", lambda argument, options: busy())
        FIFO = os.path.join(tempfile.mkdtemp(), "fifo")
        os.mkfifo(FIFO)
        server = socket.create_server(("127.0.0.1", 0))
        PORT, FDS = server.getsockname()[1], len(os.listdir("/proc/self/fd"))
        def raises(call):
            try:
                call()
            except sigtap.Error as e:
                return str(e)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            {blocking}
        except KeyboardInterrupt:
            print("interrupted")
        {after}
    """, timeout=30)  # normally a fraction of a second: the wait is sliced
    assert result.stdout == "interrupted\n" + printed, result.stderr


def test_references_return_to_their_start_after_many_cycles(bus):
    callback = lambda item: True  # noqa: E731 -- only its references are counted
    message = Message(data=b"\x07" * 8, id=0x107)
    gc.collect()
    before = (sys.getrefcount(callback), sys.getrefcount(message))
    for _ in range(200):  # each round frees the handles of the round before
        a, b, c = _open(bus), _open(bus), _open(bus)
        handles = (b.subscribe(callback), a.every(1, message))
        a.send(message)
        assert c.recv(5).data == message.data
        for ch in (a, b, c):
            ch.close()
    del a, b, c, handles
    _open(bus).close()  # any entry point drains the releases queued by the threads
    gc.collect()
    assert (sys.getrefcount(callback), sys.getrefcount(message)) == before


@pytest.mark.parametrize("keep", [False, True])
def test_replay_gives_the_file_back_whole_through_reused_buffers(tmp_path, keep):
    # Reads land in bytes objects that become `.data`, or in buffers of freed
    # messages: stale bytes must never show (the short last chunk included),
    # a `.data` must outlive its message unchanged, and nothing may leak.
    content = os.urandom(3 * 65536 + 1000)
    path = tmp_path / "replay.bin"
    path.write_bytes(content)
    kept, chunks = [], []
    tracemalloc.start()
    try:
        for round_ in range(8):
            if round_ == 2:
                baseline = tracemalloc.get_traced_memory()[0]
            with _open(f"file://{path}") as ch:
                for m in ch:
                    chunks.append(m.data)
                    if keep:
                        kept.append(m)
            assert b"".join(chunks) == content and len(chunks) == 4, round_
            chunks.clear()
            kept.clear()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - baseline
    finally:
        tracemalloc.stop()
    assert grown < 3 * 65536, grown  # six rounds read 24 chunks
