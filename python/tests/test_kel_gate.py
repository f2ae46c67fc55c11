import copy
import hashlib
import hmac
import json
import pathlib
import pickle
import struct
import threading
import time

import pytest

from _kelvara import KelBoundary, KelGate, KelReceipt, KelViolation

from conftest import raises_text

KEY = bytes(range(7, 39))
VECTORS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "test-vectors" / "receipts.json"


def sign(key, nonce, timestamp, sequence_id, axis, position, velocity):
    """An independent signer: the wire format built with struct and Python's hmac."""
    ident = f"axis_{axis}".encode()
    message = (
        nonce
        + struct.pack("<QQQ", timestamp, sequence_id, len(ident))
        + ident
        + struct.pack("<Q", 16)
        + struct.pack("<dd", position, velocity)
    )
    tag = hmac.digest(key, message, "sha256")
    return nonce + struct.pack("<QQ", timestamp, sequence_id) + tag, message


def refusal(gate, *command):
    with pytest.raises(KelViolation) as info:
        gate.admit(*command)
    return info.value


def test_a_senders_stream_is_admitted_in_order_and_every_tampering_refused():
    boundary, gate = KelBoundary(rate_limit=10**9, hmac_key=KEY), KelGate(KEY)
    assert gate.last_sequence_id == 0
    sent = []
    for i in range(40):
        command = (i % 5 - 2, 0.1 * i, -1.0 if i % 2 else 1.0)
        sent.append((boundary.authorize_action(*command).receipt_hash, *command))
    for raw, axis, position, velocity in sent[:-1]:
        admitted = gate.admit(raw, axis, position, velocity)
        assert type(admitted) is KelReceipt and admitted.is_authorized is True
        assert admitted.receipt_hash == raw and admitted.verify(KEY)
        assert admitted.sequence_id == gate.last_sequence_id == struct.unpack_from("<Q", raw, 20)[0]
        assert admitted.timestamp_nanos == struct.unpack_from("<Q", raw, 12)[0]

    raw, axis, position, velocity = sent[-1]
    tampered = {
        "replay_counter": [sent[0], sent[-2]],  # replayed, and the newest again
        "authentication_failure": [
            (raw[:40] + bytes([raw[40] ^ 1]) + raw[41:], axis, position, velocity),  # tag
            (bytes([raw[0] ^ 0x80]) + raw[1:], axis, position, velocity),  # nonce
            (raw[:12] + bytes([raw[12] ^ 1]) + raw[13:], axis, position, velocity),  # timestamp
            (raw, axis + 1, position, velocity),
            (raw, axis, position + 1e-12, velocity),
            (raw, axis, position, -velocity),
            (sign(bytes(32), raw[:12], 1, 10**6, axis, position, velocity)[0], axis, position, velocity),
        ],
        "replay_nonce": [(sign(KEY, sent[5][0][:12], 1, 10**6, axis, position, velocity)[0], axis, position, velocity)],
    }
    for code, cases in tampered.items():
        for case in cases:
            refused = refusal(gate, *case)
            assert (refused.axis, refused.violation_type) == (case[1], code)
    assert gate.last_sequence_id == 39  # refusals change nothing
    assert gate.admit(raw, axis, position, velocity).sequence_id == 40
    assert refusal(KelGate(bytes(32)), *sent[0]).violation_type == "authentication_failure"  # wrong key
    # Every outcome counted at its code, in the order of the checks, zeros included.
    assert list(gate.stats.items()) == [
        ("admitted", 40), ("invalid_receipt", 0), ("replay_counter", 2), ("replay_nonce", 1),
        ("authentication_failure", 7), ("stale_receipt", 0),
    ]
    assert boundary.stats == {"authorized": 40, "velocity_exceeded": 0, "rate_limited": 0, "replay_nonce": 0}


def test_wrong_length_and_stale_receipts():
    gate = KelGate(KEY, max_age_s=1.0)
    for raw in (b"", bytes(59), bytes(61)):
        refused = refusal(gate, raw, -3, 0.0, 0.0)
        assert (refused.axis, refused.violation_type, refused.message) == (-3, "invalid_receipt", "receipt is malformed")
    now = time.time_ns()
    old = sign(KEY, b"o" * 12, now - 5 * 10**9, 1, 2, 0.0, 0.0)[0]
    ahead = sign(KEY, b"a" * 12, now + 5 * 10**9, 1, 2, 0.0, 0.0)[0]
    stale = refusal(gate, old, 2, 0.0, 0.0)
    assert stale.violation_type == "stale_receipt"
    assert stale.message.startswith("receipt is 5.") and stale.message.endswith(" s old, beyond max_age_s 1 s")
    assert "ahead of the gate's clock" in refusal(gate, ahead, 2, 0.0, 0.0).message
    assert gate.last_sequence_id == 0
    assert gate.admit(sign(KEY, b"n" * 12, now, 1, 2, 0.0, 0.0)[0], 2, 0.0, 0.0).sequence_id == 1
    assert KelGate(KEY).admit(old, 2, 0.0, 0.0).sequence_id == 1  # no freshness check by default
    assert gate.stats == {"admitted": 1, "invalid_receipt": 3, "replay_counter": 0, "replay_nonce": 0,
                          "authentication_failure": 0, "stale_receipt": 2}
    # The smallest limit still checks freshness: it never rounds down to "off".
    assert refusal(KelGate(KEY, max_age_s=1e-12), old, 2, 0.0, 0.0).violation_type == "stale_receipt"


def test_construction_and_argument_errors():
    class KeyBytes(bytes):
        pass

    KelGate(KeyBytes(KEY))
    KelGate(hmac_key=KEY, max_age_s=None)
    KelGate(KEY, max_age_s=2)
    assert raises_text(TypeError, KelGate) == "KelGate.__new__() missing 1 required positional argument: 'hmac_key'"
    assert raises_text(TypeError, KelGate, KEY, 1.0).startswith("KelGate.__new__() takes")
    for key in (None, bytearray(KEY), KEY.hex(), memoryview(KEY)):
        assert raises_text(TypeError, KelGate, key).startswith("argument 'hmac_key': ")
    for key in (KEY[:31], KEY + b"\0", b""):
        assert raises_text(ValueError, KelGate, key) == "hmac_key must be exactly 32 bytes"
    for age in (0, -1.0, float("nan"), float("inf"), -float("inf")):
        assert raises_text(ValueError, KelGate, KEY, max_age_s=age).startswith("max_age_s must be")
    assert raises_text(TypeError, KelGate, KEY, max_age_s="1").startswith("argument 'max_age_s': ")

    gate = KelGate(KEY)
    assert raises_text(TypeError, gate.admit, bytearray(60), 0, 0.0, 0.0).startswith("argument 'receipt_hash': ")
    assert raises_text(OverflowError, gate.admit, bytes(60), 2**31, 0.0, 0.0) == "number too large to fit in target type"
    assert raises_text(TypeError, gate.admit, bytes(60), 0, "x", 0.0).startswith("argument 'requested_position': ")
    assert raises_text(TypeError, gate.admit, bytes(60), 0, 0.0) == (
        "KelGate.admit() missing 1 required positional argument: 'commanded_velocity'"
    )
    assert refusal(gate, bytes(60), 0, 0.0, 0.0).violation_type == "replay_counter"  # sequence id 0
    for attribute in ("last_sequence_id", "stats"):
        with pytest.raises(AttributeError):
            setattr(gate, attribute, {})
    gate.stats["admitted"] = 7  # a new dict every time: changing one changes nothing
    assert gate.stats["admitted"] == 0
    for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            duplicate(gate)
    with pytest.raises(TypeError):

        class Derived(KelGate):
            pass


def test_official_vectors_verify_both_ways():
    vectors = json.loads(VECTORS.read_text())
    cases = vectors["cases"]
    assert len(cases) >= 16
    as_double = lambda bits: struct.unpack("<d", bytes.fromhex(bits)[::-1])[0]

    def command(case):
        return case["target_axis"], as_double(case["requested_position_bits"]), as_double(case["commanded_velocity_bits"])

    def gate_before(index):
        """A gate with the case's key that has admitted the earlier cases of that key."""
        key = bytes.fromhex(cases[index]["key"])
        gate = KelGate(key)
        for earlier in cases[:index]:
            if earlier["key"] == cases[index]["key"]:
                gate.admit(bytes.fromhex(earlier["receipt"]), *command(earlier))
        return gate

    for index, case in enumerate(cases):
        key, receipt = bytes.fromhex(case["key"]), bytes.fromhex(case["receipt"])
        # Independently: struct and Python's hmac give the same message and receipt.
        rebuilt, message = sign(key, bytes.fromhex(case["nonce"]), case["timestamp_nanos"], case["sequence_id"], *command(case))
        assert message.hex() == case["signed_message"] and rebuilt == receipt
        # And the gate admits it.
        assert gate_before(index).admit(receipt, *command(case)).sequence_id == case["sequence_id"]

    for negative in vectors["negative_cases"]:
        gate = gate_before(negative["alters_case"])
        altered = (negative["target_axis"], as_double(negative["requested_position_bits"]), as_double(negative["commanded_velocity_bits"]))
        assert refusal(gate, bytes.fromhex(negative["receipt"]), *altered).violation_type == negative["refusal"]
        original = cases[negative["alters_case"]]
        assert gate.admit(bytes.fromhex(original["receipt"]), *command(original)).is_authorized


def test_threads_admit_each_receipt_exactly_once():
    boundary, gate = KelBoundary(rate_limit=10**9, hmac_key=KEY), KelGate(KEY)
    # Gaps are allowed, so receipts admitted out of order by racing threads may
    # be refused as replays; what must hold is that no receipt is admitted twice.
    receipts = [(boundary.authorize_action(1, float(i), 0.0).receipt_hash, 1, float(i), 0.0) for i in range(2000)]
    admitted, start = [], threading.Barrier(4)

    def work():
        start.wait()
        for case in receipts:
            try:
                admitted.append(gate.admit(*case).sequence_id)
            except KelViolation:
                pass

    workers = [threading.Thread(target=work) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert len(admitted) == len(set(admitted)) and gate.last_sequence_id == max(admitted)
    stats = gate.stats  # exact under threads: every call counted once, at its outcome
    assert stats["admitted"] == len(admitted) and sum(stats.values()) == 4 * len(receipts)


def test_admissions_and_refusals_do_not_leak(assert_no_leak):
    boundary, gate, stale_gate = KelBoundary(rate_limit=10**9, hmac_key=KEY), KelGate(KEY), KelGate(KEY, max_age_s=1)
    old = sign(KEY, b"s" * 12, 1, 2**62, 0, 0.0, 0.0)[0]

    def calls():
        raw = boundary.authorize_action(0, 0.5, 0.5).receipt_hash
        gate.admit(raw, 0, 0.5, 0.5).verify(KEY)
        for case in ((raw, 0, 0.5, 0.5), (raw, 1, 0.5, 0.5), (b"short", 0, 0.0, 0.0), (bytearray(60), 0, 0.0, 0.0),
                     (raw, 2**31, 0.0, 0.0)):
            try:
                gate.admit(*case)
            except (KelViolation, TypeError, OverflowError):
                pass
        try:
            stale_gate.admit(old, 0, 0.0, 0.0)
        except KelViolation:
            pass
        try:
            KelGate(b"short")
        except ValueError:
            pass
        gate.last_sequence_id
        gate.stats

    assert_no_leak(calls, rounds=12500)  # 100,000 admissions and refusals


def test_boundary_and_gate_refuse_to_work_after_fork():
    import os

    from _kelvara import MonotonicCounter

    boundary, gate, counter = KelBoundary(hmac_key=KEY), KelGate(KEY), MonotonicCounter()
    raw = boundary.authorize_action(0, 0.0, 0.0).receipt_hash
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child reports what it saw through the pipe, then leaves at once
        outcome = []
        for call in (lambda: boundary.authorize_action(0, 0.0, 0.0), lambda: gate.admit(raw, 0, 0.0, 0.0)):
            try:
                call()
                outcome.append("worked")
            except RuntimeError as error:
                outcome.append(str(error))
        outcome.append(str(counter.next_value()))
        os.write(write, "\n".join(outcome).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        child = pipe.read().split("\n")
    os.waitpid(pid, 0)
    assert child == [
        "KelBoundary was created in another process; after fork, create a new KelBoundary in this process",
        "KelGate was created in another process; after fork, create a new KelGate in this process",
        "1",  # a counter keeps counting in both processes
    ]
    assert gate.admit(raw, 0, 0.0, 0.0).sequence_id == 1  # the parent's objects are unaffected
    assert boundary.authorize_action(0, 0.0, 0.0).sequence_id == 2 and counter.next_value() == 1
