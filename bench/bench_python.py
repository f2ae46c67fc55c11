"""Per-call costs of the module's hot paths against baselines measured in the same run.

Prints medians of repeated timings (nanoseconds per call or per element) and the
ratio to each baseline. The machine is shared: read the ratios, not single figures.
"""

from __future__ import annotations

import array
import hashlib
import hmac
import itertools
import math
import os
import statistics
import struct
import threading
import time
import timeit

from _kelvara import Governor, KelBoundary, MonotonicCounter

REPEATS = 15


def per_call(stmt, number: int) -> float:
    """Median nanoseconds per call over REPEATS timings of `number` calls."""
    timer = timeit.Timer(stmt)
    runs = [timer.timeit(number) / number * 1e9 for _ in range(REPEATS)]
    return statistics.median(runs)


class PurePythonBoundary:
    """The same authorization done in Python: velocity and rate checks, sequence id,
    nonce, HMAC-SHA-256 signing and a 1024-entry replay check, under a lock."""

    def __init__(self, key: bytes, rate_limit: int = 10**9, max_velocity: float = 4.18) -> None:
        self.key, self.rate_limit, self.max_velocity = key, rate_limit, max_velocity
        self.lock = threading.Lock()
        self.window_start, self.window_count = time.time_ns(), 0
        self.sequence = 0
        self.last_accepted = 0
        self.nonces: list[bytes] = []

    def sign(self, nonce, now, seq, ident, payload):
        msg = nonce + struct.pack("<QQQ", now, seq, len(ident)) + ident + struct.pack("<Q", 16) + payload
        return hmac.new(self.key, msg, hashlib.sha256).digest()

    def authorize_action(self, axis: int, position: float, velocity: float):
        if not abs(velocity) <= self.max_velocity:
            raise ValueError("velocity_exceeded")
        with self.lock:
            now = time.time_ns()
            if now - self.window_start < 1_000_000_000:
                self.window_count += 1
            else:
                self.window_start, self.window_count = now, 1
            if self.window_count > self.rate_limit:
                raise ValueError("rate_limited")
            self.sequence += 1
            seq = self.sequence
            nonce = os.urandom(12)
            ident = f"axis_{axis}".encode()
            payload = struct.pack("<dd", position, velocity)
            tag = self.sign(nonce, now, seq, ident, payload)
            if seq <= self.last_accepted or nonce in self.nonces:
                raise ValueError("replay")
            if not hmac.compare_digest(tag, self.sign(nonce, now, seq, ident, payload)):
                raise ValueError("authentication_failure")
            self.last_accepted = seq
            self.nonces.append(nonce)
            if len(self.nonces) > 1024:
                del self.nonces[0]
        return nonce + struct.pack("<QQ", now, seq) + tag


def report(name: str, ours: float, baseline_name: str, baseline: float, unit: str = "call") -> None:
    print(f"{name:<34s} {ours:8.1f} ns/{unit:<8s} {baseline_name:<34s} {baseline:8.1f} ns  ratio {ours / baseline:5.2f}")


def main() -> None:
    g = Governor(-1.0, 1.0)
    counter = MonotonicCounter()
    values = [math.sin(i) * 2.0 for i in range(10_000)]
    key = os.urandom(32)
    ours = KelBoundary(rate_limit=10**9, hmac_key=key)
    theirs = PurePythonBoundary(key)
    fabs, x, n = math.fabs, 0.3, 7
    project, bit_length, next_value = g.project, n.bit_length, counter.next_value
    print(f"medians of {REPEATS} timings; ratio = ours / baseline (lower is better)")
    report("Governor.project", per_call(lambda: project(x), 200_000), "math.fabs", per_call(lambda: fabs(x), 200_000))
    counted = per_call(next_value, 200_000)
    report("MonotonicCounter.next_value", counted, "int.bit_length", per_call(bit_length, 200_000))
    # Each value is a new int, as from itertools.count: the closer baseline.
    report("MonotonicCounter.next_value", counted, "itertools.count().__next__",
           per_call(itertools.count(2**40).__next__, 200_000))
    batch = per_call(lambda: g.project_batch(values), 200) / len(values)
    arr = per_call(lambda: array.array("f", values).tolist(), 200) / len(values)
    report("Governor.project_batch (10k)", batch, "array('f', values).tolist()", arr, "element")
    auth = per_call(lambda: ours.authorize_action(1, 0.5, 1.0), 20_000)
    pure = per_call(lambda: theirs.authorize_action(1, 0.5, 1.0), 20_000)
    report("KelBoundary.authorize_action", auth, "pure-Python equivalent", pure)
    receipt = ours.authorize_action(1, 0.5, 1.0)
    report("KelReceipt.verify", per_call(lambda: receipt.verify(key), 50_000), "hmac.new(...).digest() 66 B",
           per_call(lambda: hmac.new(key, bytes(66), hashlib.sha256).digest(), 50_000))


if __name__ == "__main__":
    main()
