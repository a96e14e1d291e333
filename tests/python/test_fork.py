"""Forked children of a busy process: every lock of the library works again in the child, whatever the parent's
threads held at the fork. Each child runs in its own process, and a hung one fails the test instead of the run."""

import textwrap

# The parent keeps a bus busy (a sender every 1 ms, subscriptions waiting inside their receive) and forks many
# times, so that some forks catch a worker inside a bus, queue or receive lock. Each child stops the workers it
# inherited, then sends on a new and on an inherited channel and receives through recv(timeout), iteration and a
# new subscription.
CHILD_USES_THE_BUS = """
    import os, sys, time, traceback
    import sigtap
    BUS = "mem://fork-busy"

    def until(ch, wanted):  # skips what the parent's sender left queued
        for _ in range(100000):
            m = ch.recv(10)
            assert m is not None, f"nothing received, waiting for {wanted}"
            if m.id == wanted:
                return
        raise AssertionError(f"{wanted} never came")

    def child(tx, rx, keep):
        for h in keep:
            h.stop()  # only forgets their threads
        fresh = sigtap.open(BUS)
        fresh.send(sigtap.Message(data=b"n", id=2))
        until(rx, 2)
        tx.send(sigtap.Message(data=b"i", id=3))
        until(fresh, 3)
        fresh.send(sigtap.Message(data=b"n", id=4))
        assert next(m.id for m in rx if m.id == 4) == 4
        seen = []
        sub = rx.subscribe(lambda m: seen.append(m.id) or True)
        tx.send(sigtap.Message(data=b"i", id=5))
        deadline = time.monotonic() + 10
        while 5 not in seen:
            assert time.monotonic() < deadline, "the new subscription delivered nothing"
            time.sleep(0.001)
        sub.stop()

    tx, rx = sigtap.open(BUS), sigtap.open(BUS)
    keep = [tx.every(0.001, sigtap.Message(data=b"p", id=1)), tx.every(0.001, sigtap.Message(data=b"q", id=1))]
    keep += [ch.subscribe(lambda m: True) for ch in (rx, sigtap.open(BUS), sigtap.open(BUS))]
    time.sleep(0.05)
    for _ in range(FORKS):
        pid = os.fork()
        if pid == 0:
            try:
                child(tx, rx, keep)
            except BaseException:
                traceback.print_exc()
                os._exit(1)
            os._exit(0)
        deadline = time.monotonic() + 20
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.005)
        if done[0] == 0:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            print("hung", end=" ", flush=True)
            break
        print(os.waitstatus_to_exitcode(done[1]), end=" ", flush=True)
        time.sleep(0.003)  # the sender and the subscriptions move on before the next fork
"""


def test_forked_children_send_and_receive_on_a_bus_their_parent_kept_busy(run_python):
    forks = 20
    result = run_python(f"FORKS = {forks}\n" + textwrap.dedent(CHILD_USES_THE_BUS), timeout=600)
    assert result.stdout == "0 " * forks, result.stderr
