"""kestrad's wire protocol as pure functions: bytes in, values out, no I/O.

Every packet is an 8-byte header of two little-endian 32-bit words (command
code or reply status, body length) and a body. Bit streams carry n bits in
(n + 7) // 8 bytes, bit k in bit k % 8 of byte k // 8, bit 0 shifted first.
"""
from __future__ import annotations

import enum
import struct
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

CMD_RENUMERATE = 1
CMD_OPEN = 2
CMD_CLOSE = 3
CMD_TRST = 4
CMD_SYS_RST = 5
CMD_SHIFT_IR = 6
CMD_SHIFT_DR = 7
CMD_RUN_TEST = 8
CMD_UPDATE_NAME = 9
CMD_WRITE_BLK = 10
CMD_READ_BLK = 11
CMD_KEEPALIVE = 12
CMD_DISCONNECT = 13
CMD_RESET = 14
CMD_ASYNC_OPERATIONS = 15
CMD_JTAG_FREQUENCY = 16
CMD_RAW_SEQUENCE = 17

ASYNC_CMD_SHIFT_IR = 6
ASYNC_CMD_SHIFT_DR = 7
ASYNC_CMD_WRITE_DR = 17

REPLY_OK = 1
REPLY_ERROR = 3

GREETING = bytes.fromhex("01000000" "08000000" "abeeddff" "00000000")
HEADER = struct.Struct("<II")
#: The head of a batch's data-scan record: code, payload size, length, end
#: state; the bits follow. An instruction-scan record is whole: code, 12,
#: value, length, end state.
DR_RECORD = struct.Struct("<IIiI")
IR_RECORD = struct.Struct("<IIIiI")

#: The server refuses larger command bodies, reads and data scans.
MAX_BODY = 64 * 1024 * 1024
MAX_DR_BITS = 0x7FFFFFF8
#: Two bit vectors and a count fill at most the body limit.
MAX_RAW_SEQUENCE_BITS = (MAX_BODY - 4) // 2 * 8


class KestradError(Exception):
    """Base of every error this package raises."""


class ConnectionFailed(KestradError):
    """Connect, greeting, I/O error, time-out or connection closed."""


class ServerError(KestradError):
    """An error reply. ``message`` is the server's text unchanged."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ProtocolError(KestradError):
    """A reply with an unexpected status, size or layout."""


class ArgumentError(KestradError, ValueError):
    """An argument the protocol cannot carry (a negative address, a value
    wider than its scan, a name with a NUL); raised before anything is sent.
    Also a ValueError, as it was before it had a type of its own."""


class TapState(enum.IntEnum):
    """End states of a scan; the values travel on the wire."""

    TEST_LOGIC_RESET = 0
    RUN_TEST_IDLE = 1
    SHIFT_DR = 2
    SHIFT_IR = 3
    EXIT1_DR = 4
    EXIT1_IR = 5
    PAUSE_DR = 6
    PAUSE_IR = 7


@dataclass(frozen=True)
class Adapter:
    """One record of the adapter list."""

    name: str
    chip: str
    serial: Optional[str] = None


def packet(code: int, body: bytes = b"") -> bytes:
    """A command packet: header and body."""
    return HEADER.pack(code, len(body)) + body


def parse_header(data: bytes) -> Tuple[int, int]:
    """(status, body length) of an 8-byte reply header."""
    if len(data) != 8:
        raise ProtocolError(f"reply header of {len(data)} bytes, expected 8")
    return HEADER.unpack(data)


def word32(what: str, value: int) -> bytes:
    """``value`` as a 32-bit little-endian word; ArgumentError names ``what``
    when it is not an int from 0 to 0xffffffff."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise ArgumentError(f"{what} {value!r} is not an int")
    if not 0 <= value <= 0xFFFFFFFF:
        raise ArgumentError(f"{what} {value:#x} is not a 32-bit number (0 to 0xffffffff)")
    return value.to_bytes(4, "little")


def bit_bytes(length: int) -> int:
    """Bytes of a bit stream of ``length`` bits."""
    return (length + 7) // 8


def to_bits(value: "int | bytes", length: int) -> bytes:
    """An int or bytes as a bit stream of ``length`` bits; refuses values that do not fit."""
    if length < 1:
        raise ArgumentError(f"a scan of {length} bits")
    size = bit_bytes(length)
    if isinstance(value, int):
        if value < 0 or value >> length:
            raise ArgumentError(f"{value:#x} does not fit in {length} bits")
        return value.to_bytes(size, "little")
    data = bytes(value)
    if len(data) != size:
        raise ArgumentError(f"{len(data)} bytes given for {length} bits, expected {size}")
    if length % 8 and data[-1] >> (length % 8):
        raise ArgumentError(f"bits set above bit {length - 1}")
    return data


def from_bits(data: bytes, length: int) -> int:
    """A bit stream as an int, bits at and above ``length`` dropped."""
    return int.from_bytes(data, "little") & ((1 << length) - 1)


def name_body(*names: str) -> bytes:
    """NUL-terminated strings, as CMD_OPEN and CMD_UPDATE_NAME take them."""
    out = b""
    for n in names:
        raw = n.encode()
        if b"\0" in raw or len(raw) > 254:
            raise ArgumentError(f"adapter name {n!r}: at most 254 characters, no NUL")
        out += raw + b"\0"
    return out


def shift_ir_body(value: int, length: int, end: int) -> bytes:
    if not 1 <= length <= 32:
        raise ArgumentError(f"instruction length {length}: 1 to 32 bits")
    if value < 0 or value >> length:
        raise ArgumentError(f"instruction {value:#x} does not fit in {length} bits")
    return struct.pack("<IiI", value, length, int(end))


def shift_dr_body(bits: bytes, length: int, end: int) -> bytes:
    if not 1 <= length <= MAX_DR_BITS:
        raise ArgumentError(f"data scan of {length} bits")
    return struct.pack("<iI", length, int(end)) + bits


def raw_sequence_body(tms: bytes, tdi: bytes, length: int) -> bytes:
    """CMD_RAW_SEQUENCE: the clock count, then the TMS and the TDI bits
    ((length + 7) // 8 bytes each); 0 clocks is allowed."""
    if not 0 <= length <= MAX_RAW_SEQUENCE_BITS:
        raise ArgumentError(f"raw sequence of {length} bits (0 to {MAX_RAW_SEQUENCE_BITS})")
    if len(tms) != bit_bytes(length) or len(tdi) != bit_bytes(length):
        raise ArgumentError(f"{length} bits need {bit_bytes(length)} bytes of TMS and of TDI, "
                            f"got {len(tms)} and {len(tdi)}")
    return struct.pack("<I", length) + bytes(tms) + bytes(tdi)


def parse_adapter_list(body: bytes) -> List[Adapter]:
    """Parses a CMD_RENUMERATE reply body; ProtocolError names the bad offset."""
    out: List[Adapter] = []
    pos = 0
    while pos < len(body):
        start = pos
        if pos + 2 > len(body):
            raise ProtocolError(f"adapter record at offset {start}: truncated")
        count, zero = body[pos], body[pos + 1]
        if count not in (2, 3) or zero != 0:
            raise ProtocolError(f"adapter record at offset {start}: bad string count {count}/{zero}")
        pos += 2
        strings = []
        for _ in range(count):
            end = body.find(b"\0", pos)
            if end < 0:
                raise ProtocolError(f"adapter record at offset {start}: string without NUL")
            strings.append(body[pos:end].decode("latin-1"))
            pos = end + 1
        out.append(Adapter(strings[0], strings[1], strings[2] if count == 3 else None))
    return out


def split_results(reply: bytes, sizes: Sequence[int]) -> List[bytes]:
    """Cuts a batch reply into one result per scan; sizes must add up exactly."""
    if sum(sizes) != len(reply):
        raise ProtocolError(f"batch reply of {len(reply)} bytes, expected {sum(sizes)}")
    out, pos = [], 0
    for n in sizes:
        out.append(reply[pos:pos + n])
        pos += n
    return out


def split_address(address: str) -> Tuple[str, Optional[str]]:
    """("host", "port") for TCP (split at the last colon, [::1]:5000 works),
    else (socket path, None) for a local endpoint, mapped as the server maps it."""
    import os

    if ":" in address:
        host, _, port = address.rpartition(":")
        if host.startswith("[") and host.endswith("]"):
            host = host[1:-1]
        return host, port
    prefix = "\\\\.\\pipe\\"
    if address[: len(prefix)].lower() == prefix:
        return runtime_dir(os.geteuid()) + "/" + address[len(prefix):], None
    return address, None


def runtime_dir(euid: int) -> str:
    """Where \\\\.\\pipe\\ names live, as the server places them: $KESTRAD_PIPE_DIR,
    else /run/kestrad for root, else $XDG_RUNTIME_DIR, else /tmp/kestrad-UID
    (never a directory every user may write to)."""
    import os

    if os.environ.get("KESTRAD_PIPE_DIR"):
        return os.environ["KESTRAD_PIPE_DIR"]
    if euid == 0:
        return "/run/kestrad"
    return os.environ.get("XDG_RUNTIME_DIR") or f"/tmp/kestrad-{euid}"


def trusted_server_uid(server: int, euid: int, service: Optional[int], extra: Optional[int]) -> bool:
    """Whether a local endpoint served by uid ``server`` is trusted: root, the
    client's own user, the packaged service's user and the one named."""
    return server in (0, euid) or server == service or server == extra


# ---- ssh:// addresses (the same rules as the C++ client's) ----

@dataclass
class SshAddress:
    user: str
    host: str
    port: str
    socket: str


def is_ssh_address(address: str) -> bool:
    return address[:6].lower() == "ssh://"


def parse_ssh_address(address: str) -> SshAddress:
    """Splits ``ssh://[user@]host[:port][/path/to/socket]``; ValueError names
    what is wrong."""
    def bad(why: str) -> ValueError:
        return ValueError(f"bad address '{address}': {why} "
                          "(the form is ssh://[user@]host[:port][/path/to/socket])")

    if not is_ssh_address(address):
        raise ValueError(f"'{address}' is not an ssh:// address")
    rest = address[6:]
    authority, slash, path = rest.partition("/")
    socket_path = "/" + path if slash and path else ""
    user = ""
    if "@" in authority:
        user, _, authority = authority.rpartition("@")
        if not user:
            raise bad("empty user name before '@'")
    port = None
    if authority.startswith("["):
        host, close, after = authority[1:].partition("]")
        if not close:
            raise bad("'[' without ']'")
        if after:
            if not after.startswith(":"):
                raise bad(f"'{after}' after ']'")
            port = after[1:]
    else:
        if authority.count(":") > 1:
            raise bad("an IPv6 host goes in brackets, as in ssh://[::1]:22")
        host, colon, after = authority.partition(":")
        if colon:
            port = after
    if not host:
        raise bad("no host")
    if host.startswith("-") or user.startswith("-"):
        raise bad("a host or user may not begin with '-'")
    if any(ord(c) <= 32 or c == "\x7f" for c in host + user + socket_path):
        raise bad("blank or control character in the address")
    if port is not None and not (port.isdigit() and len(port) <= 5 and 1 <= int(port) <= 65535):
        raise bad(f"port '{port}' is not a number from 1 to 65535")
    return SshAddress(user, host, port or "", socket_path)


def ssh_argv(address: SshAddress, ssh_command: str = "", remote_kestractl: str = "") -> List[str]:
    """The program and arguments that reach ``address``: the words of
    ``ssh_command`` ($KESTRAD_SSH; "ssh" when empty), -l, -p, the host and
    the remote command "kestractl proxy SOCKET" (``remote_kestractl`` is
    $KESTRAD_REMOTE_KESTRACTL, a shell command on the remote host)."""
    import shlex

    try:
        argv = shlex.split(ssh_command) or ["ssh"]
    except ValueError as e:
        raise ValueError(f"KESTRAD_SSH: {e} in '{ssh_command}'") from None
    if address.user:
        argv += ["-l", address.user]
    if address.port:
        argv += ["-p", address.port]
    remote = (remote_kestractl or "kestractl") + " proxy"
    if address.socket:
        remote += " " + shlex.quote(address.socket)
    return argv + [address.host, remote]


def describe_ssh_end(returncode: Optional[int], errors: str, host: str, stopped: bool = False) -> str:
    """Which step failed, from how ssh ended (``returncode`` as subprocess
    gives it: negative for a signal) and the end of its stderr."""
    lines = [line.strip() for line in errors.splitlines() if line.strip()]
    tail = f": {lines[-1]}" if lines else ""
    if stopped or returncode is None:
        return f"ssh to {host} stopped{tail}"
    if returncode < 0:
        return f"ssh to {host} ended by signal {-returncode}{tail}"
    if returncode == 255:
        if any(s in errors for s in ("Permission denied", "Too many authentication failures",
                                     "Authentication failed")):
            return f"ssh authentication to {host} failed{tail}"
        if "Host key verification failed" in errors:
            return f"ssh could not verify the host key of {host}{tail}"
        return f"ssh to {host} failed{tail}"
    if returncode in (126, 127):
        return f"no kestractl on {host} (its path goes in KESTRAD_REMOTE_KESTRACTL){tail}"
    if returncode == 3:
        return f"no kestrad behind the remote socket on {host}{tail}"
    if returncode == 2:
        return f"kestractl on {host} cannot run 'proxy' (an older version?){tail}"
    if returncode == 0:
        return f"the proxy on {host} ended{tail}"
    return f"ssh to {host} ended with status {returncode}{tail}"
