"""Hostile arguments at every entry point. Each row of ENTRY_POINTS names a
constructor, method or attribute, how many arguments it takes, one valid value
per parameter, and the exception classes its contract allows. Hypothesis calls
it with values past every range, NaN and infinities, subclasses of int, float,
str and bytes, and objects whose __index__ or __float__ raise or return the
wrong type, bound by position, by keyword, with one too many or an unknown
keyword. Only the allowed classes (or the caller's own exception, unchanged)
may come out, and the instance must keep working afterwards.

A new class adds its rows here (and, if it has state, a usability check)."""
import array

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _kelvara import (
    CommandGate,
    CommandSigner,
    Envelope,
    Envelope4,
    Governor,
    KelBoundary,
    KelGate,
    KelReceipt,
    KelViolation,
    MonotonicCounter,
)

KEY = bytes(range(32))


class Hostile(Exception):
    """Raised by the caller's own objects: it must come out as it went in."""


class BadText:
    def __str__(self):
        raise Hostile("no text")


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


def dunder(name, result=None, raises=None):
    """An object whose one conversion method raises `raises` or returns `result`."""

    def method(self):
        if raises is not None:
            raise raises
        return result

    return type(f"With{name}", (), {name: method})()


HOSTILE = st.one_of(
    st.integers(),
    st.sampled_from([2**31, -(2**31) - 1, 2**63, 2**64 - 1, 2**64, -1, 10**400, True]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**70), 2**70).map(MyInt),
    st.floats().map(MyFloat),
    st.text(max_size=8).map(MyStr),
    st.sampled_from(["", "x", "\ud800", "axis_0"]),
    st.binary(max_size=70),
    st.sampled_from([0, 31, 32, 33, 59, 60, 61]).map(lambda n: MyBytes(n)),
    st.sampled_from([bytearray(32), memoryview(bytes(60)), None, [], [1.0, "x"], (0.5,), object()]),
    st.sampled_from(
        [
            dunder("__index__", raises=Hostile("index")),
            dunder("__index__", raises=TypeError(BadText())),
            dunder("__index__", result=1.5),
            dunder("__index__", result="7"),
            dunder("__float__", raises=Hostile("float")),
            dunder("__float__", result="x"),
            dunder("__float__", result=10**400),
        ]
    ),
)

CONVERSION = (TypeError, OverflowError, ValueError)


def fresh_receipt(objects):
    return objects["boundary"].authorize_action(1, 0.25, 0.5).receipt_hash


def fresh_frame(objects):
    return objects["signer"].sign([0.25] * 3, [0.5] * 3)


def new_signer(hmac_key, stream_id, axes, max_velocity_rad_s, rate_limit, key_id):
    return CommandSigner(hmac_key, stream_id=stream_id, axes=axes, max_velocity_rad_s=max_velocity_rad_s,
                         rate_limit=rate_limit, key_id=key_id)


def new_command_gate(keys, axes, streams, max_age_s, envelope, max_step_rad_s):
    return CommandGate(keys, axes=axes, streams=streams, max_age_s=max_age_s, envelope=envelope,
                       max_step_rad_s=max_step_rad_s)


# (name, receiver or None for a constructor, callable, valid values, allowed exceptions)
ENTRY_POINTS = [
    ("KelBoundary()", None, KelBoundary, (10, 1.0, 8, KEY), CONVERSION),
    ("KelBoundary.authorize_action", "boundary", KelBoundary.authorize_action, (1, 0.5, 0.5),
     (TypeError, OverflowError, KelViolation)),
    ("KelGate()", None, KelGate, (KEY,), CONVERSION),
    ("KelGate(max_age_s)", None, lambda max_age_s: KelGate(KEY, max_age_s=max_age_s), (1.0,), CONVERSION),
    ("KelGate.admit", "gate", KelGate.admit, (fresh_receipt, 1, 0.25, 0.5), (TypeError, OverflowError, KelViolation)),
    ("KelReceipt.verify", "receipt", KelReceipt.verify, (KEY,), (TypeError,)),
    ("KelViolation()", None, KelViolation, (1, "code", "text"), CONVERSION),
    ("MonotonicCounter()", None, MonotonicCounter, (5,), CONVERSION),
    ("MonotonicCounter.next_value", "counter", MonotonicCounter.next_value, (), (TypeError,)),
    ("MonotonicCounter.current_value", "counter", MonotonicCounter.current_value, (), (TypeError,)),
    ("Governor()", None, Governor, (-1.0, 1.0), CONVERSION),
    ("Governor.project", "governor", Governor.project, (0.5,), (TypeError, OverflowError)),
    ("Governor.project_batch", "governor", Governor.project_batch, ([0.5, 2.0],), CONVERSION),
    ("Governor.project_into", "governor", Governor.project_into, (lambda objects: array.array("f", [0.5, 2.0]),),
     CONVERSION),
    ("Envelope4()", None, Envelope4, ((-1.0,) * 4, (1.0,) * 4, [(1.0, 1.0, 0.0, 0.0)], [1.5]), CONVERSION),
    ("Envelope4.project", "envelope", Envelope4.project, ((0.9, 0.9, 0.0, 0.0),), CONVERSION),
    ("Envelope()", None, Envelope, ((-1.0,) * 7, (1.0,) * 7, [(1.0,) * 7], [1.5]), CONVERSION),
    ("Envelope.project", "general", Envelope.project, ((0.9,) * 7,), CONVERSION),
    ("Envelope.project_into", "general", Envelope.project_into,
     (lambda objects: array.array("d", [0.9] * 7), lambda objects: bytearray(1)), CONVERSION),
    ("CommandSigner()", None, new_signer, (KEY, 7, 3, [1.0, 2.0, 3.0], 100, 0), CONVERSION),
    ("CommandSigner.sign", "signer", CommandSigner.sign, ([0.25] * 3, array.array("d", [0.5] * 3)),
     CONVERSION + (KelViolation,)),
    ("CommandGate()", None, new_command_gate,
     ({0: KEY}, 3, [7], 1.0, lambda objects: Envelope((-1.0,) * 3, (1.0,) * 3), 2.0), CONVERSION),
    ("CommandGate.admit", "command_gate", CommandGate.admit, (fresh_frame,), (TypeError, KelViolation)),
    ("CommandGate.add_key", "command_gate", CommandGate.add_key, (9, KEY), CONVERSION),
    ("CommandGate.remove_key", "command_gate", CommandGate.remove_key, (5,), CONVERSION),
]

# Attributes: reading never fails; writing or deleting is refused as read-only.
ATTRIBUTES = {
    "boundary": ["stats"],
    "gate": ["last_sequence_id", "stats"],
    "command_gate": ["stats"],
    "command": ["stream_id", "counter", "key_id", "positions", "velocities"],
    "receipt": ["is_authorized", "sequence_id", "timestamp_nanos", "receipt_hash"],
    "violation": ["axis", "violation_type", "message", "args"],
    "envelope": ["min_bound", "max_bound", "rows", "limits"],
    "result": ["u", "status", "iterations", "ok"],
    "general": ["axes", "min_bound", "max_bound", "rows", "limits"],
    "general_result": ["u", "status", "iterations", "ok"],
}


def make_objects():
    boundary = KelBoundary(rate_limit=10**9, hmac_key=KEY)
    signer = CommandSigner(KEY, stream_id=7, axes=3, max_velocity_rad_s=1.0, rate_limit=10**6)
    return {
        "boundary": boundary,
        "gate": KelGate(KEY),
        "receipt": boundary.authorize_action(0, 0.0, 0.0),
        "violation": KelViolation(3, "rate_limited", "action rate limit exceeded"),
        "counter": MonotonicCounter(0),
        "governor": Governor(-1.0, 1.0),
        "envelope": ENVELOPE,
        "result": ENVELOPE.project((0.9, 0.9, 0.0, 0.0)),
        "general": GENERAL,
        "general_result": GENERAL.project((0.9,) * 7),
        "signer": signer,
        "command_gate": CommandGate({0: KEY, 5: bytes(32)}, axes=3, streams=[7], max_step_rad_s=1e9),
        "command": CommandGate({0: KEY}, axes=3, streams=[7]).admit(signer.sign([0.0] * 3, [0.0] * 3)),
    }


ENVELOPE = Envelope4((-1.0,) * 4, (1.0,) * 4, rows=[(1.0, 1.0, 0.0, 0.0)], limits=[1.5])
GENERAL = Envelope((-1.0,) * 7, (1.0,) * 7, rows=[(1.0,) * 7], limits=[3.5])


def still_usable(objects):
    """Every object still does its job, and the gate's memory is still sound."""
    receipt = objects["boundary"].authorize_action(2, 0.5, -0.5)
    assert receipt.verify(KEY) and objects["receipt"].verify(KEY) and not objects["receipt"].verify(bytes(32))
    admitted = objects["gate"].admit(receipt.receipt_hash, 2, 0.5, -0.5)
    assert admitted.sequence_id == receipt.sequence_id == objects["gate"].last_sequence_id
    with pytest.raises(KelViolation):
        objects["gate"].admit(receipt.receipt_hash, 2, 0.5, -0.5)
    before = objects["counter"].current_value()
    assert objects["counter"].next_value() == before + 1
    assert objects["governor"].project(2.0) == 1.0
    assert str(objects["violation"]).startswith("KelViolation(axis=3")
    assert objects["envelope"].project((0.9, 0.9, 0.0, 0.0)).u == (0.75, 0.75, 0.0, 0.0)
    assert all(abs(v - 0.5) < 1e-12 for v in objects["general"].project((0.9,) * 7).u)
    try:  # the key the signer uses, should a hostile key id have removed it
        objects["command_gate"].add_key(0, KEY)
    except ValueError:
        pass
    data = objects["signer"].sign([0.0, 0.0, 0.0], [0.5, -0.5, 0.0])
    assert objects["command_gate"].admit(data).velocities == (0.5, -0.5, 0.0)
    with pytest.raises(KelViolation):
        objects["command_gate"].admit(data)


CALL_SHAPES = st.sampled_from(["positional", "keyword", "extra", "unknown_keyword", "missing"])


@pytest.mark.parametrize("name, receiver, function, valid, allowed", ENTRY_POINTS, ids=[row[0] for row in ENTRY_POINTS])
@settings(max_examples=120, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_hostile_arguments_raise_only_documented_errors(name, receiver, function, valid, allowed, data):
    objects = make_objects()
    params = getattr(function, "__text_signature__", None) and [
        p.strip().lstrip("*").split("=")[0] for p in function.__text_signature__.strip("()").split(",")
        if p.strip() not in ("$self", "*", "/", "$module")
    ]
    values = [v(objects) if callable(v) else v for v in valid]
    for i in range(len(values)):
        if data.draw(st.booleans(), label=f"hostile {i}"):
            values[i] = data.draw(HOSTILE, label=f"value {i}")
    shape = data.draw(CALL_SHAPES, label="shape")
    args, kwargs = list(values), {}
    if shape == "keyword" and params:
        args, kwargs = [], dict(zip(params, values))
    elif shape == "extra":
        args.append(data.draw(HOSTILE, label="extra"))
    elif shape == "unknown_keyword":
        kwargs["no_such_parameter"] = 1
    elif shape == "missing" and args:
        args.pop()
    if receiver is not None:
        args.insert(0, objects[receiver])
    try:
        function(*args, **kwargs)
    except allowed:
        pass
    except Hostile:
        pass  # the caller's own exception, passed through as it was
    except BaseException as unexpected:  # noqa: BLE001 - anything else is the failure
        pytest.fail(f"{name} raised {type(unexpected).__name__}: {unexpected!r}")
    still_usable(objects)


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(value=HOSTILE)
def test_attributes_read_and_refuse_writes(value):
    objects = make_objects()
    for owner, names in ATTRIBUTES.items():
        for attribute in names:
            getattr(objects[owner], attribute)
            if attribute == "args":
                continue  # the base exception's own, writable by design
            for change in (lambda: setattr(objects[owner], attribute, value), lambda: delattr(objects[owner], attribute)):
                with pytest.raises(AttributeError):
                    change()
    still_usable(objects)


def test_a_conversion_error_whose_text_cannot_be_built_comes_out_unchanged(assert_no_leak):
    # "argument 'x': <original text>" needs str() of the original, which raises
    # here; the caller gets their own TypeError back, not the failure of its text.
    original = TypeError(BadText())
    index = dunder("__index__", raises=original)
    number = dunder("__float__", raises=original)
    calls = [
        lambda: MonotonicCounter(index),
        lambda: KelBoundary(rate_limit=index),
        lambda: KelBoundary().authorize_action(index, 0.0, 0.0),
        lambda: Governor(number, 1.0),
        lambda: KelGate(KEY).admit(bytes(60), 0, number, 0.0),
    ]
    for call in calls:
        with pytest.raises(TypeError) as info:
            call()
        assert info.value is original

    # A fresh error each time: one raised again and again keeps a growing traceback.
    class FreshlyFailing:
        def __index__(self):
            raise TypeError(BadText())

        __float__ = __index__

    fresh = FreshlyFailing()

    def every_call():
        for call in (lambda: MonotonicCounter(fresh), lambda: Governor(fresh, 1.0)):
            try:
                call()
            except TypeError:
                pass

    assert_no_leak(every_call, rounds=2000)
