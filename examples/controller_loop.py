"""A simulated four-axis arm driven through Kelvara for a few seconds.

The controller projects every joint command into its safe envelope with a
Governor, asks the KelBoundary to authorize it, and sends the command with its
60-byte receipt to the actuator side. The actuator trusts nothing it cannot
verify: it recomputes the HMAC-SHA-256 tag with the shared key, refuses a
tampered or replayed packet, and only then applies the command.

On purpose the run also provokes every kind of refusal the boundary makes: a
velocity spike, a sensor that reports NaN, and a burst that exhausts the
one-second rate window. It ends with a summary and exits 0.
"""

from __future__ import annotations

import collections
import hashlib
import hmac
import math
import os
import statistics
import struct
import time
from dataclasses import dataclass

from _kelvara import Governor, KelBoundary, KelViolation

AXES = 4
LOOP_HZ = 200
RUN_SECONDS = 3.0
MAX_VELOCITY = 3.0  # rad/s
RATE_LIMIT = 1000  # actions per one-second window
JOINT_LIMITS = [(-1.5, 1.5), (-0.8, 1.2), (-2.0, 2.0), (-0.5, 0.5)]  # rad


@dataclass(frozen=True)
class Packet:
    """What travels from the controller to an actuator."""

    axis: int
    position: float
    velocity: float
    receipt: bytes  # nonce, timestamp, sequence id, tag


class Actuator:
    """The receiving side: verifies each packet before applying it."""

    def __init__(self, key: bytes) -> None:
        self.key = key
        self.last_sequence_id = 0
        self.applied = 0
        self.refused = collections.Counter()

    def expected_tag(self, packet: Packet) -> bytes:
        ident = f"axis_{packet.axis}".encode()
        message = (
            packet.receipt[:28]
            + struct.pack("<Q", len(ident))
            + ident
            + struct.pack("<Q", 16)
            + struct.pack("<dd", packet.position, packet.velocity)
        )
        return hmac.new(self.key, message, hashlib.sha256).digest()

    def receive(self, packet: Packet) -> bool:
        if not hmac.compare_digest(self.expected_tag(packet), packet.receipt[28:]):
            self.refused["bad tag"] += 1
            return False
        sequence_id = struct.unpack_from("<Q", packet.receipt, 20)[0]
        if sequence_id <= self.last_sequence_id:
            self.refused["replayed"] += 1
            return False
        self.last_sequence_id = sequence_id
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
    tamper_caught = replay_caught = 0
    events: list[str] = []

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
    last_packet: Packet | None = None
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
            if actuator.receive(packet):
                receipts_verified += 1
            last_packet = packet

        if tick % 50 == 25 and last_packet is not None:
            # A man in the middle raises the velocity of a genuine packet...
            forged = Packet(last_packet.axis, last_packet.position, last_packet.velocity * 2, last_packet.receipt)
            tamper_caught += not actuator.receive(forged)
            # ...or plays an accepted packet back.
            replay_caught += not actuator.receive(last_packet)

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
    print(f"  receipts verified        {receipts_verified:7d}  (actuator applied {actuator.applied})")
    print(f"  tampered packets caught  {tamper_caught:7d}")
    print(f"  replayed packets caught  {replay_caught:7d}")
    median_us = statistics.median(latencies) / 1000
    print(f"  authorize_action latency  median {median_us:.1f} us, p99 {percentile(latencies, 0.99) / 1000:.1f} us")

    healthy = (
        authorized == receipts_verified == actuator.applied
        and refused["velocity_exceeded"] >= 2
        and refused["rate_limited"] > 0
        and tamper_caught > 0
        and replay_caught == tamper_caught
    )
    print()
    print("  every authorized command verified; every forgery and replay refused" if healthy else "  UNEXPECTED OUTCOME")
    return 0 if healthy else 1


if __name__ == "__main__":
    raise SystemExit(main())
