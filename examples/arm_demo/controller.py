"""The controller: each tick it projects the planner's desired joint vector into
the envelope and sends the safe command over both protocols: one signed frame,
and seven per-axis commands with their receipts. It lives through a restart (a
new signer, the same key and stream), hands over to a teleoperation stream for a
while, and moves to a new key when the drive has learnt it."""

from __future__ import annotations

import time
from typing import Any

import numpy as np

from kelvara import CommandSigner, Envelope, KelBoundary, KelViolation

from . import link
from .processes import serve, wiring_settings
from .records import save
from .scenario import (
    AXES,
    DT,
    LIMITS,
    LOCKED_JOINT,
    MAIN_STREAM,
    MAX_VELOCITY,
    ROWS,
    TELEOP_STREAM,
    Settings,
    Timeline,
    desired,
    envelope_bounds,
    keys,
)


class Sender:
    """One sending node (the planner or the teleoperation node): its sockets, and
    a signer for each protocol under the key it currently holds."""

    def __init__(self, settings: Settings, stream_id: int) -> None:
        self.settings = settings
        self.stream_id = stream_id
        self.frames = link.udp_socket()
        self.receipts = link.udp_socket()
        self.key_id = 0

    def start(self, key_id: int, key: bytes) -> None:
        """A fresh start: the signers keep nothing of their predecessors."""
        self.key_id = key_id
        self.signer = CommandSigner(
            key,
            stream_id=self.stream_id,
            axes=AXES,
            max_velocity_rad_s=MAX_VELOCITY,
            rate_limit=self.settings.frame_rate_limit(),
            key_id=key_id,
        )
        self.boundary = KelBoundary(
            rate_limit=self.settings.receipt_rate_limit(), max_velocity_rad_s=MAX_VELOCITY, hmac_key=key
        )


def bind() -> dict:
    return {"done": link.udp_socket()}


def run(sockets: dict, wiring: dict) -> None:
    settings = wiring_settings(wiring)
    timeline = Timeline.of(settings)
    provisioned = keys(settings)
    proxy = wiring["ports"]["proxy"]
    to_frames, to_receipts = (link.HOST, proxy["frames"]), (link.HOST, proxy["per-axis"])
    done = sockets["done"]
    planner, teleop = Sender(settings, MAIN_STREAM), Sender(settings, TELEOP_STREAM)
    planner.start(timeline.key_id(0), provisioned[timeline.key_id(0)])

    ticks = settings.ticks
    record: dict[str, Any] = {
        "desired": np.full((ticks, AXES), np.nan),
        "commanded": np.full((ticks, AXES), np.nan),
        "project_ns": np.zeros(ticks, np.int64),
        "sign_frame_ns": np.zeros(ticks, np.int64),
        "sign_receipts_ns": np.zeros(ticks, np.int64),
        "refusals": [],  # (tick, protocol, code, axis) refused before sending
        "statuses": {},  # tick -> the envelope's status when it was not optimal
    }
    free = Envelope(*envelope_bounds(0, timeline, 0.0), ROWS, LIMITS)
    envelope, previous = free, [0.0] * AXES  # the arm starts at rest at zero
    pacer = link.Pacer(wiring["epoch_ns"], settings.speed)
    for tick in range(ticks):
        key_id = timeline.key_id(tick)
        if tick in (timeline.controller_restart, timeline.key_switched):
            planner.start(key_id, provisioned[key_id])
        if tick == timeline.teleop[0]:
            teleop.start(key_id, provisioned[key_id])
        if tick == timeline.lock[0]:  # lock the flange where it is
            envelope = Envelope(*envelope_bounds(tick, timeline, previous[LOCKED_JOINT]), ROWS, LIMITS)
        if tick == timeline.lock[1]:
            envelope = free
        sender = teleop if timeline.sender(tick) == "teleop" else planner

        want = desired(tick, timeline)
        record["desired"][tick] = want
        started = time.perf_counter_ns()
        safe = envelope.project(want)
        record["project_ns"][tick] = time.perf_counter_ns() - started
        # The command is ready ahead of its tick and released on it, so the time
        # between two signatures follows the pacing, not the cost of the solve.
        pacer.wait(tick)
        if safe.ok:  # anything else holds the last command: nothing is sent
            positions = safe.u
            velocities = [(q - p) / DT for q, p in zip(positions, previous)]
            previous = list(positions)
            record["commanded"][tick] = positions
            send(sender, tick, positions, velocities, (to_frames, to_receipts), record)
        else:
            record["statuses"][tick] = safe.status
        planner.frames.sendto(link.tick_marker(tick), to_frames)
        planner.receipts.sendto(link.tick_marker(tick), to_receipts)
        link.wait_done(done, tick)
    save(wiring, "controller", record)


def send(sender: Sender, tick: int, positions, velocities, to, record: dict) -> None:
    """Sign the command both ways and send it; only the library's calls are timed."""
    to_frames, to_receipts = to
    started = time.perf_counter_ns()
    try:
        frame = sender.signer.sign(positions, velocities)
    except KelViolation as refusal:
        frame = None
        record["refusals"].append((tick, "frames", refusal.violation_type, refusal.axis))
    record["sign_frame_ns"][tick] = time.perf_counter_ns() - started

    datagrams, spent = [], 0
    for axis in range(AXES):
        started = time.perf_counter_ns()
        try:
            receipt = sender.boundary.authorize_action(axis, positions[axis], velocities[axis])
        except KelViolation as refusal:
            record["refusals"].append((tick, "per-axis", refusal.violation_type, axis))
            continue
        finally:
            spent += time.perf_counter_ns() - started
        datagrams.append(link.PER_AXIS.pack(axis, positions[axis], velocities[axis], receipt.receipt_hash))
    record["sign_receipts_ns"][tick] = spent
    if frame is not None:
        sender.frames.sendto(frame, to_frames)
    for datagram in datagrams:
        sender.receipts.sendto(datagram, to_receipts)


if __name__ == "__main__":
    raise SystemExit(serve(bind, run))
