import hashlib
import hmac
import math
import struct
import threading
import time

import pytest

from _kelvara import KelBoundary, KelReceipt, KelViolation

from conftest import raises_text
from test_kel_receipt import signed_message

KEY = bytes(range(100, 132))


def violation(fn, *args):
    with pytest.raises(KelViolation) as info:
        fn(*args)
    return info.value


def test_defaults_sign_under_the_zero_key():
    for boundary in (KelBoundary(), KelBoundary(hmac_key=None)):
        receipt = boundary.authorize_action(0, 1.0, 4.18)
        assert receipt.verify(bytes(32))
        assert not receipt.verify(KEY)


def test_tag_is_hmac_sha256_of_the_signed_message():
    boundary = KelBoundary(hmac_key=KEY)
    for axis, position, velocity in ((2, 0.5, 1.0), (-1, -0.0, -4.18), (2**31 - 1, 1e300, 0.0), (0, math.nan, 1.0)):
        receipt = boundary.authorize_action(axis, position, velocity)
        expected = hmac.new(KEY, signed_message(receipt, f"axis_{axis}", position, velocity), hashlib.sha256)
        assert receipt.receipt_hash[28:] == expected.digest()
        assert receipt.verify(KEY)


def test_sequence_ids_rise_by_one_and_timestamps_are_the_call_time():
    boundary = KelBoundary(hmac_key=KEY)
    last = 0
    for _ in range(5):
        before = time.time_ns()
        receipt = boundary.authorize_action(1, 0.0, 0.0)
        after = time.time_ns()
        assert receipt.sequence_id == last + 1
        assert before <= receipt.timestamp_nanos <= after
        last = receipt.sequence_id
    assert isinstance(receipt, KelReceipt)


def test_instances_keep_separate_counters():
    a, b = KelBoundary(hmac_key=KEY), KelBoundary(hmac_key=KEY)
    assert a.authorize_action(0, 0, 0).sequence_id == 1
    assert a.authorize_action(0, 0, 0).sequence_id == 2
    assert b.authorize_action(0, 0, 0).sequence_id == 1


def test_two_receipts_have_different_nonces():
    boundary = KelBoundary()
    first, second = boundary.authorize_action(0, 0, 0), boundary.authorize_action(0, 0, 0)
    assert first.receipt_hash[:12] != second.receipt_hash[:12]
    assert first.sequence_id != second.sequence_id


def test_velocity_limit_and_message():
    boundary = KelBoundary()
    assert boundary.authorize_action(0, 0, 4.18).is_authorized
    assert boundary.authorize_action(0, 0, -4.18).is_authorized
    exc = violation(boundary.authorize_action, 5, 0, 4.19)
    assert (exc.axis, exc.violation_type) == (5, "velocity_exceeded")
    assert exc.message == "commanded_velocity 4.19 rad/s exceeds max_velocity_rad_s 4.18 rad/s"
    assert exc.args == (5, "velocity_exceeded", exc.message)
    assert violation(boundary.authorize_action, 0, 0, -5.0).message == (
        "commanded_velocity -5 rad/s exceeds max_velocity_rad_s 4.18 rad/s"
    )
    assert violation(KelBoundary(max_velocity_rad_s=1e-7).authorize_action, 0, 0, 1e21).message == (
        "commanded_velocity 1000000000000000000000 rad/s exceeds max_velocity_rad_s 0.0000001 rad/s"
    )
    assert violation(KelBoundary(max_velocity_rad_s=-0.0).authorize_action, 0, 0, -math.inf).message == (
        "commanded_velocity -inf rad/s exceeds max_velocity_rad_s -0 rad/s"
    )
    # The refusals spent nothing: the next receipt is number 3.
    assert boundary.authorize_action(0, 0, 0).sequence_id == 3


def test_velocity_check_fails_closed_on_nan():
    for nan in (math.nan, -math.nan):
        exc = violation(KelBoundary().authorize_action, 1, 0, nan)
        assert exc.message == "commanded_velocity NaN rad/s exceeds max_velocity_rad_s 4.18 rad/s"
    unusable = KelBoundary(max_velocity_rad_s=math.nan)
    for velocity in (0.0, 1.0, -1.0, math.inf):
        assert violation(unusable.authorize_action, 0, 0, velocity).violation_type == "velocity_exceeded"
    negative = KelBoundary(max_velocity_rad_s=-1.0)
    assert violation(negative.authorize_action, 0, 0, 0.0).violation_type == "velocity_exceeded"
    assert KelBoundary(max_velocity_rad_s=math.inf).authorize_action(0, 0, 1e308).is_authorized


def test_rate_window_of_two():
    boundary = KelBoundary(rate_limit=2)
    assert [boundary.authorize_action(0, 0, 0).sequence_id for _ in range(2)] == [1, 2]
    exc = violation(boundary.authorize_action, 4, 0, 0)
    assert (exc.axis, exc.violation_type, exc.message) == (4, "rate_limited", "action rate limit exceeded")
    time.sleep(1.05)
    assert boundary.authorize_action(0, 0, 0).sequence_id == 3  # no id spent on the refusal
    violation(boundary.authorize_action, 0, 0, 9.0)
    assert boundary.stats == {"authorized": 3, "velocity_exceeded": 1, "rate_limited": 1, "replay_nonce": 0}


def test_rate_limit_zero_admits_nothing():
    boundary = KelBoundary(rate_limit=0)
    assert violation(boundary.authorize_action, 0, 0, 0).violation_type == "rate_limited"
    time.sleep(1.05)  # a new window still respects the limit
    assert violation(boundary.authorize_action, 0, 0, 0).violation_type == "rate_limited"


def test_constructor_conversions():
    assert raises_text(ValueError, KelBoundary, hmac_key=bytes(31)) == "hmac_key must be exactly 32 bytes"
    assert raises_text(ValueError, KelBoundary, hmac_key=bytes(33)) == "hmac_key must be exactly 32 bytes"
    assert raises_text(TypeError, KelBoundary, hmac_key=bytearray(32)).startswith("argument 'hmac_key': ")
    assert raises_text(TypeError, KelBoundary, 1000, "fast").startswith("argument 'max_velocity_rad_s': ")
    assert raises_text(TypeError, KelBoundary, 1.5).startswith("argument 'rate_limit': ")
    with pytest.raises(OverflowError):
        KelBoundary(rate_limit=-1)
    with pytest.raises(OverflowError):
        KelBoundary(monotonic_window_size=2**64)
    assert KelBoundary(monotonic_window_size=10**6).authorize_action(0, 0, 0).sequence_id == 1
    assert KelBoundary(2**64 - 1, 10, 0, KEY).authorize_action(0, 0, 10).verify(KEY)
    assert (
        raises_text(TypeError, KelBoundary, 1, 2, 3, None, 5)
        == "KelBoundary.__new__() takes from 0 to 4 positional arguments but 5 were given"
    )


def test_authorize_action_conversions():
    boundary = KelBoundary()
    assert raises_text(OverflowError, boundary.authorize_action, 2**31, 0, 0) == "number too large to fit in target type"
    assert raises_text(OverflowError, boundary.authorize_action, -(2**31) - 1, 0, 0) == "number too small to fit in target type"
    assert raises_text(TypeError, boundary.authorize_action, 0, "x", 0).startswith("argument 'requested_position': ")
    assert raises_text(TypeError, boundary.authorize_action, 0, 0, None).startswith("argument 'commanded_velocity': ")
    assert (
        raises_text(TypeError, boundary.authorize_action, 1, 2, 3, 4)
        == "KelBoundary.authorize_action() takes 3 positional arguments but 4 were given"
    )
    assert raises_text(TypeError, boundary.authorize_action, 1) == (
        "KelBoundary.authorize_action() missing 2 required positional arguments: "
        "'requested_position' and 'commanded_velocity'"
    )
    receipt = boundary.authorize_action(target_axis=-1, commanded_velocity=1, requested_position=2)
    assert receipt.sequence_id == 1  # conversion failures spent nothing
    assert receipt.verify(bytes(32))


def test_class_shape():
    assert KelBoundary.__doc__ == "Deterministic edge governor that authorizes physical actions."
    assert KelBoundary.__text_signature__ == (
        "(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, hmac_key=None)"
    )
    assert KelBoundary.authorize_action.__doc__ == "Authorize a single actuator command and return a signed receipt."
    assert KelBoundary.authorize_action.__text_signature__ == "($self, target_axis, requested_position, commanded_velocity)"
    assert sorted(n for n in vars(KelBoundary) if not n.startswith("__")) == ["authorize_action", "stats"]
    with pytest.raises(TypeError):
        KelBoundary.authorize_action(object(), 0, 0, 0)


def test_threads_share_one_boundary():
    boundary = KelBoundary(rate_limit=10**9, hmac_key=KEY)
    threads, calls = 6, 300
    receipts = [[] for _ in range(threads)]
    start = threading.Barrier(threads)

    def work(out):
        start.wait()
        for i in range(calls):
            out.append(boundary.authorize_action(i % 4, float(i), 0.5))

    workers = [threading.Thread(target=work, args=(out,)) for out in receipts]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    every = [r for out in receipts for r in out]
    assert boundary.stats["authorized"] == threads * calls  # counted exactly under threads
    assert sorted(r.sequence_id for r in every) == list(range(1, threads * calls + 1))
    assert len({r.receipt_hash for r in every}) == len(every)
    assert all(r.verify(KEY) for r in every)
    for out in receipts:  # each thread saw its own ids rise
        ids = [r.sequence_id for r in out]
        assert ids == sorted(ids)


def test_no_leaks(assert_no_leak):
    boundary = KelBoundary(rate_limit=10**9)

    def calls():
        boundary.authorize_action(1, 0.5, 1.0).verify(bytes(32))
        for args in ((1, 0, 9.0), (2**31, 0, 0), (0, "x", 0)):
            try:
                boundary.authorize_action(*args)
            except (KelViolation, OverflowError, TypeError):
                pass
        try:
            KelBoundary(hmac_key=b"short")
        except ValueError:
            pass

    assert_no_leak(calls, rounds=5000)
