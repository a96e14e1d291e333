"""sigtap: messages over UDP, TCP, files and an in-process CAN bus."""

from sigtap._sigtap import Error, __version__

__all__ = ["Error", "__version__"]
