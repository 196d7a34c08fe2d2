"""The pure protocol helpers: bit streams, adapter records, addresses."""
import pytest

from kestrad import protocol as p
from kestrad.client import Batch


@pytest.mark.parametrize("value, length, wire", [
    (0x1f, 5, b"\x1f"),
    (0xabc, 12, b"\xbc\x0a"),
    (1 << 64, 65, b"\0" * 8 + b"\x01"),
    (b"\xff\x01", 9, b"\xff\x01"),
])
def test_bits_round_trip(value, length, wire):
    assert p.to_bits(value, length) == wire
    assert p.from_bits(wire, length) == (value if isinstance(value, int) else int.from_bytes(value, "little"))


@pytest.mark.parametrize("value, length, message", [
    (0x20, 5, "does not fit"),
    (-1, 8, "does not fit"),
    (b"\x00", 9, "expected 2"),
    (b"\x00\x02", 9, "above bit 8"),
    (0, 0, "0 bits"),
])
def test_bits_that_do_not_fit_are_refused(value, length, message):
    with pytest.raises(ValueError, match=message):
        p.to_bits(value, length)


def test_raw_sequence_body_is_the_count_then_tms_then_tdi():
    assert p.raw_sequence_body(b"\x1f\x01", b"\xa5\x00", 9) == bytes.fromhex("09000000" "1f01" "a500")
    assert p.raw_sequence_body(b"", b"", 0) == bytes(4)
    for tms, tdi, length, message in [(b"\x00", b"\x00\x00", 9, "got 1 and 2"),
                                      (b"", b"", p.MAX_RAW_SEQUENCE_BITS + 1, "0 to 268435440")]:
        with pytest.raises(p.ArgumentError, match=message):
            p.raw_sequence_body(tms, tdi, length)


def test_adapter_list_parses_records_and_names_bad_offsets():
    body = b"\x03\x00EZ-USB0\0chip\0K1\0" + b"\x02\x00SIM\0Unknown chip\0"
    assert p.parse_adapter_list(body) == [p.Adapter("EZ-USB0", "chip", "K1"),
                                          p.Adapter("SIM", "Unknown chip")]
    for bad, offset in [(body + b"\x04\x00", len(body)), (b"\x02\x00A\0B", 0), (b"\x02", 0)]:
        with pytest.raises(p.ProtocolError, match=f"offset {offset}"):
            p.parse_adapter_list(bad)


def test_batch_reply_must_match_the_scans():
    assert p.split_results(b"\x01\x02\x03", [1, 0, 2]) == [b"\x01", b"", b"\x02\x03"]
    with pytest.raises(p.ProtocolError, match="expected 4"):
        p.split_results(b"\x01\x02\x03", [2, 2])


def test_batch_body_is_packed_record_by_record():
    b = Batch()
    b.shift_ir(0x1f, 5, p.TapState.PAUSE_IR)
    b.shift_dr(0xc34, 12)
    b.write_dr(b"\x01\x02\x03\x04", 32, p.TapState.PAUSE_DR)
    b.shift_dr(True, 1)  # a bool is an int: its result comes back as one
    words = lambda *w: b"".join(x.to_bytes(4, "little") for x in w)
    assert bytes(b._body) == (words(6, 12, 0x1f, 5, 7) + words(7, 10, 12, 1) + b"\x34\x0c"
                              + words(17, 12, 32, 6) + b"\x01\x02\x03\x04" + words(7, 9, 1, 1) + b"\x01")
    assert (len(b), b._sizes, b._total) == (4, [1, 2, 0, 1], 4)


@pytest.mark.parametrize("queue, error, message", [
    (lambda b: b.shift_dr(1 << 32, 32), ValueError, "does not fit"),
    (lambda b: b.shift_dr(-1, 8), ValueError, "does not fit"),
    (lambda b: b.shift_dr(0, 0), ValueError, "0 bits"),
    (lambda b: b.shift_dr(b"\x00", 9), ValueError, "expected 2"),
    (lambda b: b.write_dr(0, p.MAX_DR_BITS + 8), ValueError, "data scan of"),
    (lambda b: b.shift_ir(0, 33), ValueError, "instruction length"),
    (lambda b: b.shift_ir(0x20, 5), ValueError, "does not fit"),
    (lambda b: b.shift_ir(1.0, 5), TypeError, ""),
])
def test_batch_refuses_what_a_scan_cannot_carry(queue, error, message):
    b = Batch()
    with pytest.raises(error, match=message):
        queue(b)
    assert len(b) == 0 and not b._body


@pytest.mark.parametrize("address, env, expected", [
    ("127.0.0.1:5000", {}, ("127.0.0.1", "5000")),
    ("[::1]:5000", {}, ("::1", "5000")),
    ("/run/k.sock", {}, ("/run/k.sock", None)),
    ("\\\\.\\PIPE\\vrk_pipe", {"KESTRAD_PIPE_DIR": "/srv"}, ("/srv/vrk_pipe", None)),
    ("\\\\.\\pipe\\x", {"XDG_RUNTIME_DIR": "/run/user/7"}, ("/run/user/7/x", None)),
    ("\\\\.\\pipe\\x", {}, ("/tmp/kestrad-7/x", None)),
    ("\\\\.\\pipe\\x", {"XDG_RUNTIME_DIR": "/run/user/0", "euid": 0}, ("/run/kestrad/x", None)),
])
def test_addresses_map_as_the_server_maps_them(monkeypatch, address, env, expected):
    for var in ("KESTRAD_PIPE_DIR", "XDG_RUNTIME_DIR"):
        monkeypatch.delenv(var, raising=False)
    env = dict(env)
    euid = env.pop("euid", 7)
    monkeypatch.setattr("os.geteuid", lambda: euid)
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    assert p.split_address(address) == expected


@pytest.mark.parametrize("server, euid, service, extra, trusted", [
    (0, 1000, None, None, True),
    (1000, 1000, None, None, True),
    (999, 1000, 999, None, True),
    (1001, 1000, 999, None, False),
    (1001, 1000, 999, 1001, True),
])
def test_local_endpoint_of_another_user_is_refused(server, euid, service, extra, trusted):
    assert p.trusted_server_uid(server, euid, service, extra) is trusted


@pytest.mark.parametrize("address, argv", [
    ("ssh://lab", ["ssh", "lab", "kestractl proxy"]),
    ("SSH://ann@[::1]:2222/tmp/it's", ["ssh", "-i", "my key", "-l", "ann", "-p", "2222", "::1",
                                       "/opt/kestractl proxy '/tmp/it'\"'\"'s'"]),
])
def test_ssh_address_becomes_the_ssh_words_host_and_remote_command(address, argv):
    ssh, remote = ("ssh -i 'my key'", "/opt/kestractl") if "ann" in address else ("", "")
    assert p.ssh_argv(p.parse_ssh_address(address), ssh, remote) == argv


@pytest.mark.parametrize("address, message", [
    ("ssh://", "no host"), ("ssh://lab:0", "port '0'"), ("ssh://::1/s", "in brackets"),
    ("ssh://-oProxyCommand=x", "may not begin with '-'"), ("ssh://@lab", "empty user"),
])
def test_bad_ssh_addresses_are_refused(address, message):
    with pytest.raises(ValueError, match=message):
        p.parse_ssh_address(address)


@pytest.mark.parametrize("code, errors, text", [
    (255, "ann@lab: Permission denied (publickey).\n", "ssh authentication to lab failed: ann@lab: Permission"),
    (127, "sh: kestractl: not found\n", "no kestractl on lab"),
    (3, "kestractl: connection failed: x\n", "no kestrad behind the remote socket on lab: kestractl"),
    (-9, "", "ssh to lab ended by signal 9"),
])
def test_ssh_end_says_which_step_failed(code, errors, text):
    assert p.describe_ssh_end(code, errors, "lab").startswith(text)
