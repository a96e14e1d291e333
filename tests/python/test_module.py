"""The module's surface: its nine attributes in order, classes, docstrings and text signatures; the package."""

import pytest

import sigtap
import sigtap._sigtap as m

IMPORT_SYSTEM = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

OPEN_DOC = ("Open a channel over the transport `url` with the codec `codec`.\n\n"
            "Transports: `can://vcan0` (Linux SocketCAN, with `?fd`, `?echo` and\n"
            "`?filter=0x100:0x700`), `udp://host:port` (`?listen`, `?bind=`),\n"
            "`tcp://host:port` (`?listen`) and `mem://name` (in-process). Codecs:\n"
            "`raw`, `dbc:FILE` (options `strict`, `scaling`, `decode_choices`) and\n"
            "`sbf`. Keyword arguments configure the codec.")

# (object, text signature, docstring); None where the member has none (properties have no signature).
SIGNATURES = [
    (m._open, "(url, codec=..., **options)", OPEN_DOC),
    (m.register_transport, "(scheme, factory)",
     "Register a transport for a URL scheme. `factory(address, options)`\n"
     "gets the part of the URL after `scheme://` (without the query) and the\n"
     "query as a dict, and returns an object with `send(message)`,\n"
     "`recv(timeout) -> Message | None` and optionally `close()`. Packets are\n"
     "nameless `Message`s (`data`, and `id` for CAN)."),
    (m.register_codec, "(name, factory)",
     "Register a codec. `factory(argument, options)` gets the text after\n"
     "`name:` in the codec spec (or None) and the keyword arguments of\n"
     "`open()`, and returns an object with `encode(message) -> list[Message]`\n"
     "(nameless messages carrying the packets) and\n"
     "`decode(packet) -> list[Message]`."),
    (m._Channel.send, "($self, message, fields=None)", "Send a message: a `Message`, or a name and its fields."),
    (m._Channel.recv, "($self, timeout=None)",
     "The next message; None once `timeout` seconds pass (None waits\nforever; Ctrl-C interrupts)."),
    (m._Channel.every, "($self, period, message, fields=None, *, duration=None)",
     "Send a message every `period` seconds from a background thread, for\n`duration` seconds or until stopped."),
    (m._Channel.subscribe, "($self, callback)",
     "Receive on a background thread and call `callback(item)` for every\n"
     "item (with the GIL): a `Message`, an exception instance for a receive\n"
     "error, or None once when the channel closes. A falsy return value or\n"
     "an exception from the callback ends the subscription."),
    (m._Channel.close, "($self)", "Close the channel; blocked receivers stop, iteration ends."),
    (m._Channel.__enter__, "($self)", None),
    (m._Channel.__exit__, "($self, _t, _e, _tb)", None),
    (m._Subscription.stop, "($self)", "Stop delivering and wait for the receive thread (idempotent)."),
    (m.Periodic.update, "($self, message, fields=None)", "Send this message instead from the next period on."),
    (m.Periodic.stop, "($self)", "Stop sending and wait for the sender thread (idempotent)."),
    (m.Periodic.__enter__, "($self)", None),
    (m.Periodic.__exit__, "($self, _t, _e, _tb)", None),
    (m.Periodic.period, None, "Period in seconds."),
    (m.Periodic.last_error, None, "The last send error (sending continues after one)."),
    (m.Periodic.sent_count, None, None),
    (m.Periodic.running, None, None),
    (m._Channel.closed, None, None),
    (m._Subscription.running, None, None),
]

CLASSES = [
    (m._Channel, "_Channel", "sigtap._sigtap", "A transport and a codec composed: send and receive messages."),
    (m._Subscription, "_Subscription", "sigtap._sigtap", "A running `_Channel.subscribe`."),
    (m.Periodic, "Periodic", "sigtap",
     "A message sent periodically by `Channel.every`.\n\n"
     "No method holds a lock across a GIL-dependent wait: the sender thread may\n"
     "need the GIL (a Python codec or transport) while `stop()` joins it."),
]


def test_the_nine_attributes_in_order():
    names = [name for name in vars(m) if name not in IMPORT_SYSTEM]
    assert names == ["__version__", "Error", "Message", "_Channel", "_Subscription", "Periodic", "_open",
                     "register_transport", "register_codec"]
    assert m.__doc__ == "" and m.__version__ == "0.4.0"
    assert {f.__module__ for f in (m._open, m.register_codec, m.register_transport)} == {"sigtap._sigtap"}


@pytest.mark.parametrize("obj, signature, doc", SIGNATURES, ids=lambda v: getattr(v, "__qualname__", None))
def test_text_signatures_and_docstrings(obj, signature, doc):
    assert (getattr(obj, "__text_signature__", None), obj.__doc__) == (signature, doc)


@pytest.mark.parametrize("cls, name, module, doc", CLASSES, ids=lambda v: getattr(v, "__name__", None))
def test_classes(cls, name, module, doc):
    assert (cls.__name__, cls.__module__, cls.__doc__) == (name, module, doc)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        m._open("mem://test-module").anything = 1


def test_the_package():
    assert sigtap.Message is m.Message and sigtap.Periodic is m.Periodic and sigtap.Error is m.Error
    assert sigtap.register_codec is m.register_codec and sigtap.register_transport is m.register_transport
    for name in ("open", "Channel", "Message", "Periodic", "Error", "register_transport", "register_codec"):
        assert name in sigtap.__doc__
    with sigtap.open("mem://test-module-package") as ch:
        assert isinstance(ch, sigtap.Channel) and isinstance(ch._channel, m._Channel)
        assert repr(ch) == 'Channel("mem://test-module-package", "raw")' and not ch.closed
    assert ch.closed
