"""sigtap.Periodic: repr, the period setter, duration, update, and outliving its channel handle."""

import pytest

from sigtap._sigtap import Message, _open


def frame(i):
    return Message(data=bytes([i]), id=0x300 + i)


def test_repr_period_duration_and_stop(bus, wait_until):
    sender = _open(bus).every(10, frame(1))
    wait_until(lambda: sender.sent_count == 1)  # the first send is at once
    assert repr(sender) == "Periodic(period=10, sent_count=1, running=True)"
    with pytest.raises(ValueError):
        sender.period = float("nan")
    assert sender.period == 10  # unchanged by a refused value
    sender.period = 20.5
    with sender:
        sender.stop()  # and again on leaving the block: a second stop does nothing
    assert repr(sender) == "Periodic(period=20.5, sent_count=1, running=False)" and sender.last_error is None
    timed = _open(bus).every(0.01, frame(2), duration=0.1)  # the C++ suite checks the schedule itself
    wait_until(lambda: not timed.running)
    assert 1 <= timed.sent_count <= 11


# Failed sends and the end on close are the core's (the C++ Periodic.EndsOrFailsWithoutSending).
def test_a_sender_outlives_encode_errors_and_its_channel_handle(bus, wait_until):
    tx, rx = _open(bus), _open(bus)
    sender = tx.every(0.005, frame(3))
    sender.update("Speed", {"v": 1})  # the raw codec has no named messages
    wait_until(lambda: sender.last_error is not None)
    assert sender.last_error.startswith("encode error: the raw codec has no named messages")
    sender.update(frame(4))
    del tx
    wait_until(lambda: rx.recv(5).id == 0x304)
    assert sender.running


# The sender copies its message under its lock: a fork often catches it holding the lock, which stays held in the
# child for good. Reading the inherited sender there must not wait for it.
def test_a_forked_child_reads_an_inherited_sender_without_waiting(run_python):
    result = run_python("""
        import os, signal
        import sigtap
        sender = sigtap.open("mem://forked").every(0.001, sigtap.Message(data=bytes(32 << 20)))
        for _ in range(5):
            pid = os.fork()
            if pid == 0:
                signal.alarm(5)  # ends a child that hangs
                (sender.sent_count, sender.last_error, sender.period, repr(sender), sender.running)
                os._exit(0)
            print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), end=" ")
    """)
    assert result.stdout == "0 " * 5, result.stderr


# A sender blocked by a TCP server that stopped reading ends on stop() and at
# exit. Its connection stays: the rest of the cut packet goes first on the
# next send, so the server gets whole packets.
def test_stop_and_exit_end_a_send_blocked_by_a_server_not_reading(run_python):
    result = run_python("""
        import socket, threading, time
        import sigtap
        server = socket.create_server(("127.0.0.1", 0))
        senders = []
        for _ in range(2):
            ch = sigtap.open(f"tcp://127.0.0.1:{server.getsockname()[1]}")
            senders.append((ch, server.accept(), ch.every(0.001, sigtap.Message(data=bytes(1 << 20)))))
        time.sleep(0.5)  # both sends now wait for the server
        ch, (conn, _), sender = senders[0]
        sender.stop()
        threading.Thread(target=lambda: (ch.send(sigtap.Message(data=b"x")), ch.close())).start()
        data = b"".join(iter(lambda: conn.recv(1 << 16), b""))
        print(len(data) % (1 << 20), data[-1:])
    """, timeout=30)  # the second sender is stopped by the exit hook
    assert (result.returncode, result.stdout) == (0, "1 b'x'\n"), result.stderr
