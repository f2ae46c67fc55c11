import math
import struct

import pytest

from _kelvara import Governor

from conftest import raises_text


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def test_projects_into_the_envelope():
    g = Governor(0.0, 1.0)
    assert g.project(0.5) == 0.5
    assert g.project(-3) == 0.0
    assert g.project(7) == 1.0
    assert g.project(u_desired=0.25) == 0.25


def test_results_carry_single_precision():
    g = Governor(-1.0, 1.0)
    assert g.project(0.1) == 0.10000000149011612
    assert g.project(1e-46) == 0.0  # below the smallest subnormal
    assert g.project_batch([0.1, 1 / 3]) == [f32(0.1), f32(1 / 3)]


def test_nan_and_infinities():
    g = Governor(-2.0, 3.0)
    assert math.isnan(g.project(float("nan")))
    assert g.project(float("inf")) == 3.0
    assert g.project(float("-inf")) == -2.0
    assert g.project(1e300) == 3.0  # narrows to +inf first


def test_unbounded_envelope_returns_inputs_after_narrowing():
    g = Governor(float("-inf"), float("inf"))
    assert g.project(1e300) == float("inf")
    assert g.project(-0.3) == f32(-0.3)
    assert math.copysign(1.0, g.project(-0.0)) == -1.0


def test_bounds_must_increase_after_narrowing():
    message = "min_bound must be strictly less than max_bound"
    for lo, hi in ((1.0, 1.0), (2.0, 1.0), (float("nan"), 1.0), (0.0, float("nan")),
                   (1.0, 1.00000001), (1e39, 1e40)):
        assert raises_text(ValueError, Governor, lo, hi) == message


def test_int_bool_and_float_like_bounds():
    class Real:
        def __float__(self):
            return 4.0

    assert Governor(0, 10).project(11) == 10.0
    assert Governor(False, True).project(0.5) == 0.5
    assert Governor(min_bound=0, max_bound=Real()).project(9) == 4.0


def test_conversion_errors_name_the_argument():
    assert raises_text(TypeError, Governor, "a", "b").startswith("argument 'min_bound': ")
    assert raises_text(TypeError, Governor, 0.0, None).startswith("argument 'max_bound': ")
    assert raises_text(TypeError, Governor(0, 1).project, [1.0]).startswith("argument 'u_desired': ")
    with pytest.raises(OverflowError):
        Governor(0, 10**400)


def test_binding_errors():
    assert raises_text(TypeError, Governor, 1.0) == "Governor.__new__() missing 1 required positional argument: 'max_bound'"
    assert (
        raises_text(TypeError, Governor)
        == "Governor.__new__() missing 2 required positional arguments: 'min_bound' and 'max_bound'"
    )
    assert raises_text(TypeError, Governor, 0, 1, 2) == "Governor.__new__() takes 2 positional arguments but 3 were given"
    g = Governor(0, 1)
    assert raises_text(TypeError, g.project, x=1.0) == "Governor.project() got an unexpected keyword argument 'x'"
    assert raises_text(TypeError, g.project) == "Governor.project() missing 1 required positional argument: 'u_desired'"
    assert raises_text(TypeError, g.project, 1, 2) == "Governor.project() takes 1 positional arguments but 2 were given"
    assert (
        raises_text(TypeError, g.project_batch, [1], u_vec=[2])
        == "Governor.project_batch() got multiple values for argument 'u_vec'"
    )


def test_batch_over_sequence_kinds():
    g = Governor(0.0, 1.0)
    assert g.project_batch([]) == []
    assert g.project_batch((5.0, -5.0, 0.25)) == [1.0, 0.0, 0.25]
    assert g.project_batch(b"\x00\x01\x02") == [0.0, 1.0, 1.0]
    assert g.project_batch(bytearray(b"\x00\x01")) == [0.0, 1.0]
    assert Governor(0, 100).project_batch(range(0, 300, 100)) == [0.0, 100.0, 100.0]
    assert g.project_batch(memoryview(b"\x01")) == [1.0]


def test_batch_matches_project_element_by_element():
    g = Governor(-1.5, 2.25)
    values = [float(x) / 7 for x in range(-30, 30)] + [float("inf"), float("-inf"), 1e-40]
    assert g.project_batch(values) == [g.project(v) for v in values]


def test_batch_returns_a_new_list_and_leaves_the_input_alone():
    g = Governor(0.0, 1.0)
    data = [2.0, 0.5]
    first, second = g.project_batch(data), g.project_batch(data)
    assert first == second == [1.0, 0.5]
    assert first is not second and first is not data
    assert data == [2.0, 0.5]


def test_batch_refuses_str_and_non_sequences():
    g = Governor(0.0, 1.0)
    assert raises_text(TypeError, g.project_batch, "123") == "argument 'u_vec': Can't extract `str` to `Vec`"

    class Text(str):
        pass

    assert raises_text(TypeError, g.project_batch, Text("1")) == "argument 'u_vec': Can't extract `str` to `Vec`"
    for bad, name in (({1.0}, "set"), ({1: 2}, "dict"), ((x for x in [1.0]), "generator"), (3, "int")):
        assert raises_text(TypeError, g.project_batch, bad) == (
            f"argument 'u_vec': '{name}' object cannot be converted to 'Sequence'"
        )


def test_batch_element_failures_return_nothing():
    g = Governor(0.0, 1.0)
    text = raises_text(TypeError, g.project_batch, [1.0, "a"])
    assert text.startswith("argument 'u_vec': ")

    class Boom(Exception):
        pass

    class Exploding:
        def __float__(self):
            raise Boom("no float")

    with pytest.raises(Boom):
        g.project_batch([0.5, Exploding()])
    with pytest.raises(OverflowError):
        g.project_batch([10**400])


class Seq:
    """A sequence whose length and iteration can be made to misbehave."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length is None:
            raise RuntimeError("no length")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise KeyError("iteration failed")
        return self.items[i]


def test_batch_length_only_sizes_the_buffer():
    g = Governor(0.0, 10.0)
    assert g.project_batch(Seq([1.0, 2.0, 3.0])) == [1.0, 2.0, 3.0]  # length raises: swallowed
    assert g.project_batch(Seq([1.0, 2.0, 3.0], length=1)) == [1.0, 2.0, 3.0]
    assert g.project_batch(Seq([1.0], length=2**62)) == [1.0]
    with pytest.raises(KeyError):
        g.project_batch(Seq([1.0, 2.0], length=2, fail_at=1))


def test_batch_survives_a_list_that_shrinks_while_converted():
    data = []

    class Shrinker:
        def __float__(self):
            data.clear()
            return 0.5

    data.extend([Shrinker(), 1.0, 2.0])
    assert Governor(0.0, 1.0).project_batch(data) == [0.5]


def test_docs():
    assert Governor.__doc__ == "Python wrapper around the Kelvara scalar active-set projection kernel."
    assert Governor.__text_signature__ == "(min_bound, max_bound)"
    assert Governor.project.__doc__ == "Project a single scalar actuator command into the safe envelope."
    assert Governor.project.__text_signature__ == "($self, u_desired)"
    assert Governor.project_batch.__doc__ == "Project a vector of actuator commands in a single call."
    assert Governor.project_batch.__text_signature__ == "($self, u_vec)"


def test_method_on_a_foreign_receiver():
    with pytest.raises(TypeError) as info:
        Governor.project(1.0, 2.0)
    assert "Governor" in str(info.value) and "float" in str(info.value)


def test_no_leaks(assert_no_leak):
    g = Governor(0.0, 1.0)
    data = [0.5, 2.0, -1.0] * 10

    def calls():
        g.project(0.3)
        g.project_batch(data)
        g.project_batch(range(5))
        for bad in ("abc", [1.0, "a"], {1.0}):
            try:
                g.project_batch(bad)
            except TypeError:
                pass
        try:
            Governor(1.0, 0.0)
        except ValueError:
            pass

    assert_no_leak(calls, rounds=5000)
