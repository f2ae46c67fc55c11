import gc
import os
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


def outcome_of(call):
    """Makes the call and returns "worked", or the text of the RuntimeError it raised."""
    try:
        call()
        return "worked"
    except RuntimeError as error:
        return str(error)


def in_forked_child(report):
    """Runs report() in a forked child and returns the lines of text it returned.
    The child sends them through a pipe and leaves at once, running none of the
    parent's clean-up; if report raises, the one line says so."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            text = "\n".join(report())
        except BaseException as error:
            text = f"the child raised {error!r}"
        os.write(write, text.encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        lines = pipe.read().split("\n")
    os.waitpid(pid, 0)
    return lines
