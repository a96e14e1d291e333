"""The extension module's surface: its nine attributes in order, the classes, every docstring and text signature."""

import pytest

import sigtap._sigtap as m

IMPORT_SYSTEM = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

# (object, text signature, docstring); None where there is none (classes and properties have no signature).
SURFACE = [
    (m.Error, None,
     "A sigtap error: a bad URL, codec or option, a message that cannot be encoded or decoded, or a closed channel. "
     "Operating-system errors are raised as OSError; errors from Python plugins propagate unchanged."),
    (m._Channel, None, "A transport and a codec composed: send and receive messages."),
    (m._Subscription, None, "A running `_Channel.subscribe`."),
    (m.Periodic, None,
     "A message sent periodically by `Channel.every`.\n\nNo method holds a lock across a GIL-dependent wait: "
     "the sender thread may\nneed the GIL (a Python codec or transport) while `stop()` joins it."),
    (m._open, "(url, codec=..., **options)",
     "Open a channel over the transport `url` with the codec `codec`.\n\nTransports: `can://vcan0` (Linux "
     "SocketCAN, with `?fd`, `?echo` and\n`?filter=0x100:0x700`), `udp://host:port` (`?listen`, `?bind=`),\n"
     "`tcp://host:port` (`?listen`) and `mem://name` (in-process). Codecs:\n`raw`, `dbc:FILE` (options `strict`, "
     "`scaling`, `decode_choices`) and\n`sbf`. Keyword arguments configure the codec."),
    (m.register_transport, "(scheme, factory)",
     "Register a transport for a URL scheme. `factory(address, options)`\ngets the part of the URL after "
     "`scheme://` (without the query) and the\nquery as a dict, and returns an object with `send(message)`,\n"
     "`recv(timeout) -> Message | None` and optionally `close()`. Packets are\nnameless `Message`s (`data`, and "
     "`id` for CAN)."),
    (m.register_codec, "(name, factory)",
     "Register a codec. `factory(argument, options)` gets the text after\n`name:` in the codec spec (or None) "
     "and the keyword arguments of\n`open()`, and returns an object with `encode(message) -> list[Message]`\n"
     "(nameless messages carrying the packets) and\n`decode(packet) -> list[Message]`."),
    (m._Channel.send, "($self, message, fields=None)", "Send a message: a `Message`, or a name and its fields."),
    (m._Channel.recv, "($self, timeout=None)",
     "The next message; None once `timeout` seconds pass (None waits\nforever; Ctrl-C interrupts)."),
    (m._Channel.every, "($self, period, message, fields=None, *, duration=None)",
     "Send a message every `period` seconds from a background thread, for\n`duration` seconds or until stopped."),
    (m._Channel.subscribe, "($self, callback)",
     "Receive on a background thread and call `callback(item)` for every\nitem (with the GIL): a `Message`, an "
     "exception instance for a receive\nerror, or None once when the channel closes. A falsy return value or\n"
     "an exception from the callback ends the subscription."),
    (m._Channel.close, "($self)", "Close the channel; blocked receivers stop, iteration ends."),
    (m._Channel.__enter__, "($self)", None), (m._Channel.__exit__, "($self, _t, _e, _tb)", None),
    (m._Subscription.stop, "($self)", "Stop delivering and wait for the receive thread (idempotent)."),
    (m.Periodic.update, "($self, message, fields=None)", "Send this message instead from the next period on."),
    (m.Periodic.stop, "($self)", "Stop sending and wait for the sender thread (idempotent)."),
    (m.Periodic.__enter__, "($self)", None), (m.Periodic.__exit__, "($self, _t, _e, _tb)", None),
    (m.Periodic.period, None, "Period in seconds."),
    (m.Periodic.last_error, None, "The last send error (sending continues after one)."),
]


def test_the_nine_attributes_in_order_and_the_classes_made_only_here():
    assert [name for name in vars(m) if name not in IMPORT_SYSTEM] == [
        "__version__", "Error", "Message", "_Channel", "_Subscription", "Periodic", "_open", "register_transport",
        "register_codec"]
    assert (m.__doc__, m.__version__, m.Error.__bases__) == ("", "0.4.0", (Exception,))
    classes = (m.Error, m._Channel, m._Subscription, m.Periodic)
    assert [f"{c.__module__}.{c.__qualname__}" for c in classes] == [
        "sigtap.Error", "sigtap._sigtap._Channel", "sigtap._sigtap._Subscription", "sigtap.Periodic"]
    for cls in classes[1:]:
        with pytest.raises(TypeError, match="^cannot create '.*' instances$"):
            cls()


@pytest.mark.parametrize("obj, signature, doc", SURFACE, ids=lambda v: getattr(v, "__qualname__", None))
def test_docstrings_and_text_signatures(obj, signature, doc):
    assert (getattr(obj, "__text_signature__", None), obj.__doc__) == (signature, doc)
