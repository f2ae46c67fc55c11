import array
import ctypes
import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

import _kelvara
from _kelvara import Envelope4

from conftest import raises_text

try:
    import numpy as np
except ImportError:  # numpy is optional at run time
    np = None

STATUS = {0: "invalid", 1: "optimal", 2: "iteration_limit", 3: "infeasible", 4: "numerical_failure"}
UNIT = ((0.0,) * 4, (1.0,) * 4)


class Bounds(ctypes.Structure):
    _fields_ = [("min_bound", ctypes.c_float * 4), ("max_bound", ctypes.c_float * 4)]


class Constraints(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint64), ("a", (ctypes.c_float * 4) * 4), ("b", ctypes.c_float * 4)]


class Solution(ctypes.Structure):
    _fields_ = [("u", ctypes.c_float * 4), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]


def c_solve(u, lo, hi, rows, limits):
    """kelvara_solve_multivar_4d as exported by the module itself."""
    solve = ctypes.CDLL(_kelvara.__file__).kelvara_solve_multivar_4d
    constraints = Constraints(len(rows))
    for j, (row, limit) in enumerate(zip(rows, limits)):
        constraints.a[j] = (ctypes.c_float * 4)(*row)
        constraints.b[j] = limit
    out = Solution()
    u_c = (ctypes.c_float * 4)(*u)
    assert solve(u_c, ctypes.byref(Bounds((ctypes.c_float * 4)(*lo), (ctypes.c_float * 4)(*hi))),
                 ctypes.byref(constraints), ctypes.byref(out)) == 0
    return tuple(out.u), STATUS[out.status], out.iterations


def bits(values):
    return struct.pack(f"{len(values)}f", *values)


# float32 values, the specials included, so that both sides see the same inputs.
f32 = st.floats(width=32, allow_subnormal=True)
small = st.floats(-4, 4, width=32)
vec4 = st.tuples(*[small] * 4)
maybe_special = st.one_of(small, f32)


@st.composite
def problems(draw):
    lo = draw(st.tuples(*[st.one_of(small, st.just(-math.inf))] * 4))
    hi = draw(st.tuples(*[st.one_of(small, st.just(math.inf))] * 4))
    if draw(st.booleans()):  # mostly well-ordered boxes, sometimes reversed or NaN ones
        lo, hi = tuple(map(min, lo, hi)), tuple(map(max, lo, hi))
    count = draw(st.integers(0, 4))
    rows = [draw(st.tuples(*[maybe_special if draw(st.integers(0, 9)) == 0 else small] * 4)) for _ in range(count)]
    limits = [draw(maybe_special if draw(st.integers(0, 9)) == 0 else small) for _ in range(count)]
    u = draw(st.tuples(*[maybe_special] * 4))
    return u, lo, hi, rows, limits


@settings(max_examples=400, deadline=None)
@given(problems())
def test_results_match_the_c_function_bit_for_bit(problem):
    u, lo, hi, rows, limits = problem
    envelope = Envelope4(lo, hi, rows, limits)
    result = envelope.project(u)
    c_u, c_status, c_iterations = c_solve(u, lo, hi, rows, limits)
    assert bits(result.u) == bits(c_u)
    assert (result.status, result.iterations) == (c_status, c_iterations)
    assert result.ok is (result.status == "optimal")
    assert all(type(x) is float for x in result.u) and type(result.iterations) is int
    # Every way of passing four numbers reads the same float32 values.
    forms = [list(u), array.array("f", u), array.array("d", u), memoryview(array.array("f", u))]
    if np is not None:
        forms += [np.array(u, np.float32), np.array(u, np.float64), np.repeat(np.array(u, np.float32), 2)[::2]]
    for form in forms:
        again = envelope.project(form)
        assert (bits(again.u), again.status, again.iterations) == (bits(result.u), result.status, result.iterations)
    # The envelope keeps what it was given, narrowed to float32.
    assert bits(envelope.min_bound + envelope.max_bound) == bits(lo + hi)
    assert [bits(r) for r in envelope.rows] == [bits(r) for r in rows]
    assert bits(envelope.limits) == bits(limits)


def test_projects_onto_a_constraint_and_reports_each_outcome():
    half = Envelope4(*UNIT, rows=[(1, 1, 1, 1)], limits=[2]).project((1, 1, 1, 1))
    assert (half.u, half.status, half.ok) == ((0.5,) * 4, "optimal", True)
    inside = Envelope4(*UNIT).project(u=(0.25, 2, -1, 0.5))
    assert (inside.u, inside.status, inside.iterations) == ((0.25, 1.0, 0.0, 0.5), "optimal", 0)
    cut_off = Envelope4(*UNIT, rows=[(1, 0, 0, 0)], limits=[-1]).project((0.5,) * 4)
    assert (cut_off.status, cut_off.ok, cut_off.u) == ("infeasible", False, (0.5,) * 4)
    assert repr(half) == "Envelope4Result(u=(0.5, 0.5, 0.5, 0.5), status='optimal', iterations=6)"


def test_nan_and_reversed_bounds_are_accepted_and_solved_as_invalid():
    nan = math.nan
    for lo, hi, rows, limits, u in (
        ((nan, 0, 0, 0), (1,) * 4, (), (), (0.5,) * 4),
        ((1,) * 4, (0,) * 4, (), (), (0.5,) * 4),
        (*UNIT, [(nan, 0, 0, 0)], [1], (0.5,) * 4),
        (*UNIT, [(1, 0, 0, 0)], [nan], (0.5,) * 4),
        (*UNIT, (), (), (nan, 0, 0, 0)),
    ):
        result = Envelope4(lo, hi, rows, limits).project(u)
        assert (result.status, result.ok, result.iterations) == ("invalid", False, 0)


def test_construction_refusals_name_the_argument():
    ok = dict(min_bound=UNIT[0], max_bound=UNIT[1])
    cases = [
        (dict(min_bound=(0, 0, 0)), ValueError, "argument 'min_bound': expected 4 numbers, got 3"),
        (dict(max_bound=[1] * 5), ValueError, "argument 'max_bound': expected 4 numbers, got 5"),
        (dict(max_bound=iter([1] * 4)), TypeError,
         "argument 'max_bound': 'list_iterator' object cannot be converted to 'Sequence'"),
        (dict(min_bound="0000"), TypeError, "argument 'min_bound': 'str' object cannot be converted to 'Sequence'"),
        (dict(min_bound=(0, 0, 0, "x")), TypeError, "argument 'min_bound': must be real number, not str"),
        (dict(rows=[(1, 0, 0, 0)] * 5, limits=[1] * 5), ValueError, "argument 'rows': expected at most 4 rows, got 5"),
        (dict(rows=[(1, 0, 0)], limits=[1]), ValueError, "argument 'rows[0]': expected 4 numbers, got 3"),
        (dict(rows=[(1, 0, 0, 0), 7], limits=[1, 1]), TypeError,
         "argument 'rows[1]': 'int' object cannot be converted to 'Sequence'"),
        (dict(rows=3), TypeError, "argument 'rows': 'int' object cannot be converted to 'Sequence'"),
        (dict(rows=range(10**12)), ValueError, "argument 'rows': expected at most 4 rows, got 1000000000000"),
        (dict(limits=[1] * 5), ValueError, "argument 'limits': expected at most 4 numbers, got 5"),
        (dict(rows=[(1, 0, 0, 0)]), ValueError, "argument 'limits': expected one limit per row of 'rows' (1), got 0"),
        (dict(rows=[(1, 0, 0, 0)], limits=[1, 2]), ValueError,
         "argument 'limits': expected one limit per row of 'rows' (1), got 2"),
        (dict(limits=[None]), TypeError, "argument 'limits': must be real number, not NoneType"),
    ]
    for change, exc_type, text in cases:
        assert raises_text(exc_type, Envelope4, **{**ok, **change}) == text
    assert raises_text(TypeError, Envelope4, (0,) * 4) == (
        "Envelope4.__new__() missing 1 required positional argument: 'max_bound'")
    with pytest.raises(OverflowError):
        Envelope4((10**400, 0, 0, 0), (1,) * 4)


def test_project_refusals():
    project = Envelope4(*UNIT).project
    assert raises_text(ValueError, project, (1, 2, 3)) == "argument 'u': expected 4 numbers, got 3"
    assert raises_text(ValueError, project, range(10**9)) == "argument 'u': expected 4 numbers, got 1000000000"
    assert raises_text(TypeError, project, {1, 2, 3, 4}) == "argument 'u': 'set' object cannot be converted to 'Sequence'"
    assert raises_text(TypeError, project, [1, 2, 3, None]) == "argument 'u': must be real number, not NoneType"
    assert raises_text(TypeError, project) == "Envelope4.project() missing 1 required positional argument: 'u'"
    if np is not None:
        assert raises_text(ValueError, project, np.zeros((2, 4), np.float32)) == (
            "argument 'u': expected 4 numbers, got 2")
        assert project(np.arange(4)).u == (0.0, 1.0, 1.0, 1.0)  # integer arrays read as a sequence


def test_reads_a_snapshot_of_a_sequence_that_changes_while_read():
    data = []

    class Shrinker:
        def __float__(self):
            data.clear()
            return 0.5

    data.extend([Shrinker(), 0.25, 0.75, 2.0])
    assert Envelope4(*UNIT).project(data).u == (0.5, 0.25, 0.75, 1.0)


def test_types_are_fixed_and_results_cannot_be_made_or_changed():
    result = Envelope4(*UNIT).project((0, 0, 0, 0))
    for cls in (Envelope4, type(result)):
        assert cls.__module__ == "builtins"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            cls.project = None
    assert type(result) is _kelvara.Envelope4Result
    assert raises_text(TypeError, _kelvara.Envelope4Result) == "cannot create 'builtins.Envelope4Result' instances"
    for name in ("u", "status", "iterations", "ok", "other"):
        with pytest.raises(AttributeError):
            setattr(result, name, 1)
    with pytest.raises(AttributeError):
        Envelope4(*UNIT).rows = ()
    assert Envelope4.__text_signature__ == "(min_bound, max_bound, rows=(), limits=())"
    assert repr(Envelope4(*UNIT, [(1, 0, 0, 0.5)], [0.25])) == (
        "Envelope4(min_bound=(0.0, 0.0, 0.0, 0.0), max_bound=(1.0, 1.0, 1.0, 1.0), "
        "rows=((1.0, 0.0, 0.0, 0.5),), limits=(0.25,))")


def test_no_leaks(assert_no_leak):
    envelope = Envelope4(*UNIT, rows=[(1, 1, 1, 1)], limits=[2])
    u = array.array("f", [1, 1, 1, 1])

    def calls():
        result = envelope.project(u)
        result.u, result.status, repr(result), repr(envelope)
        envelope.project([0.1, 0.2, 0.3, 0.4])
        Envelope4((0, 0, 0, 0), (1, 1, 1, 1), [[1, 2, 3, 4]], [1])
        for bad in ((1, 2, 3), [1, 2, 3, "x"]):
            try:
                envelope.project(bad)
            except (TypeError, ValueError):
                pass
        try:
            Envelope4(*UNIT, rows=[(1, 0, 0, 0)], limits=[])
        except ValueError:
            pass

    assert_no_leak(calls, rounds=3000)
