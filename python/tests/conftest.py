import gc
import sys

import pytest


@pytest.fixture
def assert_no_leak():
    """Runs a callable many times and checks that the interpreter's allocated
    block count stays flat (a reference leak grows it by at least one a call)."""

    def check(fn, rounds=20000):
        for _ in range(200):  # warm caches, interned strings, free lists
            fn()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            fn()
        gc.collect()
        grown = sys.getallocatedblocks() - before
        assert grown < rounds // 100, f"{grown} blocks left after {rounds} calls"

    return check


def raises_text(exc_type, fn, *args, **kwargs):
    """Calls fn and returns the str of the exception of exactly exc_type it raises."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    return str(info.value)
