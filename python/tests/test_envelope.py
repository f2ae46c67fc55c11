"""Envelope, the general envelope: its C and Python faces give the same bits on
random problems (degenerate, infinite and invalid ones included), project_into
gives project()'s answer row by row in every batch size and thread, and a
refused argument writes nothing."""

import array
import ctypes
import os
import struct
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _kelvara import Envelope

from conftest import raises_text

LIBRARY = os.environ.get("KELVARA_C_LIBRARY")
INF, NAN = float("inf"), float("nan")
STATUS_NUMBERS = {"invalid": 0, "optimal": 1, "infeasible": 3, "numerical_failure": 4}
INVALID_ENVELOPE = 18


def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


def rows_buffer(values, axes):
    """A writable C-contiguous float64 buffer of shape (len(values) // axes, axes)."""
    return memoryview(array.array("d", values)).cast("B").cast("d", [len(values) // axes, axes])


# A seven-joint arm: +-3 rad, joint 4 locked, two coupling rows and a row that
# repeats joint 0's upper bound.
ARM = Envelope(
    [-3.0] * 4 + [0.5] + [-3.0] * 2,
    [3.0] * 4 + [0.5] + [3.0] * 2,
    rows=[(1, 1, 0, 0, 0, 0, 0), (0, 0, 1, -1, 0, 0.5, 0), (1, 0, 0, 0, 0, 0, 0)],
    limits=[1.5, 0.25, 3.0],
)


# ---- The C and Python faces ----------------------------------------------------------


class CEnvelope:
    """The C face through ctypes, in storage of kelvara_envelope_size() bytes."""

    def __init__(self, lib, min_bound, max_bound, rows, limits):
        self.lib, self.axes = lib, len(min_bound)
        self.storage = ctypes.create_string_buffer(lib.kelvara_envelope_size())  # malloc: 16-byte aligned
        doubles = lambda values: (ctypes.c_double * max(1, len(values)))(*values)  # noqa: E731
        flat = [a for row in rows for a in row]
        self.result = lib.kelvara_envelope_init(
            self.storage, self.axes, doubles(min_bound), doubles(max_bound), len(rows), doubles(flat), doubles(limits)
        )

    def project(self, u):
        desired = (ctypes.c_double * self.axes)(*u)
        projected = (ctypes.c_double * self.axes)()
        info = (ctypes.c_uint32 * 2)()
        assert self.lib.kelvara_envelope_project(self.storage, desired, projected, info) == 0
        return list(projected), info[0], info[1]


@pytest.fixture(scope="module")
def lib():
    if not LIBRARY:
        pytest.skip("KELVARA_C_LIBRARY names no libkelvara.so")
    lib = ctypes.CDLL(LIBRARY)
    lib.kelvara_envelope_size.restype = ctypes.c_size_t
    lib.kelvara_envelope_init.restype = ctypes.c_int32
    lib.kelvara_envelope_init.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p,
                                          ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p]
    lib.kelvara_envelope_project.restype = ctypes.c_int32
    lib.kelvara_envelope_project.argtypes = [ctypes.c_void_p] * 4
    return lib


# Values that make problems hard: zeros, locked and crowded bounds, infinities,
# large and tiny magnitudes, and now and then a NaN (an invalid envelope).
VALUE = st.one_of(
    st.floats(-4, 4, allow_nan=False).map(lambda v: round(v, 1)),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 1e-12, 1e6, INF, -INF]),
    st.floats(allow_nan=True, allow_infinity=True),
)


@st.composite
def problems(draw):
    axes = draw(st.integers(1, 8))
    lower = [draw(VALUE) for _ in range(axes)]
    upper = [draw(st.one_of(st.just(lo), VALUE.map(lambda v, lo=lo: max(lo, v) if v == v else v))) for lo in lower]
    count = draw(st.integers(0, 9))
    rows = [[draw(st.one_of(st.sampled_from([0.0, 1.0, -1.0]), VALUE)) for _ in range(axes)] for _ in range(count)]
    if rows and draw(st.booleans()):
        rows.append(list(rows[0]))  # a duplicate row
    limits = [draw(VALUE) for _ in rows]
    commands = draw(st.lists(st.lists(VALUE, min_size=axes, max_size=axes), min_size=1, max_size=4))
    return lower, upper, rows, limits, commands


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(problem=problems())
def test_the_c_and_python_faces_agree_bit_for_bit(lib, problem):
    lower, upper, rows, limits, commands = problem
    c_face = CEnvelope(lib, lower, upper, rows, limits)
    try:
        envelope = Envelope(lower, upper, rows, limits)
    except ValueError:
        assert c_face.result == INVALID_ENVELOPE
        return
    assert c_face.result == 0
    for u in commands:
        projected, status, iterations = c_face.project(u)
        if any(v != v for v in u):
            with pytest.raises(ValueError, match="is NaN"):
                envelope.project(u)
            assert status == STATUS_NUMBERS["invalid"]
            continue
        result = envelope.project(u)
        assert (bits(result.u), STATUS_NUMBERS[result.status], result.iterations) == (bits(projected), status, iterations)
        assert result.ok == (result.status == "optimal")
        in_place = rows_buffer(u, len(u))
        statuses = bytearray(1)
        assert envelope.project_into(in_place, statuses) == (0 if result.ok else 1)
        assert bits(in_place.tolist()[0]) == bits(projected) and statuses[0] == status


# ---- project_into ---------------------------------------------------------------------


def batch(k, seed):
    """k commands for ARM, some far outside, some inside, some infinite."""
    state = seed
    values = []
    for n in range(k * ARM.axes):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        values.append(INF if n % 997 == 3 else ((state >> 11) / 2**53 - 0.5) * 8.0)
    return values


# No rows: shape (0, axes), which memoryview cannot make.
EMPTY_BATCH = None
try:
    import numpy as np

    EMPTY_BATCH = np.empty((0, ARM.axes))
except ImportError:  # numpy is optional at run time
    pass


@pytest.mark.parametrize("k", [0, 1, 127, 128, 3000])
def test_project_into_gives_project_row_by_row(k):
    if k == 0 and EMPTY_BATCH is None:
        pytest.skip("numpy makes the empty batch")
    values = batch(k, seed=k)
    buffer = rows_buffer(values, ARM.axes) if k else EMPTY_BATCH
    statuses = bytearray(b"\xff" * k)
    not_optimal = ARM.project_into(buffer, statuses)
    expected = [ARM.project(values[r * ARM.axes : (r + 1) * ARM.axes]) for r in range(k)]
    assert not_optimal == sum(not result.ok for result in expected)
    assert list(statuses) == [STATUS_NUMBERS[result.status] for result in expected]
    assert bits([v for row in buffer.tolist() for v in row]) == bits([v for result in expected for v in result.u])
    # Without statuses, and a single command of shape (axes,).
    again = rows_buffer(values, ARM.axes) if k else buffer
    assert ARM.project_into(again) == not_optimal and again.tolist() == buffer.tolist()
    if k:
        single = array.array("d", values[: ARM.axes])
        assert ARM.project_into(single, statuses=None) == (0 if expected[0].ok else 1)
        assert bits(single) == bits(expected[0].u)


def test_batches_projected_from_several_threads_at_once_agree():
    values = batch(4000, seed=7)
    serial = rows_buffer(values, ARM.axes)
    ARM.project_into(serial)
    buffers = [rows_buffer(values, ARM.axes) for _ in range(4)]
    threads = [threading.Thread(target=ARM.project_into, args=(b,)) for b in buffers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(b.tolist() == serial.tolist() for b in buffers)


def test_refused_arguments_write_nothing():
    values = [0.25, 9.0, 0.0, 0.0, 0.5, 0.0, 0.0] * 2
    buffer = rows_buffer(values, ARM.axes)
    statuses = bytearray(b"\x07\x07")
    nan_row = rows_buffer(values[:7] + [0.0, 0.0, NAN, 0.0, 0.5, 0.0, 0.0], ARM.axes)
    calls = [
        (TypeError, "argument 'buffer': expected elements of float64 ('d'), got format 'f'",
         lambda: ARM.project_into(array.array("f", values[:7]), statuses)),
        (TypeError, "argument 'buffer': the buffer is read-only", lambda: ARM.project_into(memoryview(bytes(56)).cast("d"))),
        (TypeError, "argument 'buffer': expected a writable buffer of float64 ('d'), not 'list'",
         lambda: ARM.project_into(values)),
        (ValueError, "argument 'buffer': expected rows of 7 numbers, got 6", lambda: ARM.project_into(array.array("d", [0] * 6))),
        (ValueError, "argument 'buffer': the buffer is not C-contiguous", lambda: ARM.project_into(buffer[::-1])),
        (ValueError, "argument 'statuses': expected one byte per row (2), got 3", lambda: ARM.project_into(buffer, bytearray(3))),
        (TypeError, "argument 'statuses': the buffer is read-only", lambda: ARM.project_into(buffer, b"\0\0")),
        (TypeError, "argument 'statuses': expected one-byte items, got 8-byte items",
         lambda: ARM.project_into(buffer, array.array("d", [0, 0]))),
        (ValueError, "argument 'statuses': the buffer overlaps 'buffer'",
         lambda: ARM.project_into(buffer, buffer.cast("B")[8:10])),
        (ValueError, "argument 'buffer': row 1, element 2 is NaN", lambda: ARM.project_into(nan_row, statuses)),
        (ValueError, "argument 'u': element 1 is NaN", lambda: ARM.project([0.0, NAN] + [0.0] * 5)),
        (ValueError, "argument 'u': expected 7 numbers, got 8", lambda: ARM.project([0.0] * 8)),
    ]
    for exc_type, text, call in calls:
        assert raises_text(exc_type, call) == text
    assert buffer.tolist() == rows_buffer(values, ARM.axes).tolist() and statuses == b"\x07\x07"
    assert nan_row.tolist()[0] == values[:7]


def test_invalid_envelopes_are_refused_with_the_value_at_fault():
    one = ([0.0], [1.0])
    cases = [
        (lambda: Envelope([], []), "argument 'min_bound': expected at least 1 number, got 0"),
        (lambda: Envelope([0.0] * 33, [1.0] * 33), "argument 'min_bound': expected at most 32 numbers, got 33"),
        (lambda: Envelope([0.0, 0.0], [1.0]), "argument 'max_bound': expected 2 numbers, got 1"),
        (lambda: Envelope([0.0, NAN], [1.0, 1.0]), "argument 'min_bound': element 1 is NaN"),
        (lambda: Envelope([0.0, 2.0], [1.0, 1.5]), "min_bound[1] is above max_bound[1] (2.0 > 1.5)"),
        (lambda: Envelope([INF], [INF]), "argument 'min_bound': element 0 is inf, which no finite command reaches"),
        (lambda: Envelope(*one, [[1.0]] * 33, [1.0] * 33), "argument 'rows': expected at most 32 rows, got 33"),
        (lambda: Envelope(*one, [[1.0, 2.0]], [1.0]), "argument 'rows[0]': expected 1 number, got 2"),
        (lambda: Envelope(*one, rows_buffer([1.0, 2.0], 2), [1.0]), "argument 'rows': expected rows of 1 number, got 2"),
        (lambda: Envelope(*one, [[0.5], [-INF]], [1.0, 1.0]), "argument 'rows': rows[1][0] is -inf; coefficients must be finite"),
        (lambda: Envelope(*one, [[1.0]], [NAN]), "argument 'limits': element 0 is NaN"),
        (lambda: Envelope(*one, [[1.0]]), "argument 'limits': expected one limit per row of 'rows' (1), got 0"),
    ]
    for make, text in cases:
        assert raises_text(ValueError, make) == text


def test_no_call_leaks_a_reference(assert_no_leak):
    commands, statuses = rows_buffer(batch(3, seed=1), ARM.axes), bytearray(3)

    def every_path():
        ARM.project([0.9] * 7).u
        ARM.project_into(commands, statuses)
        for refused in (lambda: ARM.project([NAN] * 7), lambda: ARM.project_into(commands, bytearray(2)),
                        lambda: Envelope([0.0], [1.0], [[INF]], [1.0]), lambda: Envelope([1.0], [0.0])):
            try:
                refused()
            except ValueError:
                pass
        Envelope([0.0, 0.0], [1.0, 1.0], rows_buffer([1.0, 1.0], 2), [1.0]).rows

    assert_no_leak(every_path, rounds=2000)
