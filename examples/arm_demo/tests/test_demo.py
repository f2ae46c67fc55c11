"""The demo's own test: a short run end to end, and the clean-up that leaves no
process behind however a run ends."""

from __future__ import annotations

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from arm_demo.analysis import MUST_BE_REFUSED

ENTRY = pathlib.Path(__file__).resolve().parents[2] / "mujoco_arm.py"


def demo(output: pathlib.Path, *options: str, **popen) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, str(ENTRY), "--output", str(output), *options], text=True, **popen)


def test_a_short_run_keeps_the_limits_with_frames_and_refuses_every_attack(tmp_path):
    run = demo(tmp_path, "--seconds", "1.5", "--speed", "4", stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out, _ = run.communicate(timeout=120)
    assert run.returncode == 0, out
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["failures"] == []
    frames, receipts = summary["protocols"]["frames"], summary["protocols"]["per-axis"]

    # Every kind of attack reached both links, and not one datagram of them was admitted.
    for protocol in (frames, receipts):
        assert set(protocol["attacks"]) == {*MUST_BE_REFUSED, "delayed", "reordered", "dropped", "jammed"}
        assert all(admitted == 0 for _, admitted in protocol["attacks"].values())
    # The gates counted each datagram that reached them exactly once, across the drive restart.
    assert sum(frames["outcomes"].values()) == frames["delivered"]
    per_axis_outside_gate = receipts["outcomes"].get("malformed", 0) + receipts["outcomes"].get("no_such_joint", 0)
    assert sum(receipts["outcomes"].values()) - per_axis_outside_gate == receipts["delivered"]

    # Frames: nothing beyond any limit (but the solve's rounding), nothing lost to
    # a restart, the teleop stream or the key rotation.
    assert frames["broken_ticks"] == 0 and max(frames["box_excursion"], *frames["row_excursions"]) < 1e-8
    assert set(frames["lost"].values()) == {0}
    # Per-axis receipts, under the same schedule: a dropped joint breaks a coupled
    # limit, and the ordinary events cost commands.
    assert receipts["broken_ticks"] > 0 and max(receipts["row_excursions"]) > 1e-3
    for event in ("controller restart", "teleop stream", "key rotation"):
        assert receipts["lost"][event] > 0, event
    assert (tmp_path / "arm.png").stat().st_size > 30_000


def _children(pid: int) -> dict[int, str]:
    """The processes whose parent is `pid`, with their command lines."""
    found = {}
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                parent = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
                if parent == pid:
                    found[int(entry.name)] = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
            except (OSError, IndexError, ValueError):
                pass  # it exited while we looked
    return found


def _alive(pids) -> list[int]:
    alive = []
    for pid in pids:
        try:
            state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state != "Z":
            alive.append(pid)
    return alive


@pytest.mark.parametrize("ending", ["Ctrl-C", "SIGTERM", "the drive killed", "the demo killed"])
def test_no_process_outlives_the_run(tmp_path, ending):
    run = demo(tmp_path, "--seconds", "60", stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while len(children := _children(run.pid)) < 3 or not (tmp_path / "records").exists():
            assert run.poll() is None and time.monotonic() < deadline, "the demo did not start its processes"
            time.sleep(0.05)
        time.sleep(1.5)  # into the run
        assert run.poll() is None
        if ending == "Ctrl-C":
            run.send_signal(signal.SIGINT)
        elif ending == "SIGTERM":
            run.send_signal(signal.SIGTERM)
        elif ending == "the drive killed":
            os.kill(next(pid for pid, line in children.items() if "arm_demo.drive" in line), signal.SIGKILL)
        else:
            run.kill()  # no clean-up runs: the kernel tells the children
        _, err = run.communicate(timeout=30)
        expected = {"Ctrl-C": 130, "SIGTERM": 128 + signal.SIGTERM, "the drive killed": 2, "the demo killed": -9}
        assert run.returncode == expected[ending], err
        deadline = time.monotonic() + 5
        while _alive(children) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert _alive(children) == []
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
