"""The attacker's schedule, fixed by the seed: what it does to the link on which
tick. Each event acts on both links at the same tick, in the way it can: on the
frame link a command is one datagram; on the per-axis link it is seven, and the
attacker picks the joint to hit."""

from __future__ import annotations

import random
from dataclasses import dataclass

from .scenario import AXES, Settings, Timeline

# What the attacker does, and whether a datagram of that kind may ever be admitted.
# Dropping sends nothing; a delayed or reordered command is genuine, and the gates
# must still refuse it when it arrives after a newer one (and in this schedule it
# always does).
KINDS = ("drop", "delay", "reorder", "replay", "bit flip", "wrong key", "unknown stream")
DELIVERED = {
    "delay": "delayed",
    "reorder": "reordered",
    "replay": "replayed",
    "bit flip": "forged: bit flip",
    "wrong key": "forged: wrong key",
    "unknown stream": "injected: unknown stream",
    "jam": "stale",
}
COUPLED_JOINTS = (1, 3, 4, 5)  # a dropped joint here leaves its partner breaking the coupled limit

_FIRST = 0.05  # no attack in the first twentieth of the run: the arm is still easing in
_GAP = (20, 120)  # ticks between the end of one event and the start of the next


@dataclass(frozen=True)
class Event:
    tick: int
    kind: str
    ticks: int = 1  # how long it lasts: a drop burst, or how long a command is held
    joint: int = 0  # the per-axis datagram it hits
    age: int = 0  # a replay: how many ticks old the replayed command is
    bit: int = 0  # a bit flip: which bit of the datagram, modulo its length in bits


def schedule(settings: Settings, timeline: Timeline) -> dict[int, Event]:
    """Every attack of the run by its first tick. The stale command is the jam's:
    the link is jammed for longer than the gates' freshness window and the first
    command held back is delivered at the end."""
    rng = random.Random(settings.seed)
    jam_start, jam_end = timeline.jam
    events = {jam_start: Event(jam_start, "jam", ticks=jam_end - jam_start)}
    tick = max(settings.tick_at(_FIRST), 1)
    order = list(KINDS)
    while True:
        if not order:
            order = list(KINDS)
        kind = order.pop(rng.randrange(len(order)))
        length = {"drop": rng.randint(5, 25), "delay": rng.randint(2, 20), "reorder": 1}.get(kind, 1)
        event = Event(
            tick,
            kind,
            ticks=length,
            joint=rng.choice(COUPLED_JOINTS) if kind == "drop" else rng.randrange(AXES),
            age=rng.randint(1, 400),
            bit=rng.randrange(1 << 16),
        )
        end = tick + length + 1  # a reorder and a delay finish a tick after their length
        if end >= settings.ticks - 1:
            return events
        if jam_start - 20 <= end and tick <= jam_end + 20:  # keep clear of the jam
            tick = jam_end + 21
            continue
        events[tick] = event
        tick = end + rng.randint(*_GAP)
