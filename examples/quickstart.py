"""Quick start: two channels on an in-process CAN bus, a periodic sender and a subscription."""

import threading

import sigtap


def main():
    with sigtap.open("mem://car") as ecu, sigtap.open("mem://car") as tester:
        # One frame, received with a timeout.
        ecu.send(sigtap.Message(data=b"\x01\x02\x03", id=0x123))
        frame = tester.recv(timeout=1.0)
        print("tester received", frame)

        # A subscription calls back on its own thread for every frame, and
        # once with None when its channel closes. Keep the handle: freeing it
        # stops the subscription.
        seen = []
        ended = threading.Event()

        def on_item(item):
            if item is None:
                ended.set()
                return False
            seen.append(item)
            return True

        listener = sigtap.open("mem://car")
        subscription = listener.subscribe(on_item)

        # A heartbeat every 20 ms for 100 ms, sent from a background thread.
        heartbeat = ecu.every(0.02, sigtap.Message(data=b"\xaa", id=0x100), duration=0.1)
        while (message := tester.recv(timeout=0.5)) is not None:
            print("tester received", message, "at", f"{message.timestamp:.3f}")
        print(heartbeat)

        listener.close()
        ended.wait(timeout=1.0)
        subscription.stop()
        print("the subscription got", len(seen), "frames:", ", ".join(hex(m.id) for m in seen))


if __name__ == "__main__":
    main()
