import threading

import pytest

from _kelvara import MonotonicCounter

from conftest import raises_text

MAX = 2**64 - 1


def test_counts_from_zero_by_default():
    counter = MonotonicCounter()
    assert counter.current_value() == 0
    assert [counter.next_value() for _ in range(3)] == [1, 2, 3]
    assert counter.current_value() == counter.current_value() == 3


def test_initial_value_by_position_keyword_bool_and_index():
    class Index:
        def __index__(self):
            return 99

    assert MonotonicCounter(41).next_value() == 42
    assert MonotonicCounter(initial_value=7).current_value() == 7
    assert MonotonicCounter(True).current_value() == 1
    assert MonotonicCounter(Index()).current_value() == 99


def test_wraps_to_zero_after_the_largest_value():
    counter = MonotonicCounter(MAX)
    assert counter.current_value() == MAX
    assert counter.next_value() == 0
    assert counter.current_value() == 0
    assert counter.next_value() == 1


def test_out_of_range_initial_values_overflow():
    for bad in (-1, 2**64, -(2**70)):
        with pytest.raises(OverflowError):
            MonotonicCounter(bad)


def test_non_integers_name_the_argument():
    for bad in (1.5, "3", None, b"1"):
        assert raises_text(TypeError, MonotonicCounter, bad).startswith("argument 'initial_value': ")


def test_binding_errors():
    assert (
        raises_text(TypeError, MonotonicCounter, 1, 2)
        == "MonotonicCounter.__new__() takes from 0 to 1 positional arguments but 2 were given"
    )
    assert (
        raises_text(TypeError, MonotonicCounter, start=1)
        == "MonotonicCounter.__new__() got an unexpected keyword argument 'start'"
    )


def test_methods_refuse_arguments_and_leave_the_counter_alone():
    counter = MonotonicCounter(5)
    with pytest.raises(TypeError):
        counter.next_value(1)
    with pytest.raises(TypeError):
        counter.current_value(x=1)
    assert counter.current_value() == 5


def test_method_on_a_foreign_receiver():
    with pytest.raises(TypeError) as info:
        MonotonicCounter.next_value(3)
    assert "MonotonicCounter" in str(info.value) and "int" in str(info.value)


def test_docs():
    assert MonotonicCounter.__doc__ == "A monotonically increasing 64-bit counter."
    assert MonotonicCounter.__text_signature__ == "(initial_value=0)"
    assert MonotonicCounter.next_value.__doc__ == "Return the next strictly greater counter value."
    assert MonotonicCounter.next_value.__text_signature__ == "($self)"
    assert MonotonicCounter.current_value.__doc__ == "Return the current counter value without advancing it."


def test_threads_receive_every_value_exactly_once():
    initial, threads, calls = 1000, 8, 5000
    counter = MonotonicCounter(initial)
    seen = [[] for _ in range(threads)]
    start = threading.Barrier(threads)

    def work(out):
        start.wait()
        take = counter.next_value
        for _ in range(calls):
            out.append(take())

    workers = [threading.Thread(target=work, args=(out,)) for out in seen]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    values = sorted(v for out in seen for v in out)
    assert values == list(range(initial + 1, initial + threads * calls + 1))
    assert all(out == sorted(out) for out in seen)  # each thread sees its own values rise


def test_no_leaks(assert_no_leak):
    counter = MonotonicCounter()

    def calls():
        counter.next_value()
        counter.current_value()
        MonotonicCounter(MAX).next_value()
        for bad in (-1, 1.5):
            try:
                MonotonicCounter(bad)
            except (OverflowError, TypeError):
                pass

    assert_no_leak(calls)
