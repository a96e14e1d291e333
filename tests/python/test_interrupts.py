"""Signals and stops around the library's waits: handlers run only once a wait has returned, Ctrl-C ends a stop(),
a stop is no error, and an exit is quiet whatever the transport. Every case runs in a child interpreter: a hang
fails it through the timeout instead of hanging the run."""

import pytest

# A SIGALRM handler that sends on the listener the main thread is blocked sending on (a client that never reads)
# runs once that send has returned (the client dropped at its stall limit), not inside it, where the transport is
# still held.
def test_a_signal_handler_sending_on_the_channel_a_blocked_send_holds(run_python):
    result = run_python("""
        import signal, socket
        import sigtap
        probe = socket.create_server(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        ch = sigtap.open(f"tcp://127.0.0.1:{port}?listen")
        client = socket.create_connection(("127.0.0.1", port))  # never reads
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sent_by_handler = []
        def heartbeat(signum, frame):
            ch.send(sigtap.Message(data=b"beat"))
            sent_by_handler.append(True)
        signal.signal(signal.SIGALRM, heartbeat)
        signal.setitimer(signal.ITIMER_REAL, 1.0)  # the send below is blocked by then
        while not sent_by_handler:
            ch.send(sigtap.Message(data=bytes(1 << 20)))
        print("handler sent")
    """, timeout=60)
    assert (result.returncode, result.stdout) == (0, "handler sent\n"), result.stderr


# Ctrl-C ends stop() while the worker is inside a Python call (a callback, a Python transport's send): the stop raises
# KeyboardInterrupt, the worker stays asked to stop, and a later stop() waits for it.
@pytest.mark.parametrize("worker", ["subscription", "periodic"])
def test_ctrl_c_ends_a_stop_waiting_for_a_worker_inside_python(run_python, worker):
    result = run_python(f"""
        import os, signal, threading, types
        import sigtap
        def library_threads():  # they are no Python threads
            tasks = os.listdir("/proc/self/task")
            return sum(open(f"/proc/self/task/{{t}}/comm").read().startswith("sigtap-") for t in tasks)
        entered, release = threading.Event(), threading.Event()
        def stuck(item):
            entered.set()
            release.wait()
            return True
        sigtap.register_transport("stuck", lambda a, o: types.SimpleNamespace(send=stuck, recv=lambda t: None))
        if "{worker}" == "subscription":
            tx, rx = sigtap.open("mem://k"), sigtap.open("mem://k")
            handle = rx.subscribe(stuck)
            tx.send(sigtap.Message(data=b"x"))
        else:
            handle = sigtap.open("stuck://x").every(0.01, sigtap.Message(data=b"x"))
        entered.wait()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            handle.stop()
        except KeyboardInterrupt:
            print("interrupted", library_threads())
        release.set()
        handle.stop()
        print(handle.running, library_threads())
    """, timeout=30)
    assert (result.returncode, result.stdout) == (0, "interrupted 1\nFalse 0\n"), result.stderr


# Stopping a subscription or a sender that waits for a codec another thread's encode holds reports no error: the
# callback is handed nothing (the channel stays open: no final None either), and last_error stays None.
@pytest.mark.parametrize("worker", ["subscription", "periodic"])
def test_a_stop_while_waiting_for_a_busy_codec_is_no_error(run_python, worker):
    result = run_python(f"""
        import threading, time
        import sigtap
        BUSY, RELEASE = threading.Event(), threading.Event()
        class Busy:  # an encode of "block" holds the codec until RELEASE is set
            def encode(self, message):
                if message.name == "block":
                    BUSY.set()
                    RELEASE.wait()
                return [sigtap.Message(data=message.name.encode())]
            def decode(self, packet):
                return [sigtap.Message("decoded", {{}}, data=packet.data)]
        sigtap.register_codec("busy", lambda argument, options: Busy())
        ch, tx, items = sigtap.open("mem://busy", "busy"), sigtap.open("mem://busy"), []
        if "{worker}" == "subscription":
            handle = ch.subscribe(lambda item: items.append(item) or True)
        else:
            handle = ch.every(0.001, "tick")
            while handle.sent_count == 0:
                time.sleep(0.001)
        threading.Thread(target=ch.send, args=("block",)).start()
        BUSY.wait()
        tx.send(sigtap.Message(data=b"x"))  # decoded only once the codec is free
        time.sleep(0.3)  # the worker now waits for the codec
        handle.stop()
        RELEASE.set()
        print(items, getattr(handle, "last_error", None))
    """, timeout=30)
    assert (result.returncode, result.stdout) == (0, "[] None\n"), result.stderr


# Daemon threads waiting in recv() when the interpreter exits are left as they are, whatever the transport: no
# traceback, no "channel is closed".
@pytest.mark.parametrize("url", ["idle://x", "mem://x"])
def test_exit_with_daemon_threads_in_recv_is_quiet(run_python, url):
    result = run_python(f"""
        import threading, time, types
        import sigtap
        sigtap.register_transport("idle", lambda a, o: types.SimpleNamespace(recv=lambda t: time.sleep(t or 0.05)))
        for _ in range(3):
            threading.Thread(target=sigtap.open("{url}").recv, daemon=True).start()
        time.sleep(0.3)
        print("done")
    """, timeout=30)
    assert (result.returncode, result.stdout, result.stderr) == (0, "done\n", "")


# Freeing, collecting or stopping idle subscriptions wakes each at once (bench/stop_bench.py measures it); here only
# that a hundred of them end, each way.
@pytest.mark.parametrize("how", ["del", "gc", "stop"])
def test_many_idle_subscriptions_end(run_python, how):
    result = run_python(f"""
        import gc, os
        import sigtap
        def library_threads():  # they are no Python threads
            tasks = os.listdir("/proc/self/task")
            return sum(open(f"/proc/self/task/{{t}}/comm").read().startswith("sigtap-") for t in tasks)
        class Node:
            def __call__(self, item):
                return True
        channels = [sigtap.open(f"mem://idle-{{i}}") for i in range(100)]
        assert library_threads() == 0
        nodes = [Node() for _ in channels]
        for node, ch in zip(nodes, channels):
            node.sub = ch.subscribe(node if "{how}" == "gc" else (lambda item: True))
        assert library_threads() == 100
        if "{how}" == "stop":
            for node in nodes:
                node.sub.stop()
        elif "{how}" == "del":
            for node in nodes:
                del node.sub
        else:
            del nodes, node
            gc.collect()
        print(library_threads())
    """, timeout=60)
    assert (result.returncode, result.stdout) == (0, "0\n"), result.stderr
