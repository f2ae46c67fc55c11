"""The drive: two simulated arms, one behind each protocol's gate. Only what a
gate admits moves a motor: a whole frame sets every joint at once; a per-axis
command sets its own joint and leaves the others where they were.

It restarts once (new gates, nothing remembered) and takes part in the key
rotation: the frame gate learns the new key under a new id, and later forgets
the old one. A per-axis gate holds one key and receipts carry no key id, so the
per-axis side can only swap its gate for one under the new key when the old key
is retired."""

from __future__ import annotations

import collections
import time
from typing import Any

import numpy as np

from kelvara import CommandGate, Envelope, KelGate, KelViolation

from . import link
from .model import Arm
from .processes import serve, wiring_settings
from .records import save
from .scenario import (
    AXES,
    KEY_IDS,
    LIMITS,
    MAIN_STREAM,
    MAX_BOUND,
    MIN_BOUND,
    ROWS,
    TELEOP_STREAM,
    Settings,
    Timeline,
    keys,
)


class Gates:
    """The drive's two gates, with their counts kept across restarts."""

    def __init__(self, settings: Settings, provisioned: dict[int, bytes]) -> None:
        self.settings = settings
        self.provisioned = provisioned
        self.envelope = Envelope(MIN_BOUND, MAX_BOUND, ROWS, LIMITS)
        self.counts: dict[str, collections.Counter[str]] = {"frames": collections.Counter(),
                                                           "per-axis": collections.Counter()}
        self.frames, self.receipts = self._new_gates([KEY_IDS[0]])

    def _new_gates(self, key_ids: list[int]) -> tuple[CommandGate, KelGate]:
        """Gates that remember nothing: the frame gate with every key the drive
        holds, the per-axis gate with the oldest (receipts name no key)."""
        frames = CommandGate(
            {key_id: self.provisioned[key_id] for key_id in key_ids},
            axes=AXES,
            streams={MAIN_STREAM, TELEOP_STREAM},
            max_age_s=self.settings.max_age_s,
            envelope=self.envelope,
            max_step_rad_s=self.settings.max_step,
        )
        return frames, KelGate(self.provisioned[key_ids[0]], max_age_s=self.settings.max_age_s)

    def _keep_counts(self) -> None:
        self.counts["frames"].update(dict(self.frames.stats))
        self.counts["per-axis"].update(dict(self.receipts.stats))

    def restart(self, key_ids: list[int]) -> None:
        self._keep_counts()
        self.frames, self.receipts = self._new_gates(key_ids)

    def retire_key(self, old: int, new: int) -> None:
        self.frames.remove_key(old)
        counts = dict(self.receipts.stats)
        self.receipts = KelGate(self.provisioned[new], max_age_s=self.settings.max_age_s)
        self.counts["per-axis"].update(counts)

    def totals(self) -> dict[str, dict[str, int]]:
        """Every count since the start, the current gates' included."""
        totals = {name: collections.Counter(counts) for name, counts in self.counts.items()}
        totals["frames"].update(dict(self.frames.stats))
        totals["per-axis"].update(dict(self.receipts.stats))
        return {name: dict(counts) for name, counts in totals.items()}


def bind() -> dict:
    return {"frames": link.udp_socket(), "per-axis": link.udp_socket(), "done": link.udp_socket()}


def run(sockets: dict, wiring: dict) -> None:
    settings = wiring_settings(wiring)
    timeline = Timeline.of(settings)
    gates = Gates(settings, keys(settings))
    arms = {"frames": Arm(), "per-axis": Arm()}
    controller = (link.HOST, wiring["ports"]["controller"]["done"])
    ticks = settings.ticks
    record: dict[str, Any] = {f"{what} {name}": np.zeros((ticks, AXES)) for what in ("applied", "joints") for name in arms}
    record |= {"admit_frames_ns": np.zeros(ticks, np.int64), "admit_receipts_ns": np.zeros(ticks, np.int64),
               "physics_ns": np.zeros(ticks, np.int64)}
    received = []  # (tick, link, digest, outcome, stream) of every datagram, in arrival order
    for tick in range(ticks):
        datagrams = {name: link.receive_tick(sockets[name], tick, "the attacker") for name in link.LINKS}
        if tick == timeline.drive_restart:
            gates.restart(timeline.drive_key_ids(tick))
        if tick == timeline.key_added:
            gates.frames.add_key(KEY_IDS[1], gates.provisioned[KEY_IDS[1]])
        if tick == timeline.key_removed:
            gates.retire_key(KEY_IDS[0], KEY_IDS[1])

        spent = 0
        for frame in datagrams["frames"]:
            started = time.perf_counter_ns()
            try:
                command = gates.frames.admit(frame)
            except KelViolation as refusal:
                outcome, stream = refusal.violation_type, None
            else:
                outcome, stream = "admitted", command.stream_id
            spent += time.perf_counter_ns() - started
            if outcome == "admitted":
                arms["frames"].command_all(command.positions)
            received.append((tick, "frames", link.digest(frame), outcome, stream))
        record["admit_frames_ns"][tick] = spent

        spent = 0
        for datagram in datagrams["per-axis"]:
            outcome, ns = admit_receipt(gates.receipts, arms["per-axis"], datagram)
            spent += ns
            received.append((tick, "per-axis", link.digest(datagram), outcome, None))
        record["admit_receipts_ns"][tick] = spent

        for name, arm in arms.items():
            started = time.perf_counter_ns()
            arm.step()
            if name == "frames":
                record["physics_ns"][tick] = time.perf_counter_ns() - started
            record[f"applied {name}"][tick] = arm.commanded
            record[f"joints {name}"][tick] = arm.joints
        sockets["done"].sendto(link.done_marker(tick), controller)
    record |= {"received": received, "stats": gates.totals()}
    save(wiring, "drive", record)


def admit_receipt(gate: KelGate, arm: Arm, datagram: bytes) -> tuple[str, int]:
    """One per-axis command through the gate to its motor: the outcome's code,
    and the nanoseconds the gate took."""
    if len(datagram) != link.PER_AXIS.size:
        return "malformed", 0  # not a per-axis command at all: the gate never sees it
    axis, position, velocity, receipt = link.PER_AXIS.unpack(datagram)
    if axis >= AXES:
        return "no_such_joint", 0
    started = time.perf_counter_ns()
    try:
        gate.admit(receipt, axis, position, velocity)
    except KelViolation as refusal:
        return refusal.violation_type, time.perf_counter_ns() - started
    spent = time.perf_counter_ns() - started
    arm.command(axis, position)
    return "admitted", spent


if __name__ == "__main__":
    raise SystemExit(serve(bind, run))
