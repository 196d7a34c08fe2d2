"""A pytest plugin that runs kestrad with simulated adapters for a test session.

Installed with the package (entry point ``pytest11``), or named in a
conftest.py with ``pytest_plugins = ["kestrad.pytest_plugin"]``. It gives:

- ``kestrad_server``: one :class:`SimulatedServer` for the session: kestrad on
  a Unix socket in a temporary directory, with ``SIM`` (a kestrad-sim peer
  over a chain of TAPs) and, when the simulated USB bus library is found,
  ``EZ-USB0`` (the maker's EZ-USB adapter on that bus);
- ``kestrad_client``: a connected :class:`kestrad.Client` per test.

The programs are found through ``--kestrad-bin DIR`` (or ``$KESTRAD_BIN_DIR``,
else ``kestrad`` on ``PATH``); the simulated USB bus through ``--kestrad-lib
DIR`` (or ``$KESTRAD_LIB_DIR``, else ``DIR/../lib``). ``--kestrad-chain``
chooses the peer's TAPs. Everything listens on loopback or Unix sockets only.
"""
from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Dict, Iterator, List, Optional

import pytest

from .client import Client

DEFAULT_CHAIN = "0x4BA00477:4+bypass:5+0x06413041:5"


def _wait(condition, seconds: float, what: str) -> None:  # type: ignore[no-untyped-def]
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    raise RuntimeError(f"{what} within {seconds} s")


class SimulatedServer:
    """kestrad with simulated adapters, started and stopped as a unit.

    Use as a context manager, or call :meth:`start` and :meth:`stop`.
    ``address`` is what :class:`kestrad.Client` takes; ``adapters`` names the
    adapters it serves.
    """

    def __init__(self, bin_dir: Path, lib_dir: Optional[Path] = None, chain: str = DEFAULT_CHAIN,
                 usb: str = "ezusb,serial=K1") -> None:
        self.bin_dir = Path(bin_dir).resolve()
        self.lib_dir = Path(lib_dir).resolve() if lib_dir else self.bin_dir.parent / "lib"
        self.chain = chain
        self.usb = usb
        self.adapters: List[str] = []
        self.address = ""
        self._dir: Optional[str] = None
        self._procs: List[subprocess.Popen] = []

    def _spawn(self, args: List[str], log: str, env: Optional[Dict[str, str]] = None) -> subprocess.Popen:
        assert self._dir is not None
        out = open(os.path.join(self._dir, log), "wb")
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, cwd=self._dir,
                                env={**os.environ, **(env or {})})
        out.close()
        self._procs.append(proc)
        return proc

    def log(self, name: str) -> str:
        """The output of ``kestrad`` or ``kestrad-sim`` so far."""
        assert self._dir is not None
        return Path(self._dir, name + ".log").read_text(errors="replace")

    def start(self) -> "SimulatedServer":
        for program in ("kestrad", "kestrad-sim"):
            if not (self.bin_dir / program).is_file():
                raise FileNotFoundError(f"{self.bin_dir / program} not found (--kestrad-bin)")
        self._dir = tempfile.mkdtemp(prefix="kestrad-py-")
        try:
            peer = self._spawn([str(self.bin_dir / "kestrad-sim"), "--port", "0", "--bind", "127.0.0.1",
                                "--chain", self.chain], "kestrad-sim.log")
            port = 0

            def listening() -> bool:
                nonlocal port
                if peer.poll() is not None:
                    raise RuntimeError("kestrad-sim ended: " + self.log("kestrad-sim"))
                for line in self.log("kestrad-sim").splitlines():
                    if line.startswith("listening on port "):
                        port = int(line.split()[-1])
                return port != 0

            _wait(listening, 10, "kestrad-sim did not listen")
            config = Path(self._dir, "kestrad.xml")
            entries = f'<network addr="127.0.0.1" port="{port}" name="SIM"/>'
            self.adapters = ["SIM"]
            env = {"TEMP": self._dir}
            simusb = self.lib_dir / "libkestrad-simusb.so"
            if self.usb and simusb.is_file():
                entries = ('<usb name="EZ-USB" idvendor="0x0547" idproduct="0x1002" frequency="12MHZ"/>'
                           + entries)
                # A kestrad built with GCC's sanitizers needs their runtime
                # loaded before the simulation; the build names it.
                runtime = os.environ.get("KESTRAD_SANITIZER_PRELOAD", "")
                preload = f"{runtime}:{simusb}" if runtime else str(simusb)
                env.update(LD_PRELOAD=preload, KESTRAD_SIM_USB=self.usb)
                self.adapters.insert(0, "EZ-USB0")
            config.write_text(f'<?xml version="1.0"?><jtag_options version="10">{entries}</jtag_options>')
            self.address = os.path.join(self._dir, "kestrad.sock")
            server = self._spawn([str(self.bin_dir / "kestrad"), "-a", self.address, "-o", str(config)],
                                 "kestrad.log", env)

            def accepting() -> bool:
                if server.poll() is not None:
                    raise RuntimeError("kestrad ended: " + self.log("kestrad"))
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                    try:
                        s.connect(self.address)
                        return True
                    except OSError:
                        return False

            _wait(accepting, 10, "kestrad did not accept connections")
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Stops the programs and removes the temporary directory."""
        for proc in reversed(self._procs):
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self._procs.clear()
        if self._dir:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def __enter__(self) -> "SimulatedServer":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kestrad")
    group.addoption("--kestrad-bin", default=os.environ.get("KESTRAD_BIN_DIR"),
                    help="directory holding kestrad and kestrad-sim")
    group.addoption("--kestrad-lib", default=os.environ.get("KESTRAD_LIB_DIR"),
                    help="directory holding libkestrad-simusb.so (default: BIN/../lib)")
    group.addoption("--kestrad-chain", default=DEFAULT_CHAIN,
                    help="TAPs of the simulated peer, as kestrad-sim --chain takes them")


@pytest.fixture(scope="session")
def kestrad_server(request: pytest.FixtureRequest) -> Iterator[SimulatedServer]:
    """kestrad with simulated adapters for the whole test session."""
    bin_dir = request.config.getoption("--kestrad-bin")
    if not bin_dir:
        found = shutil.which("kestrad")
        if not found:
            raise pytest.UsageError("kestrad not found: give --kestrad-bin or $KESTRAD_BIN_DIR")
        bin_dir = os.path.dirname(found)
    lib_dir = request.config.getoption("--kestrad-lib")
    with SimulatedServer(Path(bin_dir), Path(lib_dir) if lib_dir else None,
                         request.config.getoption("--kestrad-chain")) as server:
        yield server


@pytest.fixture
def kestrad_client(kestrad_server: SimulatedServer) -> Iterator[Client]:
    """A client connected to the session's server; disconnected after the test."""
    with Client(kestrad_server.address, timeout=30) as client:
        yield client
