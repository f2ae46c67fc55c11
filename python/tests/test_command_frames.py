"""Command frames end to end: an independent model of the gate's nine checks
driven by a random mix of genuine, replayed, reordered, truncated, extended,
bit-flipped, re-keyed and re-streamed frames, restarts of either side and key
rotation; the official vectors rebuilt with hmac and struct alone; threads;
fork."""
import hmac
import json
import math
import os
import pathlib
import random
import struct
import threading
import time

import pytest

from _kelvara import Command, CommandGate, CommandSigner, Envelope, KelViolation

VECTORS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "test-vectors" / "frames.json"
REFUSALS = ["invalid_frame", "unknown_key", "unknown_stream", "authentication_failure", "replay_counter",
            "stale_frame", "non_finite_value", "outside_envelope", "step_exceeded"]
HEADER = struct.Struct("<2sBBIQHH")


def frame(key, key_id, stream_id, counter, positions, velocities, *, version=1, flags=0):
    """An independent signer: the frame built with struct and Python's hmac."""
    body = HEADER.pack(b"KF", version, key_id, stream_id, counter, len(positions), flags)
    body += b"".join(struct.pack("<dd", p, v) for p, v in zip(positions, velocities))
    return body + hmac.digest(key, body, "sha256")


def bits(values):
    return [struct.pack("<d", v) for v in values]


class ModelGate:
    """The gate's checks, in order, written from the wire format alone."""

    def __init__(self, keys, axes, streams, max_age_ns, box, row, max_step):
        self.keys, self.axes, self.streams = dict(keys), axes, set(streams)
        self.max_age_ns, self.box, self.row, self.max_step = max_age_ns, box, row, max_step
        self.last = {}  # stream -> (counter, positions) of its last admission
        self.stats = dict.fromkeys(["admitted"] + REFUSALS, 0)

    def admit(self, data):
        code, axis, command = self.judge(data)
        self.stats[code] += 1
        if code == "admitted":
            self.last[command[0]] = (command[1], command[3])
        return code, axis, command

    def judge(self, data):
        if len(data) < HEADER.size:
            return "invalid_frame", -1, None
        magic, version, key_id, stream, counter, n, flags = HEADER.unpack_from(data)
        if magic != b"KF" or version != 1 or flags or not 1 <= n <= 32 or len(data) != 52 + 16 * n or n != self.axes:
            return "invalid_frame", -1, None
        if key_id not in self.keys:
            return "unknown_key", -1, None
        if stream not in self.streams:
            return "unknown_stream", -1, None
        if not hmac.compare_digest(hmac.digest(self.keys[key_id], data[:-32], "sha256"), data[-32:]):
            return "authentication_failure", -1, None
        last = self.last.get(stream)
        if last and counter <= last[0]:
            return "replay_counter", -1, None
        if self.max_age_ns and abs(time.time_ns() - counter) > self.max_age_ns:
            return "stale_frame", -1, None
        values = struct.unpack_from(f"<{2 * n}d", data, 20)
        positions, velocities = values[0::2], values[1::2]
        for axis in range(n):
            if not (math.isfinite(positions[axis]) and math.isfinite(velocities[axis])):
                return "non_finite_value", axis, None
        lo, hi = self.box
        tolerance = 1e-9 * (1 + abs(self.row[1]))
        if any(not (lo - 1e-9 * (1 + abs(lo)) <= p <= hi + 1e-9 * (1 + abs(hi))) for p in positions) or not (
            sum(a * p for a, p in zip(self.row[0], positions)) <= self.row[1] + tolerance
        ):
            return "outside_envelope", -1, None
        if last:
            seconds = (counter - last[0]) / 1e9
            for axis in range(n):
                if not abs(positions[axis] - last[1][axis]) <= self.max_step * seconds:
                    return "step_exceeded", axis, None
        return "admitted", -1, (stream, counter, key_id, positions, velocities)


class Sender:
    """A sender on the simulated wall clock: counter max(clock, last + 1)."""

    def __init__(self, stream, key_id):
        self.stream, self.key_id, self.last, self.positions = stream, key_id, 0, [0.0] * 4

    def sign(self, keys, clock, rng):
        self.last = max(clock, self.last + 1)
        if rng.random() < 0.1:
            self.positions = [0.0] * 4
        self.positions = [p + rng.choice([-0.25, -0.125, 0.0, 0.0, 0.125, 0.25]) for p in self.positions]
        velocities = [rng.choice([0.0, 0.5, -0.5]) for _ in range(4)]
        if rng.random() < 0.05:
            (self.positions if rng.random() < 0.5 else velocities)[rng.randrange(4)] = rng.choice([math.nan, math.inf])
        key = keys.get(self.key_id, bytes(32))
        return frame(key, self.key_id, self.stream, self.last, self.positions, velocities)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_gate_matches_an_independent_model_under_a_random_mix(seed):
    rng = random.Random(seed)
    keys = {0: bytes(range(32)), 1: bytes(range(32, 64))}
    config = dict(axes=4, streams={1, 2, 4}, max_age_s=60)
    box, row, max_step = (-1.0, 1.0), ((1.0, 1.0, 0.0, 0.0), 1.2), 200.0
    envelope = Envelope([box[0]] * 4, [box[1]] * 4, [row[0]], [row[1]])

    def restart_gate():
        return CommandGate(keys, envelope=envelope, max_step_rad_s=max_step, **config), ModelGate(
            keys, 4, config["streams"], 60 * 10**9, box, row, max_step)

    gate, model = restart_gate()
    senders = [Sender(1, 0), Sender(2, 1), Sender(3, 0)]  # stream 3 is not allowed
    real = CommandSigner(keys[0], stream_id=4, axes=4, max_velocity_rad_s=1.0, key_id=0)
    clock, sent, signed, next_key_id, totals = time.time_ns(), [], [], 2, {}
    for step in range(700):
        clock += rng.choice([1, 1, 2, 3]) * 10**6
        action = rng.choices(
            ["genuine", "replay", "truncate", "extend", "flip", "rekey", "restream", "stale", "real",
             "restart_sender", "restart_gate", "rotate", "remove_key"],
            [30, 6, 2, 2, 6, 2, 3, 2, 3, 1, 1, 1, 1])[0]
        data = None
        if action == "genuine" or not signed:
            sender = rng.choices(senders, [45, 45, 10])[0]
            if sender.key_id not in keys and rng.random() < 0.3:  # the operator moves it to a key in use
                sender.key_id = rng.choice(list(keys))
            data = sender.sign(keys, clock, rng)
            signed.append(data)
        elif action == "replay":
            data = rng.choice(sent[-8:])
        elif action == "truncate":
            chosen = rng.choice(signed)
            data = chosen[: rng.randrange(len(chosen))]
        elif action == "extend":
            data = rng.choice(signed) + bytes(rng.randrange(1, 20))
        elif action == "flip":
            chosen = bytearray(rng.choice(signed))
            chosen[rng.randrange(len(chosen))] ^= 1 << rng.randrange(8)
            data = bytes(chosen)
        elif action == "rekey":
            data = frame(os.urandom(32), rng.choice(list(keys)), 1, clock, [0.0] * 4, [0.0] * 4)
        elif action == "restream":
            _, _, key_id, _, counter, n, _ = HEADER.unpack_from(signed[-1])
            values = struct.unpack_from("<8d", signed[-1], 20)
            data = frame(keys.get(key_id, bytes(32)), key_id, rng.choice([1, 2, 3, 4]), counter, values[0::2],
                         values[1::2])
        elif action == "stale":
            key_id = rng.choice(list(keys))
            data = frame(keys[key_id], key_id, 1, clock + rng.choice([-1, 1]) * 120 * 10**9, [0.0] * 4, [0.0] * 4)
        elif action == "real":
            data = real.sign([0.0, 0.125, 0.0, -0.125], [0.0] * 4)
        elif action == "restart_sender":  # a new process: its counter starts from the clock again
            index = rng.randrange(len(senders))
            senders[index] = Sender(senders[index].stream, senders[index].key_id)
        elif action == "restart_gate":
            gate, model = restart_gate()
        elif action == "rotate":  # add a key under a new id and move one sender to it
            keys[next_key_id] = os.urandom(32)
            gate.add_key(next_key_id, keys[next_key_id])
            model.keys[next_key_id] = keys[next_key_id]
            rng.choice(senders).key_id = next_key_id
            next_key_id = next_key_id + 1 if next_key_id < 255 else 2
        elif action == "remove_key" and len(keys) > 1:  # mostly a key no sender uses any more
            unused = [k for k in keys if all(k != sender.key_id for sender in senders)]
            key_id = rng.choice(unused if unused and rng.random() < 0.8 else list(keys))
            del keys[key_id], model.keys[key_id]
            gate.remove_key(key_id)
        if data is None:
            continue
        sent.append(data)
        expected, axis, command = model.admit(data)
        totals[expected] = totals.get(expected, 0) + 1
        try:
            admitted = gate.admit(data)
        except KelViolation as refusal:
            assert (refusal.violation_type, refusal.axis) == (expected, axis), (step, action)
        else:
            assert expected == "admitted", (step, action, expected)
            assert type(admitted) is Command
            got = (admitted.stream_id, admitted.counter, admitted.key_id)
            assert got == command[:3] and bits(admitted.positions) == bits(command[3])
            assert bits(admitted.velocities) == bits(command[4])
        assert gate.stats == model.stats, (step, action)
    assert totals["admitted"] > 120 and all(code in totals for code in REFUSALS), totals


def test_official_vectors_both_ways():
    vectors = json.loads(VECTORS.read_text())
    as_doubles = lambda hexes: [struct.unpack(">d", bytes.fromhex(h))[0] for h in hexes]  # noqa: E731
    gates = {}
    for case in vectors["cases"]:
        key, axes = bytes.fromhex(case["key"]), case["axes"]
        positions, velocities = as_doubles(case["positions_bits"]), as_doubles(case["velocities_bits"])
        rebuilt = frame(key, case["key_id"], case["stream_id"], case["counter"], positions, velocities)
        assert rebuilt.hex() == case["frame"]
        keyring = {c["key_id"]: bytes.fromhex(c["key"]) for c in vectors["cases"]}
        streams = {c["stream_id"] for c in vectors["cases"]}
        gate = gates.setdefault(axes, CommandGate(keyring, axes=axes, streams=streams, max_age_s=None))
        command = gate.admit(rebuilt)
        assert (command.stream_id, command.counter, command.key_id) == (case["stream_id"], case["counter"],
                                                                         case["key_id"])
        assert bits(command.positions) == bits(positions) and bits(command.velocities) == bits(velocities)

    seen = set()
    for negative in vectors["negative_cases"]:
        state = negative["gate"]
        envelope = None
        if state["envelope"]:
            e = state["envelope"]
            envelope = Envelope(as_doubles(e["min_bound_bits"]), as_doubles(e["max_bound_bits"]),
                                [as_doubles(r) for r in e["rows_bits"]], as_doubles(e["limits_bits"]))
        step = state["max_step_rad_s_bits"] and as_doubles(state["max_step_rad_s_bits"])
        # The gate's clock is this machine's: a frame stale against now_nanos is older still against it.
        gate = CommandGate({int(k): bytes.fromhex(v) for k, v in state["keys"].items()}, axes=state["axes"],
                           streams=state["streams"], max_age_s=state["max_age_nanos"] / 1e9 or None,
                           envelope=envelope, max_step_rad_s=step)
        for before in state["admitted_before"]:
            gate.admit(bytes.fromhex(before))
        with pytest.raises(KelViolation) as refused:
            gate.admit(bytes.fromhex(negative["frame"]))
        assert refused.value.violation_type == negative["refusal"], negative["what"]
        assert gate.stats[negative["refusal"]] == 1 and gate.stats["admitted"] == len(state["admitted_before"])
        seen.add(negative["refusal"])
    assert len(vectors["cases"]) >= 12 and len(vectors["negative_cases"]) >= 12 and seen == set(REFUSALS)


def test_threads_admit_each_frame_exactly_once():
    key = bytes(range(32))
    gate, threads, frames = CommandGate({0: key}, axes=7, streams=[5], max_age_s=None), 4, 150
    admitted, start = [], threading.Barrier(threads)

    def work():
        for i in range(frames):
            start.wait()  # every thread offers the same frame at once
            try:
                admitted.append(gate.admit(frame(key, 0, 5, i + 1, [0.0] * 7, [0.0] * 7)).counter)
            except KelViolation as refusal:
                assert refusal.violation_type == "replay_counter"

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert sorted(admitted) == list(range(1, frames + 1))
    assert gate.stats["admitted"] == frames and gate.stats["replay_counter"] == frames * (threads - 1)


def test_signer_and_gate_refuse_to_work_after_fork():
    key = bytes(32)
    signer = CommandSigner(key, stream_id=1, axes=2, max_velocity_rad_s=1.0)
    gate = CommandGate({0: key}, axes=2, streams=[1])
    data = signer.sign([0.0, 0.0], [0.0, 0.0])
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        outcome = []
        for call in (lambda: signer.sign([0.0, 0.0], [0.0, 0.0]), lambda: gate.admit(data)):
            try:
                call()
                outcome.append("worked")
            except RuntimeError as error:
                outcome.append(str(error))
        os.write(write, "\n".join(outcome).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        child = pipe.read().split("\n")
    os.waitpid(pid, 0)
    assert child == [
        "CommandSigner was created in another process; after fork, create a new CommandSigner in this process",
        "CommandGate was created in another process; after fork, create a new CommandGate in this process",
    ]
    assert gate.admit(data).counter == struct.unpack_from("<Q", data, 8)[0]  # the parent's are unaffected


def test_signing_admitting_and_refusing_do_not_leak(assert_no_leak):
    key = bytes(range(32))
    signer = CommandSigner(key, stream_id=1, axes=7, max_velocity_rad_s=[1.0] * 7, rate_limit=10**6)
    gate = CommandGate({0: key}, axes=7, streams=[1], max_step_rad_s=1e9)

    def calls():
        data = signer.sign([0.5] * 7, [0.25] * 7)
        command = gate.admit(data)
        command.positions, command.velocities, repr(command), gate.stats
        for call in (lambda: gate.admit(data), lambda: gate.admit(data[:-1]), lambda: signer.sign([0.0] * 7, [2.0] * 7),
                     lambda: signer.sign([0.0] * 6, [0.0] * 7), lambda: gate.remove_key(9),
                     lambda: CommandGate({0: b"short"}, axes=7, streams=[1])):
            try:
                call()
            except (KelViolation, ValueError):
                pass

    assert_no_leak(calls, rounds=5000)
