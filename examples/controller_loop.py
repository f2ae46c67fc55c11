"""A simulated four-axis arm driven through Kelvara for a few seconds.

The controller projects every joint command into its safe envelope with a
Governor, asks the KelBoundary to authorize it, and sends the command with its
60-byte receipt over a link to the actuator side. The actuator trusts nothing
it cannot verify: its KelGate admits a command only if the receipt is
authentic, fresh and not replayed, and only then applies it.

On purpose the run provokes every kind of refusal: a velocity spike, a sensor
that reports NaN, a burst that exhausts the one-second rate window, and an
attacker on the link who forges, replays and delays packets. It ends with a
summary and exits 0.
"""

from __future__ import annotations

import collections
import math
import os
import statistics
import time
from dataclasses import dataclass

from _kelvara import Governor, KelBoundary, KelGate, KelViolation

AXES = 4
LOOP_HZ = 200
RUN_SECONDS = 3.0
MAX_VELOCITY = 3.0  # rad/s
RATE_LIMIT = 1000  # actions per one-second window
JOINT_LIMITS = [(-1.5, 1.5), (-0.8, 1.2), (-2.0, 2.0), (-0.5, 0.5)]  # rad
MAX_AGE_S = 0.05  # the gate refuses receipts older than this


@dataclass(frozen=True)
class Packet:
    """What travels from the controller to an actuator."""

    axis: int
    position: float
    velocity: float
    receipt: bytes  # nonce, timestamp, sequence id, tag


class Actuator:
    """The receiving side: its gate admits a packet before anything is applied."""

    def __init__(self, key: bytes) -> None:
        self.gate = KelGate(key, max_age_s=MAX_AGE_S)
        self.applied = 0
        self.refused: collections.Counter[str] = collections.Counter()

    def receive(self, packet: Packet) -> bool:
        try:
            self.gate.admit(packet.receipt, packet.axis, packet.position, packet.velocity)
        except KelViolation as refusal:
            self.refused[refusal.violation_type] += 1
            return False
        self.applied += 1
        return True


def desired_motion(t: float, axis: int) -> tuple[float, float]:
    """A smooth reference trajectory per joint: position and velocity."""
    amplitude, omega = 0.6 + 0.3 * axis, 1.0 + 0.3 * axis
    return amplitude * math.sin(omega * t), amplitude * omega * math.cos(omega * t)


def percentile(sorted_values: list[int], fraction: float) -> int:
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def main() -> int:
    key = os.urandom(32)
    boundary = KelBoundary(rate_limit=RATE_LIMIT, max_velocity_rad_s=MAX_VELOCITY, hmac_key=key)
    governors = [Governor(lo, hi) for lo, hi in JOINT_LIMITS]
    actuator = Actuator(key)

    sent = authorized = projected = 0
    refused = collections.Counter()
    latencies: list[int] = []
    receipts_verified = 0
    tamper_caught = replay_caught = delay_caught = jammed = 0
    events: list[str] = []
    held: Packet | None = None  # a packet the attacker holds back
    jam_until = -1

    def command(axis: int, position: float, velocity: float) -> Packet | None:
        nonlocal sent, authorized
        sent += 1
        started = time.perf_counter_ns()
        try:
            receipt = boundary.authorize_action(axis, position, velocity)
        except KelViolation as refusal:
            latencies.append(time.perf_counter_ns() - started)
            if refused[refusal.violation_type] == 0 or refusal.violation_type == "velocity_exceeded":
                events.append(f"refused: {refusal}")
            refused[refusal.violation_type] += 1
            return None
        latencies.append(time.perf_counter_ns() - started)
        authorized += 1
        return Packet(axis, position, velocity, receipt.receipt_hash)

    start = time.perf_counter()
    tick = 0
    burst_done = False
    while (t := time.perf_counter() - start) < RUN_SECONDS:
        for axis in range(AXES):
            position, velocity = desired_motion(t, axis)
            if tick == 150 and axis == 1:
                velocity = -2.5 * MAX_VELOCITY  # a controller glitch: a velocity spike
            if tick == 300 and axis == 2:
                velocity = math.nan  # a failed encoder reports NaN
            safe = governors[axis].project(position)
            projected += abs(safe - position) > 1e-6  # beyond single-precision rounding
            packet = command(axis, safe, velocity)
            if packet is None:
                continue
            if tick == 480 and axis == 0:
                # The attacker holds this packet back and jams the link behind it,
                # so that when it arrives late no newer packet has gone through.
                held, jam_until = packet, tick + 2 * int(MAX_AGE_S * LOOP_HZ)
            if tick <= jam_until:
                jammed += 1
                continue
            if tick % 50 == 25 and axis == AXES - 1:
                # A man in the middle doubles the velocity of a genuine packet in flight.
                forged = Packet(packet.axis, packet.position, packet.velocity * 2, packet.receipt)
                tamper_caught += not actuator.receive(forged)
            if actuator.receive(packet):
                receipts_verified += 1
            if tick % 50 == 25 and axis == AXES - 1:
                replay_caught += not actuator.receive(packet)  # ...and plays it back once admitted

        if held is not None and tick == jam_until:
            delay_caught += not actuator.receive(held)  # released too late: stale
            held = None

        if t > 1.5 and not burst_done:
            # A runaway planner floods the boundary until the window closes on it.
            burst_done = True
            for i in range(RATE_LIMIT):
                packet = command(i % AXES, 0.0, 0.1)
                if packet is not None and actuator.receive(packet):
                    receipts_verified += 1

        tick += 1
        next_tick = start + tick / LOOP_HZ
        time.sleep(max(0.0, next_tick - time.perf_counter()))

    latencies.sort()
    elapsed = time.perf_counter() - start
    print(f"Kelvara controller loop: {AXES} axes at {LOOP_HZ} Hz for {elapsed:.1f} s")
    for line in events:
        print(f"  {line}")
    print()
    print(f"  commands sent            {sent:7d}")
    print(f"  clamped by the governor  {projected:7d}")
    print(f"  authorized               {authorized:7d}")
    for kind in ("velocity_exceeded", "rate_limited"):
        print(f"  refused: {kind:<17s}{refused[kind]:7d}")
    for kind in sorted(set(refused) - {"velocity_exceeded", "rate_limited"}):
        print(f"  refused: {kind:<17s}{refused[kind]:7d}")
    print(f"  admitted by the gate     {receipts_verified:7d}  (actuator applied {actuator.applied})")
    print(f"  dropped by the attacker  {jammed:7d}")
    print(f"  forged packets caught    {tamper_caught:7d}")
    print(f"  replayed packets caught  {replay_caught:7d}")
    print(f"  delayed packets caught   {delay_caught:7d}")
    print(f"  gate refusals            {dict(sorted(actuator.refused.items()))}")
    median_us = statistics.median(latencies) / 1000
    print(f"  authorize_action latency  median {median_us:.1f} us, p99 {percentile(latencies, 0.99) / 1000:.1f} us")

    healthy = (
        authorized == receipts_verified + jammed
        and receipts_verified == actuator.applied
        and refused["velocity_exceeded"] >= 2
        and refused["rate_limited"] > 0
        and tamper_caught > 0
        and replay_caught == tamper_caught
        and delay_caught == 1
        and actuator.refused
        == {"authentication_failure": tamper_caught, "replay_counter": replay_caught, "stale_receipt": 1}
    )
    print()
    print("  every delivered command admitted; every forgery, replay and delay refused" if healthy else "  UNEXPECTED OUTCOME")
    return 0 if healthy else 1


if __name__ == "__main__":
    raise SystemExit(main())
