"""Per-call costs of the module's hot paths against baselines measured in the same run.

Prints medians of repeated timings (nanoseconds per call or per element) and the
ratio to each baseline. The machine is shared: read the ratios, not single figures.
"""

from __future__ import annotations

import array
import hashlib
import hmac
import itertools
import json
import math
import os
import statistics
import struct
import sys
import threading
import time
import timeit

from _kelvara import Envelope4, Governor, KelBoundary, MonotonicCounter

try:
    import numpy as np
except ImportError:  # the numpy rows are skipped
    np = None

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


# One function per row: (figure, baseline, ratio, target), figures in the unit
# the row names; target is the highest acceptable ratio, or None for a row that
# only gives context.
Row = tuple[float, float, float, float | None]


def row(figure: float, baseline: float, target: float | None = None) -> Row:
    return figure, baseline, figure / baseline, target


def per_call_fresh(fn, make_input, repeats: int = 41) -> float:
    """Median seconds of fn(x) over fresh inputs, the making of each input untimed."""
    runs = []
    for _ in range(repeats):
        x = make_input()
        start = time.perf_counter()
        fn(x)
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


MILLION = 1_000_000
# The commands of a joint swinging past its limits: about two thirds are clamped.
SWING = [math.sin(i) * 2.0 for i in range(MILLION)]


def row_project_batch_list() -> Row:
    """ms: Governor(-1, 1).project_batch on a list of a million floats, against
    array.array('f', values).tolist() on the same list."""
    g = Governor(-1.0, 1.0)
    ours = per_call(lambda: g.project_batch(SWING), 5) * 1e-6
    baseline = per_call(lambda: array.array("f", SWING).tolist(), 5) * 1e-6
    return row(ours, baseline, 0.6)


def row_project_batch_list_inside() -> Row:
    """ms: the same with every value inside the envelope: a new float per element,
    which alone (array('d', values).tolist()) costs about two thirds of the baseline."""
    g = Governor(-2.5, 2.5)
    ours = per_call(lambda: g.project_batch(SWING), 5) * 1e-6
    baseline = per_call(lambda: array.array("f", SWING).tolist(), 5) * 1e-6
    return row(ours, baseline)


def row_project_into() -> Row | None:
    """ms: Governor(-1, 1).project_into on a million float32 values, against
    numpy.clip(a, -1, 1, out=a), each timed on its own array: after the first
    call both arrays hold projected values."""
    if np is None:
        return None
    g = Governor(-1.0, 1.0)
    ours, theirs = np.array(SWING, np.float32), np.array(SWING, np.float32)
    return row(per_call(lambda: g.project_into(ours), 50) * 1e-6,
               per_call(lambda: np.clip(theirs, -1.0, 1.0, out=theirs), 50) * 1e-6, 0.5)


def row_project_into_fresh() -> Row | None:
    """ms: the same on fresh unprojected values every call (the copy untimed)."""
    if np is None:
        return None
    g = Governor(-1.0, 1.0)
    source = np.array(SWING, np.float32)
    return row(per_call_fresh(g.project_into, source.copy) * 1e3,
               per_call_fresh(lambda a: np.clip(a, -1.0, 1.0, out=a), source.copy) * 1e3)


def row_read_once() -> Row | None:
    """ms: numpy's max over the same array, a single read of its 4 MB, against
    numpy.clip: the floor of any projection that reads every element."""
    if np is None:
        return None
    a = np.clip(np.array(SWING, np.float32), -1.0, 1.0)
    return row(per_call(a.max, 50) * 1e-6, per_call(lambda: np.clip(a, -1.0, 1.0, out=a), 50) * 1e-6)


def row_project_into_cached() -> Row | None:
    """us: project_into against numpy.clip on 100,000 float32 values, which
    stay in the processor's cache."""
    if np is None:
        return None
    g = Governor(-1.0, 1.0)
    ours, theirs = np.array(SWING[:100_000], np.float32), np.array(SWING[:100_000], np.float32)
    return row(per_call(lambda: g.project_into(ours), 500) * 1e-3,
               per_call(lambda: np.clip(theirs, -1.0, 1.0, out=theirs), 500) * 1e-3)


ENVELOPE = Envelope4((-1.0,) * 4, (1.0,) * 4, rows=[(1.0, 1.0, 0.0, 0.0), (0.0, 0.0, 1.0, 1.0)], limits=[1.5, 1.5])


def envelope_row(command) -> Row:
    g = Governor(-1.0, 1.0)
    project, x, envelope_project = g.project, 0.3, ENVELOPE.project
    return row(per_call(lambda: envelope_project(command), 200_000), per_call(lambda: project(x), 200_000), 3.0)


def row_envelope4_tuple() -> Row:
    """ns: Envelope4.project of a tuple inside the envelope, against Governor.project."""
    return envelope_row((0.1, 0.2, 0.3, 0.4))


def row_envelope4_numpy() -> Row | None:
    """ns: the same command as a float32 numpy array."""
    return None if np is None else envelope_row(np.array((0.1, 0.2, 0.3, 0.4), np.float32))


def row_envelope4_active() -> Row:
    """ns: a command that the constraints move, so that the solve iterates."""
    g = Governor(-1.0, 1.0)
    command, project, x = (0.9, 0.7, -0.2, 0.1), g.project, 0.3
    return row(per_call(lambda: ENVELOPE.project(command), 20_000), per_call(lambda: project(x), 200_000))


ROWS = [
    ("Governor.project_batch 1M list", "ms", row_project_batch_list, "array('f', values).tolist()"),
    ("Governor.project_batch 1M list inside", "ms", row_project_batch_list_inside, "array('f', values).tolist()"),
    ("Governor.project_into 1M f32", "ms", row_project_into, "numpy.clip(out=a), same array"),
    ("Governor.project_into 1M f32 fresh", "ms", row_project_into_fresh, "numpy.clip(out=a), fresh"),
    ("numpy max 1M f32 (one read)", "ms", row_read_once, "numpy.clip(out=a), same array"),
    ("Governor.project_into 100k f32", "us", row_project_into_cached, "numpy.clip(out=a), same array"),
    ("Envelope4.project tuple", "ns", row_envelope4_tuple, "Governor.project"),
    ("Envelope4.project f32 array", "ns", row_envelope4_numpy, "Governor.project"),
    ("Envelope4.project, solve iterates", "ns", row_envelope4_active, "Governor.project"),
]


def print_rows(json_path: str | None) -> None:
    """Prints every row; with a path, also writes them as a JSON list of
    {path, figure, unit, baseline_name, baseline, max_ratio}."""
    written = []
    for name, unit, measure, baseline_name in ROWS:
        measured = measure()
        if measured is None:
            print(f"{name:<38s} skipped: numpy is not installed")
            continue
        ours, baseline, ratio, target = measured
        verdict = "" if target is None else f"  target <= {target:.2f} {'met' if ratio <= target else 'MISSED'}"
        print(f"{name:<38s} {ours:9.3f} {unit:<3s} {baseline_name:<31s} {baseline:9.3f} {unit:<3s}"
              f" ratio {ratio:5.2f}{verdict}")
        written.append({"path": name, "figure": ours, "unit": unit, "baseline_name": baseline_name,
                        "baseline": baseline, "max_ratio": target})
    if json_path is not None:
        with open(json_path, "w") as out:
            json.dump(written, out, indent=1)


def main(json_path: str | None = None) -> None:
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
    print_rows(json_path)


if __name__ == "__main__":
    # bench_python.py [--json FILE]: FILE receives the rows that follow the table.
    main(sys.argv[2] if sys.argv[1:2] == ["--json"] and len(sys.argv) > 2 else None)
