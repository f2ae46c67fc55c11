"""What a run's records add up to: attacks followed from the attacker to the
drive, commands lost to each ordinary event, excursions beyond the limits at
the drive, and the cost of each stage."""

from __future__ import annotations

import collections
from dataclasses import dataclass, field

import numpy as np

from .link import LINKS
from .scenario import AXES, LIMITS, MAX_BOUND, MIN_BOUND, ROWS, Settings, Timeline

# Kinds of attack datagram that must never be admitted; a delayed or reordered
# command is genuine, but in this schedule it always arrives after a newer one.
MUST_BE_REFUSED = ("forged: bit flip", "forged: wrong key", "injected: unknown stream", "replayed", "stale")


def _tolerance(limit: float) -> float:
    return 1e-9 * (1.0 + abs(limit))


@dataclass
class Protocol:
    """One protocol's side of the run."""

    name: str
    sent: int = 0  # datagrams the controller sent
    delivered: int = 0  # datagrams the attacker sent on to the drive
    commands: int = 0  # ticks whose command the controller sent
    signer_refusals: collections.Counter = field(default_factory=collections.Counter)
    outcomes: collections.Counter = field(default_factory=collections.Counter)  # the gates' stats
    attacks: dict[str, list[int]] = field(default_factory=dict)  # kind -> [datagrams, admitted]
    box_excursion: float = 0.0
    row_excursions: list[float] = field(default_factory=lambda: [0.0] * len(ROWS))
    broken_ticks: int = 0  # ticks the applied command broke a coupled limit
    lost: dict[str, int] = field(default_factory=dict)  # event -> ticks lost to it
    trace_refusals: list[tuple[int, str]] = field(default_factory=list)  # (tick, code) for the picture


@dataclass
class Analysis:
    settings: Settings
    timeline: Timeline
    protocols: dict[str, Protocol]
    timings: dict[str, np.ndarray]  # stage -> nanoseconds per tick
    failures: list[str]


def excursions(applied: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per tick: how far beyond the joint box, and beyond each coupled limit."""
    box = np.maximum(np.asarray(MIN_BOUND) - applied, applied - np.asarray(MAX_BOUND)).max(axis=1)
    rows = applied @ np.asarray(ROWS).T - np.asarray(LIMITS)
    return np.maximum(box, 0.0), np.maximum(rows, 0.0)


def _pair(emitted: list, received: list, name: str) -> list[tuple[int, str, str]]:
    """(tick, kind, outcome) for every datagram the attacker sent on this link:
    the n-th arrival of a datagram is the n-th time it was sent (a replay is the
    same bytes again)."""
    arrivals = collections.defaultdict(collections.deque)
    for tick, link, digest, outcome, _ in received:
        if link == name:
            arrivals[digest].append(outcome)
    paired = []
    for tick, link, digest, kind in emitted:
        if link == name:
            paired.append((tick, kind, arrivals[digest].popleft() if arrivals[digest] else "lost on the way"))
    return paired


def _lost_to_events(paired, sent_per_tick: np.ndarray, timeline: Timeline, ticks: int) -> dict[str, int]:
    """For each ordinary event: the ticks from it until the drive next admitted a
    whole untouched command, during which the controller's command was refused."""
    clean_admitted = np.zeros(ticks, bool)
    clean_refused = np.zeros(ticks, bool)
    genuine = collections.defaultdict(list)
    for tick, kind, outcome in paired:
        genuine[tick].append(kind == "genuine" and outcome)
    for tick in range(ticks):
        outcomes = genuine.get(tick, [])
        untouched = sent_per_tick[tick] > 0 and len(outcomes) == sent_per_tick[tick] and all(outcomes)
        clean_admitted[tick] = untouched and all(o == "admitted" for o in outcomes)
        clean_refused[tick] = untouched and not clean_admitted[tick]
    events = [
        ("controller restart", timeline.controller_restart),
        ("drive restart", timeline.drive_restart),
        ("teleop stream", timeline.teleop[0]),
        ("back to the planner", timeline.teleop[1]),
        ("key rotation", timeline.key_switched),
        ("old key removed", timeline.key_removed),
    ]
    starts = sorted(start for _, start in events) + [ticks]
    lost = {}
    for name, start in events:
        end = next(s for s in starts if s > start)
        count = 0
        for tick in range(start, end):
            if clean_admitted[tick]:
                break
            count += int(clean_refused[tick])
        lost[name] = count
    return lost


def analyse(settings: Settings, controller: dict, proxy: dict, drive: dict) -> Analysis:
    timeline = Timeline.of(settings)
    ticks = settings.ticks
    protocols = {name: Protocol(name) for name in LINKS}
    failures = []

    sent = {name: np.zeros(ticks, int) for name in LINKS}
    signed = ~np.isnan(controller["commanded"]).any(axis=1)
    refused_at_signer = collections.defaultdict(set)
    for tick, name, code, _axis in controller["refusals"]:
        protocols[name].signer_refusals[code] += 1
        refused_at_signer[name, tick].add(_axis)
    for tick in np.flatnonzero(signed):
        sent["frames"][tick] = 0 if refused_at_signer.get(("frames", tick)) else 1
        sent["per-axis"][tick] = AXES - len(refused_at_signer.get(("per-axis", tick), ()))

    for name, protocol in protocols.items():
        protocol.sent = int(sent[name].sum())
        protocol.commands = int((sent[name] > 0).sum())
        protocol.outcomes.update(drive["stats"][name])
        paired = _pair(proxy["emitted"], drive["received"], name)
        protocol.delivered = len(paired)
        for tick, kind, outcome in paired:
            if outcome in ("malformed", "no_such_joint"):
                protocol.outcomes[outcome] += 1
            if outcome != "admitted":
                protocol.trace_refusals.append((tick, outcome))
            if kind == "genuine":
                continue
            counts = protocol.attacks.setdefault(kind, [0, 0])
            counts[0] += 1
            counts[1] += int(outcome == "admitted")
        for kind, link, count in proxy["silenced"]:
            if link == name:
                protocol.attacks.setdefault(kind, [0, 0])[0] += count
        for kind, (_, admitted) in protocol.attacks.items():
            if admitted:
                why = "which must never be" if kind in MUST_BE_REFUSED else "after a newer command"
                failures.append(f"{admitted} {kind} datagram(s) admitted on the {name} link, {why}")
        protocol.lost = _lost_to_events(paired, sent[name], timeline, ticks)

        box, rows = excursions(drive[f"applied {name}"])
        protocol.box_excursion = float(box.max())
        protocol.row_excursions = rows.max(axis=0).tolist()
        protocol.broken_ticks = int((rows > [_tolerance(b) for b in LIMITS]).any(axis=1).sum())

    frames = protocols["frames"]
    if frames.box_excursion > _tolerance(max(map(abs, MIN_BOUND + MAX_BOUND))):
        failures.append(f"the joint box broken by {frames.box_excursion:.2e} rad at the drive with frames")
    for value, limit in zip(frames.row_excursions, LIMITS):
        if value > _tolerance(limit):
            failures.append(f"a coupled limit broken by {value:.2e} rad at the drive with frames")

    timings = {
        "projection": controller["project_ns"],
        "signing: one frame": controller["sign_frame_ns"],
        "signing: seven receipts": controller["sign_receipts_ns"],
        "admission: frames": drive["admit_frames_ns"],
        "admission: receipts": drive["admit_receipts_ns"],
        "physics: one step": drive["physics_ns"],
    }
    timings = {stage: values[values > 0] for stage, values in timings.items()}
    return Analysis(settings, timeline, protocols, timings, failures)
