"""The connection to a kestrad server: one command, one reply.

The wire format lives in :mod:`kestrad.protocol`; this module only moves
bytes and keeps the session alive (the server drops a client that sends
nothing for 10 seconds, so an idle Client sends keep-alives from a thread).
"""
from __future__ import annotations

import os
import pwd
import socket
import struct
import subprocess
import tempfile
import threading
import time
from contextlib import contextmanager
from typing import Iterator, List, Optional, Union

from . import protocol as p
from .protocol import Adapter, ArgumentError, ConnectionFailed, ProtocolError, ServerError, TapState

DEFAULT_ENDPOINT = "\\\\.\\Pipe\\vrk_pipe"
Bits = Union[int, bytes]


class Result:
    """A scan queued in a batch; ``value`` is filled when the batch has run."""

    __slots__ = ("length", "_as_int", "_value")

    def __init__(self, length: int, as_int: bool) -> None:
        self.length = length
        self._as_int = as_int
        self._value: Optional[Bits] = None

    @property
    def value(self) -> Bits:
        """The captured bits: an int if the scan was given an int, else bytes."""
        if self._value is None:
            raise RuntimeError("the batch has not run yet")
        return self._value


class Batch:
    """Scans sent together as one CMD_ASYNC_OPERATIONS; see :meth:`Client.batch`.

    Each scan is packed straight into the body, and the results are cut from
    the reply in one pass.
    """

    def __init__(self) -> None:
        self._body = bytearray()
        self._results: List[Optional[Result]] = []
        self._sizes: List[int] = []
        self._total = 0  # result bytes expected

    def shift_ir(self, value: int, length: int, end: TapState = TapState.RUN_TEST_IDLE) -> Result:
        """Queues an instruction scan of 1 to 32 bits."""
        if type(value) is not int or not 1 <= length <= 32 or value < 0 or value >> length:
            p.shift_ir_body(value, length, end)  # raises the error that fits
        body = self._body
        if len(body) + 20 > p.MAX_BODY:
            raise ArgumentError("batch larger than the server's body limit")
        body += _IR_RECORD(p.ASYNC_CMD_SHIFT_IR, 12, value, length, end)
        result = Result(length, True)
        size = (length + 7) >> 3
        self._results.append(result)
        self._sizes.append(size)
        self._total += size
        return result

    def shift_dr(self, value: Bits, length: int, end: TapState = TapState.RUN_TEST_IDLE) -> Result:
        """Queues a data scan; its result has the type of ``value``."""
        as_int = isinstance(value, int)
        if as_int and 0 < length <= p.MAX_DR_BITS and value >= 0 and not value >> length:
            size = (length + 7) >> 3
            bits = value.to_bytes(size, "little")
        else:
            bits = _checked_bits(value, length)
            size = len(bits)
        body = self._body
        if len(body) + 16 + size > p.MAX_BODY:
            raise ArgumentError("batch larger than the server's body limit")
        body += _DR_RECORD(p.ASYNC_CMD_SHIFT_DR, 8 + size, length, end)
        body += bits
        result = Result(length, as_int)
        self._results.append(result)
        self._sizes.append(size)
        self._total += size
        return result

    def write_dr(self, value: Bits, length: int, end: TapState = TapState.RUN_TEST_IDLE) -> None:
        """Queues a data scan whose captured bits are not returned."""
        bits = _checked_bits(value, length)
        body = self._body
        if len(body) + 16 + len(bits) > p.MAX_BODY:
            raise ArgumentError("batch larger than the server's body limit")
        body += _DR_RECORD(p.ASYNC_CMD_WRITE_DR, 8 + len(bits), length, end)
        body += bits
        self._results.append(None)
        self._sizes.append(0)

    def __len__(self) -> int:
        return len(self._results)


_DR_RECORD = p.DR_RECORD.pack
_IR_RECORD = p.IR_RECORD.pack


def _checked_bits(value: Bits, length: int) -> bytes:
    """A data scan's bits, or the error for what the server would refuse.
    The length is checked first: bits are not made for a scan it refuses."""
    if length > p.MAX_DR_BITS:
        p.shift_dr_body(b"", length, 0)  # raises
    return p.to_bits(value, length)


class Client:
    """One connection to kestrad.

    ``address`` is ``ssh://[user@]host[:port][/path/to/socket]`` (through
    ssh, or ``$KESTRAD_SSH``, running "kestractl proxy" on that host),
    ``host:port`` (TCP; split at the last colon) or a local endpoint name; by
    default ``$KESTRAD_ADDRESS``, else the server's default endpoint. Each
    call sends one command and waits at most ``timeout`` seconds of silence
    for its reply. Errors are :class:`ConnectionFailed`,
    :class:`ServerError` (the server's text) and :class:`ProtocolError`.
    """

    def __init__(self, address: Optional[str] = None, timeout: float = 30.0,
                 keepalive: float = 4.0) -> None:
        self.address = address or os.environ.get("KESTRAD_ADDRESS") or DEFAULT_ENDPOINT
        self.timeout = timeout
        self._lock = threading.Lock()
        self._sock: Optional[socket.socket] = None
        # ssh:// only: the process, its stderr, the host, and how it ended.
        self._ssh: Optional[subprocess.Popen] = None
        self._ssh_errors = None
        self._ssh_host = ""
        self._ssh_end = ""
        self._last_send = time.monotonic()
        self._stop = threading.Event()
        self._listed = False  # this connection has had the server renumerate
        self._connect()
        self._keepalive = threading.Thread(target=self._keepalive_loop, args=(keepalive,),
                                           name="kestrad-keepalive", daemon=True)
        self._keepalive.start()

    # ---- connection ----

    def _connect(self) -> None:
        if p.is_ssh_address(self.address):
            self._connect_ssh()
        else:
            where, port = p.split_address(self.address)
            try:
                if port is None:
                    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                    sock.settimeout(self.timeout)
                    sock.connect(where)
                    self._check_server(sock, where)
                else:
                    # The port may be a service name, as kestractl and kestrad take it.
                    sock = socket.create_connection((where, port), timeout=self.timeout)
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except (OSError, ValueError) as e:
                raise ConnectionFailed(f"cannot connect to {self.address}: {e}") from None
            self._sock = sock
        try:
            greeting = self._recv(len(p.GREETING), "greeting")
        except ConnectionFailed as e:
            # Through ssh, how ssh ended says which step failed.
            if self._ssh_end:
                # When ssh says nothing of its own (we stopped it after a
                # time-out, or the proxy ended cleanly), what we saw follows.
                seen = f" ({e})" if " stopped" in self._ssh_end or " ended:" in self._ssh_end \
                    or self._ssh_end.endswith(" ended") else ""
                raise ConnectionFailed(f"cannot connect to {self.address}: {self._ssh_end}{seen}") from None
            raise e
        if greeting != p.GREETING:
            self._drop()
            raise ConnectionFailed(f"{self.address} is not a kestrad server: greeting {greeting.hex()}")

    def _connect_ssh(self) -> None:
        """Starts ssh with one end of a socket pair as its stdin and stdout;
        the other end is this client's socket, so everything else is the
        same as over TCP. Its stderr is kept for the messages."""
        try:
            address = p.parse_ssh_address(self.address)
            argv = p.ssh_argv(address, os.environ.get("KESTRAD_SSH", ""),
                              os.environ.get("KESTRAD_REMOTE_KESTRACTL", ""))
        except ValueError as e:
            raise ConnectionFailed(f"cannot connect to {self.address}: {e}") from None
        ours, theirs = socket.socketpair()
        errors = tempfile.TemporaryFile()
        try:
            proc = subprocess.Popen(argv, stdin=theirs, stdout=theirs, stderr=errors, close_fds=True)
        except FileNotFoundError:
            ours.close()
            errors.close()
            raise ConnectionFailed(f"cannot connect to {self.address}: ssh not found: no program '{argv[0]}' in "
                                   "PATH (install openssh-client, or name the program in KESTRAD_SSH)") from None
        except OSError as e:
            ours.close()
            errors.close()
            raise ConnectionFailed(f"cannot connect to {self.address}: cannot start '{argv[0]}': {e}") from None
        finally:
            theirs.close()
        ours.settimeout(self.timeout)
        self._sock = ours
        self._ssh, self._ssh_errors, self._ssh_host, self._ssh_end = proc, errors, address.host, ""

    def _finish_ssh(self) -> None:
        """Reaps ssh (it ends once our end is closed and the remote proxy
        has gone; after a grace it is stopped) and says how it ended."""
        proc, errors = self._ssh, self._ssh_errors
        if proc is None:
            return
        self._ssh = None
        stopped = False
        try:
            proc.wait(timeout=2.0)
        except subprocess.TimeoutExpired:
            stopped = True
            proc.terminate()
            try:
                proc.wait(timeout=1.0)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        text = ""
        if errors is not None:
            errors.seek(0, os.SEEK_END)
            errors.seek(max(0, errors.tell() - 4096))
            text = errors.read().decode("utf-8", "replace")
            errors.close()
        self._ssh_end = p.describe_ssh_end(proc.returncode, text, self._ssh_host, stopped)

    def _failed(self, message: str) -> ConnectionFailed:
        """Drops the connection; the error names how ssh ended, if it did."""
        self._drop()
        return ConnectionFailed(f"{message}: {self._ssh_end}" if self._ssh_end else message)

    @staticmethod
    def _check_server(sock: socket.socket, path: str) -> None:
        """Refuses a local endpoint served by a user other than root, this
        user, the service user "kestrad" or $KESTRAD_SERVER_UID: whoever took
        the name first would hear every command and answer in its place."""
        _pid, uid, _gid = struct.unpack("3i", sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                                              struct.calcsize("3i")))

        def user_id(user: Optional[str]) -> Optional[int]:
            if not user:
                return None
            if user.isdigit():
                return int(user)
            try:
                return pwd.getpwnam(user).pw_uid
            except KeyError:
                return None

        if not p.trusted_server_uid(uid, os.geteuid(), user_id("kestrad"),
                                    user_id(os.environ.get("KESTRAD_SERVER_UID"))):
            sock.close()
            raise ConnectionFailed(f"refusing the server at {path}: it runs as uid {uid}, not as root, as you "
                                   f"or as the kestrad service user; set KESTRAD_SERVER_UID={uid} to trust it")

    def _drop(self) -> None:
        if self._sock is not None:
            try:
                self._sock.close()
            finally:
                self._sock = None
        self._finish_ssh()

    def _recv(self, size: int, what: str) -> bytes:
        assert self._sock is not None
        chunks, left = [], size
        try:
            while left:
                chunk = self._sock.recv(min(left, 1 << 20))
                if not chunk:
                    raise self._failed(f"{self.address}: connection closed while reading the {what}")
                chunks.append(chunk)
                left -= len(chunk)
        except socket.timeout:
            raise self._failed(f"{self.address}: no {what} within {self.timeout} s") from None
        except OSError as e:
            raise self._failed(f"{self.address}: reading the {what}: {e}") from None
        return b"".join(chunks)

    def _send(self, data: bytes) -> None:
        if self._sock is None:
            raise ConnectionFailed(f"not connected to {self.address}")
        try:
            self._sock.sendall(data)
        except OSError as e:
            raise self._failed(f"{self.address}: sending: {e}") from None
        self._last_send = time.monotonic()

    def _transact(self, code: int, body: bytes = b"", expected: Optional[int] = None) -> bytes:
        with self._lock:
            self._send(p.packet(code, body))
            status, length = p.parse_header(self._recv(8, "reply header"))
            if length > p.MAX_BODY + 65536:
                self._drop()
                raise ProtocolError(f"reply body of {length} bytes is larger than any reply")
            reply = self._recv(length, "reply body")
        if status == p.REPLY_ERROR:
            raise ServerError(reply.decode("latin-1"))
        if status != p.REPLY_OK:
            raise ProtocolError(f"reply status {status}")
        if expected is not None and len(reply) != expected:
            raise ProtocolError(f"reply of {len(reply)} bytes, expected {expected}")
        return reply

    def _keepalive_loop(self, interval: float) -> None:
        while not self._stop.wait(min(interval, 1.0)):
            if time.monotonic() - self._last_send < interval:
                continue
            # A command in progress holds the lock; it keeps the session alive itself.
            if self._lock.acquire(blocking=False):
                try:
                    if self._sock is not None:
                        self._send(p.packet(p.CMD_KEEPALIVE))
                except ConnectionFailed:
                    return
                finally:
                    self._lock.release()

    def disconnect(self) -> None:
        """Sends CMD_DISCONNECT and closes; never raises."""
        self._stop.set()
        with self._lock:
            if self._sock is not None:
                try:
                    self._sock.sendall(p.packet(p.CMD_DISCONNECT))
                except OSError:
                    pass
                self._drop()

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.disconnect()

    # ---- commands ----

    def list(self) -> List[Adapter]:
        """The server's adapters (it scans for them now)."""
        self._listed = True
        return p.parse_adapter_list(self._transact(p.CMD_RENUMERATE))

    def open(self, name: str) -> "_Opened":
        """Opens adapter ``name`` now. Used as a context manager
        (``with client.open("SIM"):``) it is closed again on exit.

        ``serial=SN`` names the adapter whose serial number is SN, looked up
        in a fresh list (bus positions, and so names, change; serial numbers
        do not); none with it raises ServerError "no such device: serial=SN",
        as an unknown name does.

        The server builds its adapter list only when a client asks for it, so
        when it does not know ``name`` yet, the list is asked for once and the
        open tried again.
        """
        if name.startswith("serial="):
            serial = name[len("serial="):]
            if not serial:
                raise ArgumentError("'serial=' needs a serial number, e.g. serial=K1")
            found = [a.name for a in self.list() if a.serial == serial]
            if not found:
                raise ServerError("no such device: " + name)
            name = found[0]
        try:
            self._transact(p.CMD_OPEN, p.name_body(name), 0)
        except ServerError as e:
            if self._listed or not e.message.startswith("no such device: "):
                raise
            self.list()
            self._transact(p.CMD_OPEN, p.name_body(name), 0)
        return _Opened(self)

    def close(self) -> None:
        """Closes the open adapter (nothing happens when none is open)."""
        self._transact(p.CMD_CLOSE, expected=0)

    def shift_ir(self, value: int, length: int, end: TapState = TapState.RUN_TEST_IDLE) -> int:
        """Shifts ``length`` (1..32) bits into the IR; returns the captured bits."""
        reply = self._transact(p.CMD_SHIFT_IR, p.shift_ir_body(value, length, end), 4)
        return p.from_bits(reply, length)

    def shift_dr(self, value: Bits, length: int, end: TapState = TapState.RUN_TEST_IDLE) -> Bits:
        """Shifts ``length`` bits through the DR; returns what was captured,
        as an int when ``value`` is an int, else as bytes (bit 0 first)."""
        reply = self._transact(p.CMD_SHIFT_DR, p.shift_dr_body(p.to_bits(value, length), length, end),
                               p.bit_bytes(length))
        return p.from_bits(reply, length) if isinstance(value, int) else reply

    def run_test(self, count: int) -> None:
        """``count`` clocks in Run-Test/Idle."""
        self._transact(p.CMD_RUN_TEST, p.word32("clock count", count), 0)

    def trst(self, level: bool) -> None:
        """Drives TRST: False asserts it (low), True releases it."""
        self._transact(p.CMD_TRST, int(bool(level)).to_bytes(4, "little"), 0)

    def srst(self, level: bool) -> None:
        """Drives the system reset: False asserts it (low), True releases it."""
        self._transact(p.CMD_SYS_RST, int(bool(level)).to_bytes(4, "little"), 0)

    def frequency(self, hertz: int) -> None:
        """Sets the JTAG clock."""
        self._transact(p.CMD_JTAG_FREQUENCY, p.word32("frequency", hertz), 0)

    def raw_sequence(self, tms: Bits, tdi: Bits, length: int) -> Bits:
        """Clocks ``length`` TCK cycles, bit k of ``tms`` and ``tdi`` in cycle
        k, and returns the TDO bits (an int when ``tms`` is an int, else
        bytes). The TAP ends where the TMS bits lead. Adapters that take whole
        scans only refuse it with :class:`ServerError`, even for 0 clocks."""
        if length == 0:
            tms_bits, tdi_bits = b"", b""
            if tms not in (0, b"") or tdi not in (0, b""):
                raise ArgumentError("a raw sequence of 0 bits carries no TMS or TDI bits")
        else:
            tms_bits, tdi_bits = p.to_bits(tms, length), p.to_bits(tdi, length)
        reply = self._transact(p.CMD_RAW_SEQUENCE, p.raw_sequence_body(tms_bits, tdi_bits, length),
                               p.bit_bytes(length))
        return p.from_bits(reply, length) if isinstance(tms, int) else reply

    def read(self, address: int, size: int) -> bytes:
        """Reads ``size`` bytes of target memory."""
        return self._transact(p.CMD_READ_BLK, p.word32("address", address) + p.word32("size", size), size)

    def write(self, address: int, data: bytes) -> None:
        """Writes ``data`` to target memory."""
        self._transact(p.CMD_WRITE_BLK, p.word32("address", address) + bytes(data), 0)

    @contextmanager
    def batch(self) -> Iterator[Batch]:
        """Collects scans and sends them as one batch when the block exits
        without an exception; each queued scan's ``Result.value`` is then set."""
        b = Batch()
        yield b
        self.run(b)

    def run(self, batch: Batch) -> None:
        """Sends a batch now and fills its results."""
        reply = self._transact(p.CMD_ASYNC_OPERATIONS, batch._body, batch._total)
        at = 0
        for result, size in zip(batch._results, batch._sizes):
            if result is not None:
                data = reply[at:at + size]
                # As protocol.from_bits, inline: this loop runs once per scan.
                result._value = int.from_bytes(data, "little") & ((1 << result.length) - 1) \
                    if result._as_int else data
            at += size



class _Opened:
    """What :meth:`Client.open` returns: closes the adapter when its block ends."""

    def __init__(self, client: Client) -> None:
        self.client = client

    def __enter__(self) -> Client:
        return self.client

    def __exit__(self, *exc: object) -> None:
        try:
            self.client.close()
        except ConnectionFailed:
            pass
