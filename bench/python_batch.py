#!/usr/bin/env python3
"""Scans per second through the Python client (python/kestrad), beside the
C++ client's figure for the same batches in the same run.

    bench/python_batch.py BUILD_DIR [--scans N] [--runs N] [--package DIR]

Starts kestrad-bench-server (the server code with an in-process fake
adapter) on a local endpoint in a temporary directory, then times, per row,
the best of RUNS:
  batch          Client.batch(): N 32-bit shift_dr scans queued with int
                 values, sent as batches of 4096, every Result read back;
  batch, bytes   the same with bytes values;
  single         shift_dr() one command each (N / 10 scans);
  C++            kestrad-bench-client batch over the same endpoint: one
                 batch built once and sent again and again, for scale.
--package DIR times the package in DIR (a copy of another version) instead
of this tree's python/.
"""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def load_client(args):
    package = Path(__file__).resolve().parents[1] / "python"
    if "--package" in args:
        package = Path(args[args.index("--package") + 1])
    sys.path.insert(0, str(package))
    from kestrad import Client
    return Client


def best(runs, fn):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    args = sys.argv[1:]
    if not args or args[0].startswith("-"):
        sys.exit(__doc__)
    build = Path(args[0])
    scans, runs = 200000, 3
    if "--scans" in args:
        scans = int(args[args.index("--scans") + 1])
    if "--runs" in args:
        runs = int(args[args.index("--runs") + 1])
    per_batch = 4096
    Client = load_client(args)

    with tempfile.TemporaryDirectory() as tmp:
        sock = os.path.join(tmp, "fake.sock")
        server = subprocess.Popen([str(build / "bin" / "kestrad-bench-server"), "unix", sock],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            server.stdout.readline()
            with Client(sock) as c:
                c.open("FAKE0")

                def batches(make):
                    left, check = scans, 0
                    while left:
                        n = min(left, per_batch)
                        with c.batch() as b:
                            results = [b.shift_dr(make(i), 32) for i in range(n)]
                        for r in results:
                            check ^= hash(r.value)
                        left -= n
                    return check

                t_int = best(runs, lambda: batches(lambda i: i))
                t_bytes = best(runs, lambda: batches(lambda i: i.to_bytes(4, "little")))
                singles = max(1, scans // 10)
                t_single = best(runs, lambda: [c.shift_dr(i, 32) for i in range(singles)])
            cpp = subprocess.run([str(build / "bin" / "kestrad-bench-client"), "batch", sock, str(per_batch)],
                                 capture_output=True, text=True).stdout
            cpp_ns = next((float(f.split("=")[1]) for f in cpp.split() if f.startswith("ns_per_scan=")), 0.0)
        finally:
            server.kill()
            server.wait()

    print("| Python client, fake adapter, local | scans/s | µs per scan |")
    print("|---|---|---|")
    for label, count, seconds in (("batch of 4096 (int values)", scans, t_int),
                                  ("batch of 4096 (bytes values)", scans, t_bytes),
                                  ("single shift_dr", singles, t_single)):
        print(f"| {label} | {count / seconds:.0f} | {seconds / count * 1e6:.2f} |")
    if cpp_ns:
        print(f"| C++ bench client, the same batch prebuilt and resent | {1e9 / cpp_ns:.0f} | {cpp_ns / 1000:.2f} |")


if __name__ == "__main__":
    main()
