"""What the binding raises for bad arguments and core errors: the class, the exact text, the note, no made-up errno."""

import fnmatch

import pytest

from sigtap._sigtap import Error, Message, _open

FRAME = Message(data=b"\x01", id=0x100)
CLOSED = _open("mem://test-errors-closed")
CLOSED.close()
SENDER = CLOSED.every(10, FRAME)  # on a closed channel: ends at once without a send, and its period can be set


@pytest.mark.parametrize("call, exc, text, note", [
    (lambda: _open("mem://x", None), TypeError, "'None' is not an instance of 'str'", "codec"),
    # A NUL would cut the text short where it reaches the system.
    (lambda: _open("mem://a\0b"), ValueError, "embedded null character in url", "url"),
    (lambda: _open("mem://x", "dbc:a\0b"), ValueError, "embedded null character in codec", "codec"),
    (lambda: _open("mem://x", **{"a\0b": 1}), ValueError, "embedded null character in option name", None),
    (lambda: _open("mem://x").recv(float("inf")), ValueError, "invalid timeout: inf", None),
    (lambda: _open("mem://x").recv("1"), TypeError, "must be real number, not str", "timeout"),
    *[(lambda set_period=set_period, v=v: set_period(v), exc, text, note)
      for set_period in (lambda v: _open("mem://x").every(v, FRAME), lambda v: setattr(SENDER, "period", v))
      for v, exc, text, note in ((-1, ValueError, "invalid period: -1", None),
                                 (float("nan"), ValueError, "invalid period: NaN", None),
                                 (0, Error, "the period must be positive", None),
                                 (1e-10, Error, "the period must be positive", None),  # rounds to 0 ns
                                 ("1", TypeError, "must be real number, not str", "period"))],
    (lambda: _open("mem://x").every(1, FRAME, duration=-2), ValueError, "invalid duration: -2", None),
    (lambda: _open("mem://x").send(FRAME, {"x": 1}), TypeError, "fields go with a message name, not a Message", None),
    (lambda: _open("mem://x").every(1, "Speed"), Error,
     'encode error: the raw codec has no named messages ("Speed"); send data instead', None),
    (lambda: _open("mem://x", codec="nope"), Error, 'unknown codec "nope" (known: *dbc*raw*sbf*)', None),
    (lambda: _open("file:///no/such/dir/x"), FileNotFoundError,
     "/no/such/dir/x: No such file or directory (os error 2)", None),
    (lambda: CLOSED.subscribe(print), Error, "the channel is closed", None),
])
def test_class_text_and_note(call, exc, text, note):
    with pytest.raises(exc) as info:
        call()
    # Exact texts; `*` only where the text lists what the registries hold, which other tests extend.
    assert type(info.value) is exc and len(info.value.args) == 1 and fnmatch.fnmatchcase(info.value.args[0], text)
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    # The core's text is the whole message: an OSError gets no errno guessed from it.
    assert getattr(info.value, "errno", None) is None


# A failed allocation below the binding (a copy of a large packet or text) must reach the caller as MemoryError, and a
# worker as its error, instead of aborting the process.
def test_running_out_of_memory_raises_memory_error_and_the_interpreter_goes_on(run_python):
    result = run_python("""
        import resource, time, types
        resource.setrlimit(resource.RLIMIT_AS, (1200 << 20, 1200 << 20))
        import sigtap
        def outcome(call):
            try:
                return call()
            except MemoryError as e:
                return f"MemoryError({e})"
        tx, receivers = sigtap.open("mem://m"), [sigtap.open("mem://m") for _ in range(2)]
        print(outcome(lambda: sigtap.Message(data=bytes(700 << 20))),
              outcome(lambda: sigtap.Message("n", {"t": "x" * (700 << 20)})),
              outcome(lambda: tx.send(sigtap.Message(data=bytes(400 << 20)))))  # copied for each receiver
        receivers = [sigtap.open("mem://m") for _ in range(2)]  # fresh queues
        sender = tx.every(0.01, sigtap.Message(data=bytes(400 << 20)))
        while sender.last_error is None:
            time.sleep(0.01)
        print(sender.last_error, sender.running)
        sender.stop()
        del sender, receivers
        big, items = sigtap.Message(data=bytes(500 << 20)), []
        sigtap.register_codec("twice", lambda argument, options: types.SimpleNamespace(decode=lambda p: [big, big]))
        rx = sigtap.open("mem://m", "twice")
        tx.send(sigtap.Message(data=b"x"))
        print(outcome(lambda: rx.recv(10)), end=" ")
        sub = rx.subscribe(items.append)
        tx.send(sigtap.Message(data=b"x"))
        while not items:
            time.sleep(0.01)
        print(repr(items[0]))
    """)
    assert result.stdout == ("MemoryError() MemoryError() MemoryError()\nout of memory True\n"
                             "MemoryError(out of memory) MemoryError('out of memory')\n"), result.stderr


# A conversion that fails by MemoryError deep inside nested maps must leave no trace: the thread still takes maps as
# deep as before, whichever entry point converted (a Message, a send, a periodic sender's fields, keyword options).
def test_memory_errors_inside_nested_maps_leave_the_nesting_bound_as_it_was(run_python):
    result = run_python("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1200 << 20, 1200 << 20))
        import sigtap
        big = "x" * (700 << 20)  # a second copy does not fit
        ch = sigtap.open("mem://nested-memory-errors")
        failing = (lambda: sigtap.Message("n", {"a": {"b": {"t": big}}}),
                   lambda: ch.send("n", {"a": {"t": big}}),
                   lambda: sigtap.open("mem://nested-memory-errors", x={"t": big}))
        errors = 0
        for _ in range(100):
            for call in failing:
                try:
                    call()
                except MemoryError:
                    errors += 1
        deep = {"leaf": 1}
        for _ in range(199):  # the deepest value taken: 200 maps
            deep = {"m": deep}
        print(errors, sigtap.Message("a", {"m": {"x": 1}}).fields, len(repr(sigtap.Message("d", {"v": deep}))) > 0)
    """)
    assert result.stdout == "300 {'m': {'x': 1}} True\n", result.stderr
