import array
import math
import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings, strategies as st

from _kelvara import Governor

from conftest import raises_text

try:
    import numpy as np
except ImportError:  # numpy is optional at run time
    np = None

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def bits(values, code):
    return struct.pack(f"{len(values)}{code}", *values)


def expected(g, values, code):
    """What project() gives element by element, as the buffer's element type."""
    return bits([g.project(v) for v in values], code)


def buffers(values, code):
    """Writable buffers of every kind holding `values`, each with its element code."""
    made = [array.array(code, values), memoryview(array.array(code, values))]
    if np is not None:
        made.append(np.array(values, np.float32 if code == "f" else np.float64))
    return made


@st.composite
def envelopes(draw):
    lo, hi = sorted(draw(st.lists(st.floats(-1e6, 1e6, width=32), min_size=2, max_size=2, unique=True)))
    return draw(st.sampled_from([(lo, hi), (-math.inf, hi), (lo, math.inf)]))


# Lengths around the 256-element blocks and the vector tails.
values = st.lists(st.one_of(st.floats(-2e6, 2e6), st.floats(allow_subnormal=True)), max_size=600)


@settings(max_examples=200, deadline=None)
@given(envelopes(), values, st.sampled_from("fd"))
def test_buffers_are_projected_as_project_gives_each_element(bounds, data, code):
    g = Governor(*bounds)
    data = list(array.array(code, data))  # what the buffer holds, rounded to its type
    want = expected(g, data, code)
    for buffer in buffers(data, code):
        assert g.project_into(buffer) is None
        assert bits(memoryview(buffer).cast("B").cast(code).tolist(), code) == want
        again = bytes(memoryview(buffer).cast("B"))
        g.project_into(buffer)  # projecting twice changes nothing
        assert bytes(memoryview(buffer).cast("B")) == again
    for source in [data, array.array(code, data)] + buffers(data, code)[2:]:
        batch = g.project_batch(source)
        assert type(batch) is list and all(type(x) is float for x in batch)
        assert bits(batch, "d") == bits([g.project(v) for v in data], "d")


def test_large_buffers_and_strided_batches():
    g = Governor(-1.0, 1.0)
    data = [math.sin(i) * 2 for i in range(300_007)]  # past the size at which the lock is released
    for code in "fd":
        buffer = array.array(code, data)
        g.project_into(buffer)
        assert bits(buffer.tolist(), code) == expected(g, array.array(code, data).tolist(), code)
    if np is not None:
        strided = np.array(data, np.float64)[::3]
        assert g.project_batch(strided) == [g.project(v) for v in strided.tolist()]
        assert g.project_batch(np.array(data[:4], np.float32)) == [g.project(v) for v in np.float32(data[:4])]


def test_large_buffers_let_other_threads_run():
    g = Governor(-1.0, 1.0)
    buffer = array.array("f", bytes(4 << 23))
    woken, ran = threading.Event(), threading.Event()
    helper = threading.Thread(target=lambda: (woken.wait(), ran.set()))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(60)  # the helper runs only if the lock is given up
    try:
        helper.start()
        woken.set()
        for _ in range(50):
            g.project_into(buffer)
            if ran.is_set():  # read before anything else can give up the lock
                break
        assert ran.is_set()
    finally:
        sys.setswitchinterval(interval)
        helper.join()


def test_refused_buffers_are_left_untouched():
    g = Governor(0.0, 1.0)
    cases = [
        ([2.0], TypeError, "argument 'buffer': expected a writable buffer of float32 ('f') or float64 ('d'), not 'list'"),
        (bytearray(8), TypeError, "argument 'buffer': expected elements of float32 ('f') or float64 ('d'), got format 'B'"),
        (array.array("i", [5, 6]), TypeError,
         "argument 'buffer': expected elements of float32 ('f') or float64 ('d'), got format 'i'"),
        (memoryview(array.array("f", [2.0])).toreadonly(), TypeError, "argument 'buffer': the buffer is read-only"),
        (memoryview(array.array("d", [2.0] * 4))[::2], ValueError, "argument 'buffer': the buffer is not C-contiguous"),
        (memoryview(array.array("f", [2.0] * 4)).cast("B").cast("f", (2, 2)), ValueError,
         "argument 'buffer': expected a one-dimensional buffer, got 2 dimensions"),
    ]
    if np is not None:
        cases += [
            (np.full((2, 2), 2.0), ValueError, "argument 'buffer': expected a one-dimensional buffer, got 2 dimensions"),
            (np.full(4, 2.0, np.float32)[::2], ValueError, "argument 'buffer': the buffer is not C-contiguous"),
            (np.full(2, 2.0, ">f8"), TypeError,
             "argument 'buffer': expected elements of float32 ('f') or float64 ('d'), got format '>d'"),
            (np.full(2, 2.0, np.float16), TypeError,
             "argument 'buffer': expected elements of float32 ('f') or float64 ('d'), got format 'e'"),
            (np.float32(2.0), ValueError, "argument 'buffer': expected a one-dimensional buffer, got 0 dimensions"),
        ]
        frozen = np.full(3, 2.0)
        frozen.flags.writeable = False
        cases.append((frozen, TypeError, "argument 'buffer': the buffer is read-only"))
    for buffer, exc_type, text in cases:
        before = contents(buffer)
        assert raises_text(exc_type, g.project_into, buffer) == text
        assert contents(buffer) == before
    assert raises_text(TypeError, g.project_into) == "Governor.project_into() missing 1 required positional argument: 'buffer'"


def contents(buffer):
    return buffer.tobytes() if hasattr(buffer, "tobytes") else repr(buffer)


def run_child(code, **kwargs):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory needs more address space than the limit")
def test_batch_out_of_memory_raises_frees_and_leaves_the_governor_usable():
    child = run_child(
        """
        import resource
        from _kelvara import Governor

        def mapped():
            return int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()

        g = Governor(-1.0, 1.0)
        long_list = [0.5] * 30_000_000  # its result list alone needs more than the limit leaves
        before = mapped()
        resource.setrlimit(resource.RLIMIT_AS, (before + (200 << 20), resource.RLIM_INFINITY))
        for source in (long_list, range(10**9), long_list):  # the list, then the values read
            try:
                g.project_batch(source)
            except MemoryError:
                print("MemoryError")
        print(mapped() - before < (16 << 20))
        print(g.project_batch([0.5, 2.0]), g.project(3.0))
        """
    )
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.splitlines() == ["MemoryError"] * 3 + ["True", "[0.5, 1.0] 1.0"]


def test_a_long_batch_is_interrupted_by_ctrl_c():
    child = run_child(
        """
        import sys
        from _kelvara import Governor
        print("reading", flush=True)
        Governor(-1.0, 1.0).project_batch(range(10**10))
        """
    )
    assert child.stdout.readline() == "reading\n"
    # The child reads (and then fills) for far longer than this test waits.
    try:
        import time

        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert "KeyboardInterrupt" in err.splitlines()[-1]


def test_no_leaks(assert_no_leak):
    g = Governor(0.0, 1.0)
    f32 = array.array("f", [0.5, 2.0, -1.0] * 100)
    f64 = array.array("d", [0.5, 2.0, -1.0] * 100)

    def calls():
        g.project_into(f32)
        g.project_into(f64)
        g.project_batch(f32)
        g.project_batch(memoryview(f64)[::2])
        for bad in ([1.0], bytearray(4), memoryview(f32).toreadonly()):
            try:
                g.project_into(bad)
            except (TypeError, ValueError):
                pass

    assert_no_leak(calls, rounds=3000)
