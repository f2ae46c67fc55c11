"""The C library libkelvara and the module are two faces of one wire format:
receipts signed by either side are admitted by the other under the same key,
refused under another, and both name each refusal with the same code.

KELVARA_C_LIBRARY names the libkelvara.so to load (scripts/run-tests.sh sets
it); without it these tests are skipped."""

import ctypes
import os

import pytest

import _kelvara
from _kelvara import KelBoundary, KelGate, KelViolation

LIBRARY = os.environ.get("KELVARA_C_LIBRARY")
pytestmark = pytest.mark.skipif(not LIBRARY, reason="KELVARA_C_LIBRARY names no libkelvara.so")

KEY = bytes(range(100, 132))
OTHER_KEY = bytes(32)
RECEIPT = ctypes.c_uint8 * 60
OK, REPLAY_COUNTER, AUTHENTICATION_FAILURE, VELOCITY_EXCEEDED, RATE_LIMITED = 0, 7, 6, 10, 11


@pytest.fixture(scope="module")
def lib():
    lib = ctypes.CDLL(LIBRARY)
    signatures = {
        "kelvara_boundary_new": (ctypes.c_void_p, [ctypes.c_uint64, ctypes.c_double, ctypes.c_char_p]),
        "kelvara_boundary_authorize": (
            ctypes.c_int32,
            [ctypes.c_void_p, ctypes.c_int32, ctypes.c_double, ctypes.c_double, RECEIPT],
        ),
        "kelvara_boundary_free": (None, [ctypes.c_void_p]),
        "kelvara_gate_size": (ctypes.c_size_t, []),
        "kelvara_gate_init": (ctypes.c_int32, [ctypes.c_void_p, ctypes.c_char_p]),
        "kelvara_gate_admit": (
            ctypes.c_int32,
            [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32, ctypes.c_double, ctypes.c_double],
        ),
        "kelvara_gate_last_sequence_id": (ctypes.c_uint64, [ctypes.c_void_p]),
        "kelvara_gate_clear": (None, [ctypes.c_void_p]),
        "kelvara_error_code": (ctypes.c_char_p, [ctypes.c_int32]),
        "kelvara_error_message": (ctypes.c_char_p, [ctypes.c_int32]),
        "kelvara_version": (ctypes.c_char_p, []),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


class CBoundary:
    def __init__(self, lib, key, rate_limit=10**6, max_velocity=4.18):
        self.lib, self.handle = lib, lib.kelvara_boundary_new(rate_limit, max_velocity, key)
        assert self.handle

    def authorize(self, axis, position, velocity):
        """The receipt's bytes, or the result code of the refusal."""
        receipt = RECEIPT()
        result = self.lib.kelvara_boundary_authorize(self.handle, axis, position, velocity, receipt)
        return bytes(receipt) if result == OK else result

    def close(self):
        self.lib.kelvara_boundary_free(self.handle)


class CGate:
    def __init__(self, lib, key):
        size = lib.kelvara_gate_size()
        self.lib, self.storage = lib, (ctypes.c_uint64 * (size // 8))()  # 8-byte aligned
        assert lib.kelvara_gate_init(self.storage, key) == OK

    def admit(self, receipt, axis, position, velocity):
        return self.lib.kelvara_gate_admit(self.storage, receipt, axis, position, velocity)

    def close(self):
        self.lib.kelvara_gate_clear(self.storage)


def violation(call, *args):
    with pytest.raises(KelViolation) as info:
        call(*args)
    return info.value


def commands(count):
    return [(i % 6 - 2, 0.05 * i, -1.5 if i % 3 else 2.5) for i in range(count)]


def test_receipts_from_the_c_boundary_are_admitted_by_a_python_gate(lib):
    assert lib.kelvara_version().decode() == _kelvara.__version__
    sender, gate = CBoundary(lib, KEY), KelGate(KEY)
    sent = [(sender.authorize(*command), *command) for command in commands(30)]
    for sequence_id, (receipt, *command) in enumerate(sent, start=1):
        admitted = gate.admit(receipt, *command)
        assert admitted.sequence_id == gate.last_sequence_id == sequence_id
        assert admitted.receipt_hash == receipt and admitted.verify(KEY)

    replayed = violation(gate.admit, *sent[3])
    assert replayed.violation_type == lib.kelvara_error_code(REPLAY_COUNTER).decode()
    assert replayed.message == lib.kelvara_error_message(REPLAY_COUNTER).decode()
    foreign = violation(KelGate(OTHER_KEY).admit, *sent[-1])
    assert foreign.violation_type == lib.kelvara_error_code(AUTHENTICATION_FAILURE).decode()
    assert foreign.message == lib.kelvara_error_message(AUTHENTICATION_FAILURE).decode()
    sender.close()


def test_receipts_from_a_python_boundary_are_admitted_by_the_c_gate(lib):
    sender, gate, stranger = KelBoundary(rate_limit=10**6, hmac_key=KEY), CGate(lib, KEY), CGate(lib, OTHER_KEY)
    sent = [(sender.authorize_action(*command).receipt_hash, *command) for command in commands(30)]
    for sequence_id, (receipt, *command) in enumerate(sent, start=1):
        assert stranger.admit(receipt, *command) == AUTHENTICATION_FAILURE
        assert gate.admit(receipt, *command) == OK
        assert lib.kelvara_gate_last_sequence_id(gate.storage) == sequence_id
    receipt, axis, position, velocity = sent[-1]
    assert gate.admit(receipt, axis, position, velocity) == REPLAY_COUNTER
    assert lib.kelvara_gate_last_sequence_id(stranger.storage) == 0
    gate.close()
    stranger.close()


def test_both_senders_refuse_alike(lib):
    python_sender = KelBoundary(rate_limit=1, max_velocity_rad_s=1.0, hmac_key=KEY)
    c_sender = CBoundary(lib, KEY, rate_limit=1, max_velocity=1.0)
    for velocity in (1.5, float("nan")):
        refused = violation(python_sender.authorize_action, 0, 0.0, velocity)
        assert c_sender.authorize(0, 0.0, velocity) == VELOCITY_EXCEEDED
        assert refused.violation_type == lib.kelvara_error_code(VELOCITY_EXCEEDED).decode()
    python_sender.authorize_action(0, 0.0, 0.5)
    assert isinstance(c_sender.authorize(0, 0.0, 0.5), bytes)
    refused = violation(python_sender.authorize_action, 0, 0.0, 0.5)
    assert c_sender.authorize(0, 0.0, 0.5) == RATE_LIMITED
    assert refused.violation_type == lib.kelvara_error_code(RATE_LIMITED).decode()
    assert refused.message == lib.kelvara_error_message(RATE_LIMITED).decode()
    c_sender.close()
