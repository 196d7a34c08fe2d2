"""The client against the real kestrad, kestrad-sim and the simulated USB bus,
started once for the session by the package's pytest plugin."""
import socket
import threading
import time

import pytest

from kestrad import ArgumentError, Client, ConnectionFailed, KestradError, ServerError, TapState
from kestrad import protocol as p

IDCODES = (0x4BA00477, 0x06413041)  # the peer's chain: nearest TDO first, a BYPASS TAP between


def test_lists_adapters_and_drives_the_peer_chain(kestrad_server, kestrad_client):
    c = kestrad_client
    names = {a.name: a for a in c.list()}
    assert names["SIM"].serial is None
    assert names["EZ-USB0"].serial == "K1"

    with c.open("SIM"):
        c.trst(False)
        c.trst(True)
        # After reset: IDCODE, BYPASS (one bit, 0), IDCODE; 65 bits in all.
        chain = c.shift_dr(0, 65)
        assert chain & 0xFFFFFFFF == IDCODES[0]
        assert (chain >> 1 + 32) == IDCODES[1]
        # bytes in, bytes out; IR captures 0b..01 in each TAP.
        assert c.shift_dr(bytes(9), 65)[:4] == IDCODES[0].to_bytes(4, "little")
        assert c.shift_ir(0x3FFF, 14) == 1 | 1 << 4 | 1 << 9

        # A batch: results are filled when the block exits, in order.
        with c.batch() as b:
            ir = b.shift_ir((0x3FFF & ~0xF) | 0x8, 14)     # first TAP: user register 0x8
            b.write_dr(0xCAFEF00D, 34)
            back = b.shift_dr(0, 34, TapState.RUN_TEST_IDLE)
            raw = b.shift_dr(bytes(5), 34)
        assert ir.value == 1 | 1 << 4 | 1 << 9
        assert back.value & 0xFFFFFFFF == 0xCAFEF00D
        assert raw.value == bytes(5)
        c.write(0x1000, b"\xde\xad\xbe\xef")
        assert c.read(0x1000, 4) == b"\xde\xad\xbe\xef"
        c.run_test(10)
        c.frequency(1_000_000)
        c.srst(False)
        c.srst(True)

    # Errors are typed and carry the server's text; the session goes on.
    with pytest.raises(ServerError) as e:
        c.open("NOPE")
    assert e.value.message == "no such device: NOPE"
    with pytest.raises(ServerError, match="no jtag associated"):
        c.run_test(1)
    with pytest.raises(ValueError):
        c.shift_ir(0, 33)


def test_ez_usb_adapter_reads_its_idcode(kestrad_client):
    with kestrad_client.open("EZ-USB0") as c:
        c.trst(False)
        c.trst(True)
        assert c.shift_dr(0, 32) == IDCODES[0]


def test_idle_client_is_kept_alive(kestrad_server):
    # The server drops a client after 10 s of silence; the client's thread
    # sends keep-alives while the caller does nothing.
    with Client(kestrad_server.address, keepalive=1.0) as c:
        time.sleep(11)
        assert [a.name for a in c.list()]


def test_address_from_the_environment_and_connection_errors(kestrad_server, monkeypatch, tmp_path):
    monkeypatch.setenv("KESTRAD_ADDRESS", kestrad_server.address)
    with Client() as c:
        assert c.address == kestrad_server.address
    with pytest.raises(ConnectionFailed, match="cannot connect"):
        Client(str(tmp_path / "nobody.sock"))


@pytest.mark.parametrize("call, message", [
    (lambda c: c.read(-1, 4), "address -0x1 is not a 32-bit number"),
    (lambda c: c.read(1 << 32, 4), "address 0x100000000 is not a 32-bit number"),
    (lambda c: c.read("0x10", 4), "address '0x10' is not an int"),
    (lambda c: c.write(-4, b"\0"), "address -0x4"),
    (lambda c: c.run_test(1 << 32), "clock count 0x100000000"),
    (lambda c: c.frequency(-1), "frequency -0x1"),
    (lambda c: c.shift_ir(0x20, 5), "does not fit in 5 bits"),
    (lambda c: c.open("A\0B"), "no NUL"),
])
def test_arguments_the_protocol_cannot_carry_raise_the_packages_error(kestrad_client, call, message):
    # Refused before anything is sent: the connection goes on.
    with pytest.raises(ArgumentError, match=message) as raised:
        call(kestrad_client)
    assert isinstance(raised.value, KestradError) and isinstance(raised.value, ValueError)
    assert kestrad_client.list()


def test_tcp_port_may_be_a_service_name(monkeypatch):
    # A listener that greets like kestrad, reached through a service name
    # that this test's resolver knows (the system's services are not ours).
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    real = socket.getaddrinfo

    def getaddrinfo(host, service, *args, **kwargs):
        return real(host, port if service == "kestrad-test" else service, *args, **kwargs)

    def serve():
        conn, _ = listener.accept()
        with conn:
            conn.sendall(p.GREETING)
            while conn.recv(4096):
                pass

    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    server = threading.Thread(target=serve, daemon=True)
    server.start()
    with listener:
        with Client("127.0.0.1:kestrad-test", timeout=10) as c:
            assert c.address == "127.0.0.1:kestrad-test"
        server.join(10)
        with pytest.raises(ConnectionFailed, match="cannot connect to 127.0.0.1:no-such-service-kestrad"):
            Client("127.0.0.1:no-such-service-kestrad", timeout=10)
