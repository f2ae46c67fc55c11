"""Per-call costs of the module's hot paths against baselines measured in the same run.

Prints medians of repeated timings (nanoseconds per call or per element) and the
ratio to each baseline. The machine is shared: read the ratios, not single figures.
"""

from __future__ import annotations

import array
import collections
import functools
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

from _kelvara import CommandGate, CommandSigner, Envelope, Envelope4, Governor, KelBoundary, KelGate, MonotonicCounter

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


def signed_message(nonce: bytes, timestamp: int, sequence_id: int, axis: int, position: float, velocity: float) -> bytes:
    ident = f"axis_{axis}".encode()
    return (nonce + struct.pack("<QQQ", timestamp, sequence_id, len(ident)) + ident + struct.pack("<Q", 16)
            + struct.pack("<dd", position, velocity))


class PureReplayMemory:
    """The replay memory in Python: last sequence id, and the last 1024 nonces in a
    deque with a set beside it for lookups."""

    def __init__(self) -> None:
        self.last_sequence_id = 0
        self.order: collections.deque[bytes] = collections.deque()
        self.nonces: set[bytes] = set()

    def check(self, sequence_id: int, nonce: bytes) -> None:
        if sequence_id <= self.last_sequence_id:
            raise ValueError("replay_counter")
        if nonce in self.nonces:
            raise ValueError("replay_nonce")

    def remember(self, sequence_id: int, nonce: bytes) -> None:
        self.last_sequence_id = sequence_id
        self.order.append(nonce)
        self.nonces.add(nonce)
        if len(self.order) > 1024:
            self.nonces.discard(self.order.popleft())


class PurePythonBoundary:
    """KelBoundary's authorization written in Python: the same checks, time.time_ns,
    os.urandom(12), hmac.digest twice (sign, then the replay check's tag check),
    the same message layout, under a lock."""

    def __init__(self, key: bytes, rate_limit: int = 10**9, max_velocity: float = 4.18) -> None:
        self.key, self.rate_limit, self.max_velocity = key, rate_limit, max_velocity
        self.lock = threading.Lock()
        self.window_start, self.window_count = time.time_ns(), 0
        self.sequence = 0
        self.memory = PureReplayMemory()

    def authorize_action(self, axis: int, position: float, velocity: float) -> bytes:
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
            seq, nonce = self.sequence, os.urandom(12)
            message = signed_message(nonce, now, seq, axis, position, velocity)
            tag = hmac.digest(self.key, message, "sha256")
            self.memory.check(seq, nonce)
            if not hmac.compare_digest(tag, hmac.digest(self.key, message, "sha256")):
                raise ValueError("authentication_failure")
            self.memory.remember(seq, nonce)
        return nonce + struct.pack("<QQ", now, seq) + tag


class PurePythonGate:
    """KelGate.admit written in Python: hmac.digest, hmac.compare_digest, deque + set."""

    def __init__(self, key: bytes) -> None:
        self.key = key
        self.lock = threading.Lock()
        self.memory = PureReplayMemory()

    def admit(self, receipt: bytes, axis: int, position: float, velocity: float) -> int:
        if len(receipt) != 60:
            raise ValueError("invalid_receipt")
        nonce = receipt[:12]
        timestamp, seq = struct.unpack_from("<QQ", receipt, 12)
        with self.lock:
            self.memory.check(seq, nonce)
            expected = hmac.digest(self.key, signed_message(nonce, timestamp, seq, axis, position, velocity), "sha256")
            if not hmac.compare_digest(expected, receipt[28:]):
                raise ValueError("authentication_failure")
            self.memory.remember(seq, nonce)
        return seq


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


def paired(ours, baseline, number: int) -> tuple[float, float]:
    """Median ns per call of each, their timings interleaved so that both see the
    same machine."""
    timers = timeit.Timer(ours), timeit.Timer(baseline)
    runs: tuple[list[float], list[float]] = ([], [])
    for _ in range(REPEATS):
        for timer, out in zip(timers, runs):
            out.append(timer.timeit(number) / number * 1e9)
    return statistics.median(runs[0]), statistics.median(runs[1])


KEY = bytes(range(32))
FULL = 1100  # receipts admitted before timing: the 1024-nonce memory is full


def row_authorize() -> Row:
    """ns: KelBoundary.authorize_action with its nonce memory full and a rate
    limit that never refuses, against the same authorization in Python."""
    ours, theirs = KelBoundary(rate_limit=10**12, hmac_key=KEY), PurePythonBoundary(KEY, rate_limit=10**12)
    for _ in range(FULL):
        ours.authorize_action(1, 0.5, 1.0), theirs.authorize_action(1, 0.5, 1.0)
    return row(*paired(lambda: ours.authorize_action(1, 0.5, 1.0), lambda: theirs.authorize_action(1, 0.5, 1.0),
                       20_000), 0.15)


def row_authorize_tail() -> Row:
    """ns: the 99th percentile of single authorize_action calls against their
    median: the worst case of a control loop's call, not just its typical one."""
    boundary = KelBoundary(rate_limit=10**12, hmac_key=KEY)
    authorize, clock = boundary.authorize_action, time.perf_counter_ns
    for _ in range(FULL):
        authorize(1, 0.5, 1.0)
    samples = []
    for _ in range(200_000):
        started = clock()
        authorize(1, 0.5, 1.0)
        samples.append(clock() - started)
    samples.sort()
    return row(samples[int(0.99 * len(samples))], samples[len(samples) // 2], 2.0)


def row_admit() -> Row:
    """ns: KelGate.admit of a fresh receipt with the nonce memory full, against
    the same gate in Python (hmac.digest, hmac.compare_digest, deque and set)."""
    sender = KelBoundary(rate_limit=10**12, hmac_key=KEY)
    number = 20_000
    stream = [sender.authorize_action(2, 0.25, 0.5).receipt_hash for _ in range(FULL + REPEATS * number)]
    ours, theirs = KelGate(KEY), PurePythonGate(KEY)
    for raw in stream[:FULL]:
        ours.admit(raw, 2, 0.25, 0.5), theirs.admit(raw, 2, 0.25, 0.5)
    ours_next, theirs_next = iter(stream[FULL:]).__next__, iter(stream[FULL:]).__next__
    ours_admit, theirs_admit = ours.admit, theirs.admit
    return row(*paired(lambda: ours_admit(ours_next(), 2, 0.25, 0.5), lambda: theirs_admit(theirs_next(), 2, 0.25, 0.5),
                       number), 0.3)


def row_verify() -> Row:
    """ns: KelReceipt.verify against one hmac.digest of the same 66-byte message."""
    receipt = KelBoundary(hmac_key=KEY).authorize_action(3, 0.5, 1.0)
    raw = receipt.receipt_hash
    timestamp, seq = struct.unpack_from("<QQ", raw, 12)
    message = signed_message(raw[:12], timestamp, seq, 3, 0.5, 1.0)
    assert hmac.digest(KEY, message, "sha256") == raw[28:]
    verify, digest = receipt.verify, hmac.digest
    return row(*paired(lambda: verify(KEY), lambda: digest(KEY, message, "sha256"), 50_000), 0.2)


def row_project() -> Row:
    """ns: Governor.project(x) against math.fabs(x)."""
    project, fabs, x = Governor(-1.0, 1.0).project, math.fabs, 0.3
    return row(*paired(lambda: project(x), lambda: fabs(x), 200_000), 1.1)


def row_next_value() -> Row:
    """ns: MonotonicCounter.next_value() against itertools.count().__next__:
    both make a new int for each value."""
    return row(*paired(MonotonicCounter().next_value, itertools.count().__next__, 200_000), 1.0)


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
               per_call(lambda: np.clip(theirs, -1.0, 1.0, out=theirs), 50) * 1e-6)


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


# A seven-joint arm: +-2.5 rad, joint 3 locked, an elbow row and a row coupling
# wrist and shoulder, so that most commands are moved onto one or two rows.
ARM = Envelope([-2.5, -2.5, -2.5, 0.4, -2.5, -2.5, -2.5], [2.5, 2.5, 2.5, 0.4, 2.5, 2.5, 2.5],
               rows=[(0, 1, 1, 0, 0, 0, 0), (1, 0, 0, 0, 0, 0.5, -1)], limits=[1.2, 1.0])
ARM_COMMAND = (0.3, 1.4, 0.9, -2.0, 0.0, 0.5, -0.6)  # moved onto both rows
# The allowance for Python's part of Envelope.project: binding, reading the
# command, the result object.
PYTHON_ALLOWANCE_NS = 150.0


def arm_commands(k: int) -> array.array[float]:
    """k commands for ARM, uniform in [-3, 3] per joint, from a fixed seed."""
    state, values = 12345, array.array("d")
    for _ in range(k * ARM.axes):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        values.append(((state >> 11) / 2**53 - 0.5) * 6.0)
    return values


def rows_view(values: array.array[float]) -> memoryview:
    return memoryview(values).cast("B").cast("d", [len(values) // ARM.axes, ARM.axes])


def row_envelope_project() -> Row:
    """ns: Envelope.project of a tuple, seven joints, moved onto two rows, against
    the C solve of the same command; the target allows the C solve plus 150 ns.
    The C solve alone is project_into over many fresh copies of the command (the
    copying untimed) divided by their number: the batch loop adds only a scan
    for NaN per row. The two are timed interleaved, in many short timings so
    that the median escapes the other programs' turns on a shared machine; the
    call is a functools.partial, so no Python frame is counted."""
    assert ARM.project(ARM_COMMAND).ok
    copies, calls = 1_000, 1_000
    source = array.array("d", ARM_COMMAND * copies)
    project = functools.partial(ARM.project, ARM_COMMAND)
    timer = timeit.Timer(project)
    python_runs, c_runs = [], []
    for _ in range(301):
        python_runs.append(timer.timeit(calls) / calls * 1e9)
        fresh = rows_view(array.array("d", source))
        start = time.perf_counter()
        ARM.project_into(fresh)
        c_runs.append((time.perf_counter() - start) / copies * 1e9)
    figure, c_ns = statistics.median(python_runs), statistics.median(c_runs)
    return row(figure, c_ns, (c_ns + PYTHON_ALLOWANCE_NS) / c_ns)


def row_envelope_project_into() -> Row:
    """ns per command: Envelope.project_into of 100,000 fresh seven-joint
    commands in one (100000, 7) float64 buffer with statuses, against
    Envelope.project called on each of them in a Python loop."""
    source = arm_commands(100_000)
    statuses = bytearray(100_000)
    ours = per_call_fresh(lambda values: ARM.project_into(rows_view(values), statuses),
                          lambda: array.array("d", source), repeats=11)
    commands = [tuple(source[r * ARM.axes:(r + 1) * ARM.axes]) for r in range(100_000)]
    project = ARM.project
    loop = per_call_fresh(lambda _: [project(c) for c in commands], lambda: None, repeats=5)
    return row(ours / 100_000 * 1e9, loop / 100_000 * 1e9)


FRAME_HEADER = struct.Struct("<2sBBIQHH")
JOINTS = 7
TICK_POSITIONS = (0.0, -0.5, 1.2, 0.0, 0.3, -1.57, 0.0)
TICK_VELOCITIES = (0.1, 0.0, -0.2, 0.0, 0.0, 0.05, 0.0)
MAX_AGE_NS = 60 * 10**9


def pure_frame(key: bytes, stream: int, counter: int) -> bytes:
    body = FRAME_HEADER.pack(b"KF", 1, 0, stream, counter, JOINTS, 0)
    body += b"".join(struct.pack("<dd", p, v) for p, v in zip(TICK_POSITIONS, TICK_VELOCITIES))
    return body + hmac.digest(key, body, "sha256")


class PurePythonFrameGate:
    """CommandGate.admit written in Python: struct, hmac.digest,
    hmac.compare_digest and a dict of counters per stream, under a lock; the
    structure, key, stream, tag, counter, freshness and finiteness checks."""

    def __init__(self, keys: dict[int, bytes], axes: int, streams: list[int]) -> None:
        self.keys, self.axes = keys, axes
        self.last = dict.fromkeys(streams, 0)
        self.values = struct.Struct(f"<{2 * axes}d")
        self.lock = threading.Lock()

    def admit(self, frame: bytes) -> tuple[int, int, int, tuple[float, ...], tuple[float, ...]]:
        if len(frame) < 20:
            raise ValueError("invalid_frame")
        magic, version, key_id, stream, counter, n, flags = FRAME_HEADER.unpack_from(frame)
        if magic != b"KF" or version != 1 or flags or n != self.axes or len(frame) != 52 + 16 * n:
            raise ValueError("invalid_frame")
        key = self.keys.get(key_id)
        if key is None:
            raise ValueError("unknown_key")
        if stream not in self.last:
            raise ValueError("unknown_stream")
        if not hmac.compare_digest(hmac.digest(key, frame[:-32], "sha256"), frame[-32:]):
            raise ValueError("authentication_failure")
        values = self.values.unpack_from(frame, 20)
        with self.lock:
            if counter <= self.last[stream]:
                raise ValueError("replay_counter")
            if abs(time.time_ns() - counter) > MAX_AGE_NS:
                raise ValueError("stale_frame")
            if not all(map(math.isfinite, values)):
                raise ValueError("non_finite_value")
            self.last[stream] = counter
        return stream, counter, key_id, values[0::2], values[1::2]


def row_frame_round_trip() -> Row:
    """ns per tick, seven joints: CommandSigner.sign and CommandGate.admit of
    one frame, against seven KelBoundary.authorize_action and seven KelGate.admit,
    the per-axis way to move the same seven joints."""
    signer = CommandSigner(KEY, stream_id=1, axes=JOINTS, max_velocity_rad_s=4.18, rate_limit=1_000_000)
    gate = CommandGate({0: KEY}, axes=JOINTS, streams=[1], max_age_s=60)
    boundary, receipts = KelBoundary(rate_limit=10**12, hmac_key=KEY), KelGate(KEY, max_age_s=60)
    sign, admit, authorize, admit_receipt = signer.sign, gate.admit, boundary.authorize_action, receipts.admit
    for _ in range(FULL):  # the receipt gate's nonce memory full, as in a long run
        admit_receipt(authorize(0, 0.5, 0.1).receipt_hash, 0, 0.5, 0.1)

    def frame_tick() -> None:
        admit(sign(TICK_POSITIONS, TICK_VELOCITIES))

    def receipt_tick() -> None:
        for axis in range(JOINTS):
            p, v = TICK_POSITIONS[axis], TICK_VELOCITIES[axis]
            admit_receipt(authorize(axis, p, v).receipt_hash, axis, p, v)

    return row(*paired(frame_tick, receipt_tick, 4_000), 0.3)


def row_frame_admit() -> Row:
    """ns: CommandGate.admit of a fresh seven-joint frame, against the same
    gate in Python (struct, hmac.digest, hmac.compare_digest, dict of counters)."""
    number = 20_000
    start = time.time_ns()
    stream = [pure_frame(KEY, 1, start + i) for i in range(REPEATS * number)]
    ours = CommandGate({0: KEY}, axes=JOINTS, streams=[1], max_age_s=MAX_AGE_NS / 1e9)
    theirs = PurePythonFrameGate({0: KEY}, JOINTS, [1])
    assert ours.admit(stream[0]).positions == theirs.admit(stream[0])[3] == TICK_POSITIONS
    ours_next, theirs_next = iter(stream[1:]).__next__, iter(stream[1:]).__next__
    ours_admit, theirs_admit = ours.admit, theirs.admit
    return row(*paired(lambda: ours_admit(ours_next()), lambda: theirs_admit(theirs_next()), number - 1), 0.2)


# The rows with a target are the ones make bench holds to; project_into's aim of
# half numpy.clip is shown beside the single read that bounds it.
ROWS = [
    ("KelBoundary.authorize_action", "ns", row_authorize, "pure-Python boundary"),
    ("KelBoundary.authorize_action p99", "ns", row_authorize_tail, "its own median"),
    ("KelGate.admit", "ns", row_admit, "pure-Python gate"),
    ("KelReceipt.verify", "ns", row_verify, "hmac.digest(key, message, 'sha256')"),
    ("CommandSigner.sign + CommandGate.admit, 7 axes", "ns", row_frame_round_trip, "7 authorize + 7 KelGate.admit"),
    ("CommandGate.admit, 7 axes", "ns", row_frame_admit, "pure-Python frame gate"),
    ("Governor.project(x)", "ns", row_project, "math.fabs(x)"),
    ("MonotonicCounter.next_value()", "ns", row_next_value, "itertools.count().__next__"),
    ("Governor.project_batch 1M list", "ms", row_project_batch_list, "array('f', values).tolist()"),
    ("Governor.project_batch 1M list inside", "ms", row_project_batch_list_inside, "array('f', values).tolist()"),
    ("Envelope4.project tuple", "ns", row_envelope4_tuple, "Governor.project"),
    ("Envelope4.project f32 array", "ns", row_envelope4_numpy, "Governor.project"),
    ("Envelope4.project, solve iterates", "ns", row_envelope4_active, "Governor.project"),
    ("Envelope.project n=7, two rows active", "ns", row_envelope_project, "C solve, same command"),
    ("Envelope.project_into 100k x 7", "ns/cmd", row_envelope_project_into, "Envelope.project in a loop"),
    ("Governor.project_into 1M f32 (aim 0.5)", "ms", row_project_into, "numpy.clip(out=a), same array"),
    ("Governor.project_into 1M f32 fresh", "ms", row_project_into_fresh, "numpy.clip(out=a), fresh"),
    ("numpy max 1M f32 (one read)", "ms", row_read_once, "numpy.clip(out=a), same array"),
    ("Governor.project_into 100k f32", "us", row_project_into_cached, "numpy.clip(out=a), same array"),
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
        if unit == "ns/cmd":
            print(f"{'':<38s} {1e3 / ours:9.3f} million commands/s")
        written.append({"path": name, "figure": ours, "unit": unit, "baseline_name": baseline_name,
                        "baseline": baseline, "max_ratio": target})
    if json_path is not None:
        with open(json_path, "w") as out:
            json.dump(written, out, indent=1)


def main(json_path: str | None = None) -> None:
    print(f"medians of {REPEATS} timings; ratio = ours / baseline (lower is better)")
    print_rows(json_path)


if __name__ == "__main__":
    # bench_python.py [--json FILE]: FILE receives the rows that follow the table.
    main(sys.argv[2] if sys.argv[1:2] == ["--json"] and len(sys.argv) > 2 else None)
