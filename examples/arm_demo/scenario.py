"""The plan every process of the demo shares: the arm's limits, the timeline of
ordinary events, the desired trajectory and the envelope in force at each tick.

Everything here is a pure function of the tick and the run's settings, so the
controller, the attacker and the drive agree on what happens when without
talking about it.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass

CONTROL_HZ = 500
DT = 1.0 / CONTROL_HZ  # simulated seconds per tick, also the physics step
AXES = 7
JOINTS = ("base", "shoulder", "upper-arm roll", "elbow", "wrist pitch", "wrist yaw", "flange")
MIN_BOUND = (-1.4, -1.2, -1.0, -1.5, -1.2, -1.2, -2.5)  # rad
MAX_BOUND = (1.4, 1.4, 1.0, 1.5, 1.2, 1.2, 2.5)  # rad
# The forearm must clear the table and the base: shoulder + elbow stays within
# [-0.9, 1.3]; the two wrist joints together stay below 1.0 so the tool clears the
# forearm.
ROWS = (
    (0.0, 1.0, 0.0, 1.0, 0.0, 0.0, 0.0),
    (0.0, -1.0, 0.0, -1.0, 0.0, 0.0, 0.0),
    (0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 0.0),
)
LIMITS = (1.3, 0.9, 1.0)
ROW_NAMES = ("shoulder + elbow", "-(shoulder + elbow)", "wrist pitch + wrist yaw")
LOCKED_JOINT = 6  # the flange holds a tool for part of the run

MAX_VELOCITY = 4.0  # rad/s, the signers' limit on every axis
MAX_AGE_S = 0.25  # both gates refuse commands older (or newer) than this
# The frame gate's step limit, in rad per second of the sender's clock: three
# times the signers' velocity limit, since a late controller may send two ticks
# half a period apart (see link.Pacer).
MAX_STEP = 12.0

MAIN_STREAM = 1
TELEOP_STREAM = 2
KEY_IDS = (1, 2)  # before and after the rotation


@dataclass(frozen=True)
class Settings:
    """What one run is: its length, its seed and how fast it goes.

    `speed` runs the wall clock that many times faster than simulated time: 1 is
    real time. The wall-clock rules (rate windows, freshness, the step limit) are
    scaled with it, so a faster run exercises the same rules on the same ticks."""

    seconds: float = 10.0
    seed: int = 20261209
    speed: float = 1.0

    @property
    def ticks(self) -> int:
        return round(self.seconds * CONTROL_HZ)

    def tick_at(self, fraction: float) -> int:
        """The tick at this fraction of the run: the timeline scales with its length."""
        return round(fraction * self.ticks)

    @property
    def max_age_s(self) -> float:
        return MAX_AGE_S / self.speed

    @property
    def max_step(self) -> float:
        return MAX_STEP * self.speed

    def frame_rate_limit(self) -> int:
        # The pacing never sends two ticks closer than half a period (link.Pacer), so
        # at most twice the control rate; the limit leaves room above it.
        return math.ceil(2.4 * CONTROL_HZ * self.speed)

    def receipt_rate_limit(self) -> int:
        return AXES * self.frame_rate_limit()


@dataclass(frozen=True)
class Timeline:
    """The ordinary events a link must live through, as ticks."""

    controller_restart: int
    drive_restart: int
    teleop: tuple[int, int]  # [start, end): the teleoperation stream commands the arm
    lock: tuple[int, int]  # [start, end): the flange is locked
    key_added: int  # the drive learns the new key
    key_switched: int  # the senders sign with it
    key_removed: int  # the drive forgets the old one
    jam: tuple[int, int]  # [start, end): the attacker jams the link, to deliver a stale command

    @staticmethod
    def of(settings: Settings) -> "Timeline":
        at = settings.tick_at
        return Timeline(
            controller_restart=at(0.20),
            drive_restart=at(0.30),
            teleop=(at(0.40), at(0.55)),
            lock=(at(0.60), at(0.80)),
            key_added=at(0.65),
            key_switched=at(0.68),
            key_removed=at(0.72),
            jam=(at(0.86), at(0.90)),
        )

    def key_id(self, tick: int) -> int:
        """The key id the senders sign with at this tick."""
        return KEY_IDS[1] if tick >= self.key_switched else KEY_IDS[0]

    def drive_key_ids(self, tick: int) -> list[int]:
        """The key ids the drive holds at this tick."""
        held = [] if tick >= self.key_removed else [KEY_IDS[0]]
        return held + ([KEY_IDS[1]] if tick >= self.key_added else [])

    def sender(self, tick: int) -> str:
        start, end = self.teleop
        return "teleop" if start <= tick < end else "planner"

    def locked(self, tick: int) -> bool:
        return self.lock[0] <= tick < self.lock[1]

    def marks(self) -> list[tuple[str, int]]:
        """The single-tick events, for the picture and the table."""
        return [
            ("controller restart", self.controller_restart),
            ("drive restart", self.drive_restart),
            ("teleop starts", self.teleop[0]),
            ("teleop ends", self.teleop[1]),
            ("new key added", self.key_added),
            ("senders move to the new key", self.key_switched),
            ("old key removed", self.key_removed),
        ]


def desired(tick: int, timeline: Timeline) -> list[float]:
    """The trajectory the planner wants: every joint swings past its limits, and
    the coupled pairs past their coupled limits, sliding along them (so a joint
    left behind breaks the limit). It eases in from rest over the first second.

    While the flange is locked its phase stands still and the operator pushes it
    away and back, so the envelope has work to do and the lock ends where it began."""
    t = tick * DT
    start, end = timeline.lock
    phase = t - max(0, min(tick, end) - start) * DT
    ease, flange_ease = (0.5 * (1.0 - math.cos(math.pi * min(s, 1.0))) for s in (t, phase))
    push = 0.0
    if start <= tick < end:
        push = 0.8 * math.sin(math.pi * (tick - start) / (end - start))
    return [
        ease * 1.7 * math.sin(0.7 * t),
        ease * (0.3 + 1.0 * math.sin(1.3 * t)),
        ease * 1.2 * math.sin(1.1 * t + 0.5),
        ease * (0.35 + 1.1 * math.sin(0.8 * t + 1.2)),
        ease * (0.5 + 0.8 * math.sin(1.7 * t)),
        ease * (0.45 + 0.8 * math.sin(1.2 * t + 2.0)),
        flange_ease * 2.2 * math.sin(1.4 * phase) + push,
    ]


def envelope_bounds(tick: int, timeline: Timeline, lock_at: float) -> tuple[list[float], list[float]]:
    """The joint box at this tick: the flange's bounds close on `lock_at` while it is locked."""
    low, high = list(MIN_BOUND), list(MAX_BOUND)
    if timeline.locked(tick):
        low[LOCKED_JOINT] = high[LOCKED_JOINT] = lock_at
    return low, high


def excursion(positions) -> tuple[float, list[float]]:
    """How far a position vector lies beyond the joint box, and beyond each coupled
    limit (0 when inside)."""
    box = max(max(lo - q, q - hi) for q, lo, hi in zip(positions, MIN_BOUND, MAX_BOUND))
    rows = [sum(a * q for a, q in zip(row, positions)) - limit for row, limit in zip(ROWS, LIMITS)]
    return max(box, 0.0), [max(r, 0.0) for r in rows]


def keys(settings: Settings) -> dict[int, bytes]:
    """The keys both ends were provisioned with, by key id (fixed by the seed)."""
    rng = random.Random(settings.seed ^ 0x6B657973)
    return {key_id: rng.randbytes(32) for key_id in KEY_IDS}
