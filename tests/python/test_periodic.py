"""sigtap.Periodic: period setter, repr, duration, update, closing and freeing."""

import itertools
import time

import pytest

from sigtap._sigtap import Error, Message, _open

_names = itertools.count()


def pair():
    url = f"mem://test-periodic-{next(_names)}"
    return _open(url), _open(url)


def frame(i):
    return Message(data=bytes([i]), id=0x300 + i)


def wait_until(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)


def test_repr_and_stop():
    tx, _ = pair()
    sender = tx.every(0.5, frame(1))
    wait_until(lambda: sender.sent_count == 1)
    assert repr(sender) == "Periodic(period=0.5, sent_count=1, running=True)"
    sender.stop()
    with sender:
        sender.stop()
    assert repr(sender) == "Periodic(period=0.5, sent_count=1, running=False)" and sender.last_error is None
    assert repr(tx.every(1, frame(1))).startswith("Periodic(period=1, ")


@pytest.mark.parametrize("value, exc, text", [
    (-1, ValueError, "invalid period: -1"),
    (float("nan"), ValueError, "invalid period: NaN"),
    (0, Error, "the period must be positive"),
    ("1", TypeError, "must be real number, not str"),
])
def test_bad_periods_leave_the_period_unchanged(value, exc, text):
    sender = pair()[0].every(0.5, frame(1))
    with pytest.raises(exc) as info:
        sender.period = value
    assert str(info.value) == text
    assert getattr(info.value, "__notes__", None) == (["while processing 'period'"] if exc is TypeError else None)
    assert sender.period == 0.5
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del sender.period
    sender.period = 0.25
    assert sender.period == 0.25 and "period=0.25," in repr(sender)


def test_duration_ends_the_sender():
    tx, rx = pair()
    sender = tx.every(0.01, frame(2), duration=0.1)
    wait_until(lambda: not sender.running)
    count = sender.sent_count
    time.sleep(0.05)
    assert sender.sent_count == count and sum(1 for _ in iter(lambda: rx.recv(0), None)) == count


def test_update_with_an_unencodable_name_records_the_error_and_keeps_running():
    tx, rx = pair()
    sender = tx.every(0.005, frame(3))
    sender.update(frame(4))
    wait_until(lambda: rx.recv(5).id == 0x304)
    sender.update("Speed", {"v": 1})
    wait_until(lambda: sender.last_error is not None)
    assert sender.last_error.startswith("encode error: the raw codec has no named messages")
    count = sender.sent_count
    time.sleep(0.05)
    assert sender.sent_count == count and sender.running


def test_freeing_the_channel_leaves_the_sender_sending_and_closing_it_ends_it():
    tx, rx = pair()
    sender = tx.every(0.005, frame(5))
    del tx
    start = sender.sent_count
    wait_until(lambda: sender.sent_count > start + 3)
    assert sender.running
    other = rx.every(0.01, frame(6))
    rx.close()
    after_close = rx.every(0.01, frame(6))  # starts, and ends without a send
    wait_until(lambda: not other.running and not after_close.running)
    assert after_close.sent_count == 0
