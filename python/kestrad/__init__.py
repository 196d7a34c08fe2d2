"""Python client for kestrad, the JTAG adapter server.

    from kestrad import Client
    with Client("127.0.0.1:5555") as c, c.open("SIM"):
        c.shift_ir(0x3, 4)
        idcode = c.shift_dr(0, 32)
"""
from .client import Batch, Client, Result
from .protocol import (Adapter, ArgumentError, ConnectionFailed, KestradError, ProtocolError,
                       ServerError, TapState)

__all__ = ["Adapter", "ArgumentError", "Batch", "Client", "ConnectionFailed", "KestradError",
           "ProtocolError", "Result", "ServerError", "TapState"]
