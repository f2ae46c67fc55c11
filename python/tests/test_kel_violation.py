import gc
import sys

import pytest

import _kelvara
from _kelvara import KelViolation

from conftest import raises_text


def test_defaults_and_str():
    exc = KelViolation()
    assert (exc.axis, exc.violation_type, exc.message) == (0, "", "")
    assert str(exc) == "KelViolation(axis=0, violation_type=): "
    assert exc.args == ()


def test_positional_construction_str_args_and_repr():
    exc = KelViolation(-5, "x", "y")
    assert str(exc) == "KelViolation(axis=-5, violation_type=x): y"
    assert exc.args == (-5, "x", "y")
    assert repr(exc) == "KelViolation(-5, 'x', 'y')"


def test_texts_are_stored_verbatim():
    exc = KelViolation(3, "rate_limited", "action rate limit exceeded")
    assert str(exc) == "KelViolation(axis=3, violation_type=rate_limited): action rate limit exceeded"
    odd = KelViolation(1, "ünïcode\x00nul", "“quoted” \n text")
    assert odd.violation_type == "ünïcode\x00nul"
    assert odd.message == "“quoted” \n text"
    assert str(odd) == "KelViolation(axis=1, violation_type=ünïcode\x00nul): “quoted” \n text"


def test_str_subclass_texts_are_accepted():
    class Code(str):
        pass

    assert KelViolation(0, Code("c"), Code("m")).violation_type == "c"


def test_axis_range_is_signed_32_bit():
    assert KelViolation(-(2**31)).axis == -(2**31)
    assert KelViolation(2**31 - 1).axis == 2**31 - 1
    assert raises_text(OverflowError, KelViolation, 2**31, "x", "y") == "number too large to fit in target type"
    assert raises_text(OverflowError, KelViolation, -(2**31) - 1) == "number too small to fit in target type"
    with pytest.raises(OverflowError):
        KelViolation(2**70)
    assert KelViolation(True).axis == 1


def test_axis_accepts_objects_with_an_integer_index():
    class Index:
        def __index__(self):
            return 7

    assert KelViolation(Index()).axis == 7


def test_conversion_errors_name_the_argument():
    assert raises_text(TypeError, KelViolation, 1.5).startswith("argument 'axis': ")
    text = raises_text(TypeError, KelViolation, 0, 7)
    assert text == "argument 'violation_type': 'int' object cannot be converted to 'PyString'"
    assert raises_text(TypeError, KelViolation, 0, "x", b"y").startswith("argument 'message': ")
    # The first failing parameter decides.
    assert raises_text(TypeError, KelViolation, "a", 1, 2).startswith("argument 'axis': ")


def test_unencodable_text_raises_the_hosts_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        KelViolation(0, "\udc80")


def test_binding_errors():
    assert (
        raises_text(TypeError, KelViolation, 1, "a", "b", "c")
        == "KelViolation.__new__() takes from 0 to 3 positional arguments but 4 were given"
    )
    assert (
        raises_text(TypeError, KelViolation, bogus=1)
        == "KelViolation.__new__() got an unexpected keyword argument 'bogus'"
    )
    assert (
        raises_text(TypeError, KelViolation, 1, axis=2)
        == "KelViolation.__new__() got multiple values for argument 'axis'"
    )


def test_keyword_construction_passes_binding_but_not_the_inherited_initialiser():
    with pytest.raises(TypeError) as info:
        KelViolation(axis=1)
    assert "keyword" in str(info.value)


def test_attributes_are_read_only():
    exc = KelViolation(1, "a", "b")
    for name, value in (("axis", 2), ("violation_type", "z"), ("message", "z")):
        with pytest.raises(AttributeError):
            setattr(exc, name, value)
        with pytest.raises(AttributeError):
            delattr(exc, name)
    assert (exc.axis, exc.violation_type, exc.message) == (1, "a", "b")


def test_class_shape():
    assert issubclass(KelViolation, Exception)
    assert KelViolation.__module__ == "builtins"
    assert KelViolation.__qualname__ == "KelViolation"
    assert KelViolation.__doc__ == "Exception raised when an action request violates the Kelvara boundary."
    assert KelViolation.__text_signature__ == "(axis=0, violation_type=..., message=...)"
    assert KelViolation.__init__ is Exception.__init__
    assert KelViolation.__repr__ is Exception.__repr__


def test_raised_and_caught_as_exception():
    with pytest.raises(Exception) as info:
        raise KelViolation(4, "replay_counter", "monotonic counter violation (replay)")
    assert info.value.axis == 4


def test_subclass_instances_keep_their_fields():
    class Sub(KelViolation):
        pass

    exc = Sub(2, "t", "m")
    assert (exc.axis, exc.violation_type, exc.message, exc.args) == (2, "t", "m", (2, "t", "m"))


def test_construction_and_failures_do_not_leak(assert_no_leak):
    def round_trip():
        exc = KelViolation(3, "rate_limited", "action rate limit exceeded")
        str(exc), exc.violation_type, exc.message
        for bad in ((1.5,), (0, 7), (1, "a", "b", "c")):
            try:
                KelViolation(*bad)
            except (TypeError, OverflowError):
                pass

    assert_no_leak(round_trip)


def test_violations_in_reference_cycles_are_collected():
    # Each pair points at the other through __context__, as an exception raised
    # while handling another does; the collector must be able to break the pair.
    def make_cycles(count):
        for _ in range(count):
            first = KelViolation(1, "rate_limited", "action rate limit exceeded")
            second = KelViolation(2, "replay_nonce", "nonce reuse detected")
            first.__context__, second.__context__ = second, first

    make_cycles(1000)
    gc.collect()
    before = sys.getallocatedblocks()
    make_cycles(100_000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 1000
