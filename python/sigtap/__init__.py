"""sigtap: messages over UDP, TCP, files and an in-process CAN bus.

``open(url, codec="raw", **options)`` opens a :class:`Channel`: one transport
(``mem://name``, ``udp://host:port``, ``tcp://host:port``, ``file://path``, or one
registered with :func:`register_transport`) composed with one codec (``raw``,
``dbc:FILE``, ``sbf``, or one registered with :func:`register_codec`).

Also here: :class:`Message` (what channels send and receive), :class:`Periodic`
(a running ``Channel.every``) and :class:`Error` (what sigtap raises besides
``OSError`` and the exceptions of Python plug-ins).
"""

from sigtap._sigtap import (
    Error,
    Message,
    Periodic,
    __version__,
    _open,
    register_codec,
    register_transport,
)

__all__ = [
    "Channel",
    "Error",
    "Message",
    "Periodic",
    "__version__",
    "open",
    "register_codec",
    "register_transport",
]


def open(url, codec="raw", **options):  # noqa: A001 - the library's entry point
    """Open a channel over the transport `url` with the codec `codec`.

    Keyword arguments configure the codec (for example ``strict=False`` for
    ``dbc:FILE``); transport options go in the URL query (``mem://bus?echo``).
    """
    return Channel(_open(url, codec, **options))


class Channel:
    """A transport and a codec composed: send and receive messages.

    Receiving waits with the interpreter lock released and can be interrupted
    with Ctrl-C; iterating yields messages until the channel is closed (or its
    input ends). Use it as a context manager to close it on leaving the block.
    """

    __slots__ = ("_channel", "__weakref__")

    def __init__(self, channel):
        self._channel = channel

    def send(self, message, fields=None):
        """Send a message: a `Message`, or a name and its fields."""
        self._channel.send(message, fields)

    def recv(self, timeout=None):
        """The next message; None once `timeout` seconds pass (None waits forever)."""
        return self._channel.recv(timeout)

    def every(self, period, message, fields=None, *, duration=None):
        """Send a message every `period` seconds from a background thread, for
        `duration` seconds or until stopped. Keep the returned `Periodic`:
        freeing it stops the sender."""
        return self._channel.every(period, message, fields, duration=duration)

    def subscribe(self, callback):
        """Call `callback(item)` on a background thread for every received item:
        a `Message`, an exception instance for a receive error, or None once
        when the channel closes. A falsy return value ends it. Keep the
        returned handle: freeing it stops the subscription."""
        return self._channel.subscribe(callback)

    def close(self):
        """Close the channel; blocked receivers stop, iteration ends."""
        self._channel.close()

    @property
    def closed(self):
        """True once the channel has been closed."""
        return self._channel.closed

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self._channel.close()
        return False

    def __iter__(self):
        # The native channel is its own iterator: no Python frame per message.
        return iter(self._channel)

    def __repr__(self):
        return repr(self._channel)
