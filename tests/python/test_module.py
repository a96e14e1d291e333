"""The extension module's surface: its nine attributes in order, the classes, the text signatures."""

import pytest

import sigtap._sigtap as m

IMPORT_SYSTEM = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

# Text signatures, which help() and inspect show.
SIGNATURES = [
    (m._open, "(url, codec=..., **options)"), (m.register_transport, "(scheme, factory)"),
    (m.register_codec, "(name, factory)"), (m._Channel.send, "($self, message, fields=None)"),
    (m._Channel.recv, "($self, timeout=None)"),
    (m._Channel.every, "($self, period, message, fields=None, *, duration=None)"),
    (m._Channel.subscribe, "($self, callback)"), (m._Channel.__exit__, "($self, _t, _e, _tb)"),
    (m.Periodic.update, "($self, message, fields=None)"), (m.Periodic.__exit__, "($self, _t, _e, _tb)"),
]


def test_the_nine_attributes_in_order_and_the_classes_made_only_here():
    assert [name for name in vars(m) if name not in IMPORT_SYSTEM] == [
        "__version__", "Error", "Message", "_Channel", "_Subscription", "Periodic", "_open", "register_transport",
        "register_codec"]
    assert (m.__doc__, m.__version__, m.Error.__bases__) == ("", "0.4.0", (Exception,))  # from pyproject.toml
    classes = (m.Error, m._Channel, m._Subscription, m.Periodic)
    assert [f"{c.__module__}.{c.__qualname__}" for c in classes] == [
        "sigtap.Error", "sigtap._sigtap._Channel", "sigtap._sigtap._Subscription", "sigtap.Periodic"]
    for cls in classes[1:]:
        with pytest.raises(TypeError, match="^cannot create '.*' instances$"):
            cls()


def test_text_signatures():
    assert [obj.__text_signature__ for obj, _ in SIGNATURES] == [signature for _, signature in SIGNATURES]
