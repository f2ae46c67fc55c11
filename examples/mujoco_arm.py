"""A simulated four-joint arm kept safe by Kelvara, on the MuJoCo physics engine.

A controller tracks a trajectory that on purpose leaves the joint limits and
breaks a coupled limit (shoulder + elbow, standing in for a workspace
boundary). Every command goes the whole way a real one would:

  controller -> Envelope4 (joint box and coupled limit) -> KelBoundary (velocity,
  rate, signing) -> link (an attacker forges, replays and delays packets)
  -> KelGate on the actuator side -> the simulated motors

Only commands the gate admits reach the motors. A velocity spike and a NaN from
a failed encoder are provoked too. The run takes about five seconds of
simulated time, paced in real time, with fixed seeds; it prints a summary,
draws demo-output/arm.png, and exits non-zero if any limit is broken beyond
the solver's tolerance or any forged, replayed or delayed packet is admitted.
"""

from __future__ import annotations

import collections
import math
import pathlib
import random
import statistics
import sys
import time
from dataclasses import dataclass, field

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import mujoco

from kelvara import Envelope4, KelBoundary, KelGate, KelViolation

CONTROL_HZ = 250
PHYSICS_STEPS_PER_TICK = 2  # 2 ms physics steps
RUN_SECONDS = 5.0
JOINT_LIMITS = [(-1.5, 1.5), (-0.9, 1.3), (-1.6, 1.6), (-0.6, 0.6)]  # rad
COUPLED_ROWS = [(0.0, 1.0, 1.0, 0.0), (0.0, -1.0, -1.0, 0.0)]  # shoulder + elbow ...
COUPLED_LIMITS = [1.2, 1.0]  # ... stays within [-1.0, 1.2]: the forearm must clear the table
MAX_VELOCITY = 4.0  # rad/s
MAX_AGE_S = 0.2  # the gate refuses receipts older (or newer) than this
TOLERANCE = 1e-5  # the four-axis solve's feasibility tolerance
OUTPUT = pathlib.Path("demo-output")


# The motors: geared, so their reflected inertia (armature) outweighs the light
# links and each joint moves like its own servo; damped beyond critical, so a
# joint approaches its commanded position without ever overshooting it.
SERVO_KP = 40.0  # N m / rad
ARMATURE = 0.2  # kg m^2
DAMPING = 2 * 1.5 * math.sqrt(SERVO_KP * ARMATURE)  # damping ratio 1.5
LINK_DENSITY = 2.0  # kg / m^3


def arm_model() -> str:
    """A SCARA-like arm: four hinges about vertical axes, so gravity loads no
    joint, with the joint limits in the model and a position servo per joint."""
    joints = []
    body = ""
    lengths = [0.35, 0.3, 0.25, 0.08]
    for i in reversed(range(4)):
        lo, hi = JOINT_LIMITS[i]
        body = f"""
        <body name="link{i}" pos="{0 if i == 0 else lengths[i - 1]} 0 {0.1 if i == 0 else 0}">
          <joint name="joint{i}" range="{lo} {hi}"/>
          <geom fromto="0 0 0 {lengths[i]} 0 0" size="{0.04 - 0.006 * i}"/>
          {body}
        </body>"""
        joints.append(f'<position name="motor{i}" joint="joint{i}" kp="{SERVO_KP}"/>')
    return f"""
<mujoco model="kelvara-arm">
  <compiler angle="radian"/>
  <option timestep="0.002" integrator="implicitfast"/>
  <default>
    <joint type="hinge" axis="0 0 1" limited="true" damping="{DAMPING:.4f}" armature="{ARMATURE}"/>
    <geom type="capsule" density="{LINK_DENSITY}"/>
  </default>
  <worldbody>
    <geom type="plane" size="1 1 0.01" pos="0 0 -0.05"/>
    {body}
  </worldbody>
  <actuator>
    {''.join(reversed(joints))}
  </actuator>
</mujoco>"""


def desired(t: float) -> list[float]:
    """The trajectory the controller wants: each joint swings past its limits,
    and joints 1 and 2 together past the coupled limit. It eases in from the
    arm's resting pose over the first second."""
    ease = 0.5 * (1.0 - math.cos(math.pi * min(t, 1.0)))
    return [
        ease * 1.9 * math.sin(0.9 * t),
        ease * (0.2 + 1.3 * math.sin(1.3 * t)),
        ease * (0.3 + 1.2 * math.sin(1.1 * t + 0.6)),
        ease * 0.9 * math.sin(2.1 * t),
    ]


@dataclass(frozen=True)
class Packet:
    """What travels from the controller to the arm for one joint."""

    axis: int
    position: float
    velocity: float
    receipt: bytes


@dataclass
class Stats:
    sent: int = 0
    projected: int = 0
    held_by_envelope: int = 0
    admitted: int = 0
    refused: collections.Counter[str] = field(default_factory=collections.Counter)
    attacks: collections.Counter[str] = field(default_factory=collections.Counter)
    caught: collections.Counter[str] = field(default_factory=collections.Counter)
    cost_ns: dict[str, list[int]] = field(default_factory=lambda: collections.defaultdict(list))


class Arm:
    """The actuator side: a gate in front of the simulated motors."""

    def __init__(self, key: bytes, stats: Stats) -> None:
        self.model = mujoco.MjModel.from_xml_string(arm_model())
        self.data = mujoco.MjData(self.model)
        self.gate = KelGate(key, max_age_s=MAX_AGE_S)
        self.stats = stats
        self.refusals: list[tuple[float, int, str]] = []

    def receive(self, packet: Packet, when: float) -> bool:
        started = time.perf_counter_ns()
        try:
            self.gate.admit(packet.receipt, packet.axis, packet.position, packet.velocity)
        except KelViolation as refusal:
            self.stats.cost_ns["gate admit"].append(time.perf_counter_ns() - started)
            self.stats.refused[f"gate: {refusal.violation_type}"] += 1
            self.refusals.append((when, packet.axis, refusal.violation_type))
            return False
        self.stats.cost_ns["gate admit"].append(time.perf_counter_ns() - started)
        self.data.ctrl[packet.axis] = packet.position  # only admitted commands move a motor
        self.stats.admitted += 1
        return True

    def step(self) -> None:
        started = time.perf_counter_ns()
        for _ in range(PHYSICS_STEPS_PER_TICK):
            mujoco.mj_step(self.model, self.data)
        self.stats.cost_ns["physics step"].append(time.perf_counter_ns() - started)


class Attacker:
    """Sits on the link. Forges packets in flight, replays old ones, and once
    holds a packet back while jamming the link, to deliver it too late."""

    def __init__(self, rng: random.Random, stats: Stats) -> None:
        self.rng = rng
        self.stats = stats
        self.recorded: collections.deque[Packet] = collections.deque(maxlen=200)
        self.held: Packet | None = None
        self.jam_until = -1  # a tick
        self.jammed_ticks: list[int] = []

    def tamper(self, packet: Packet, tick: int) -> list[Packet]:
        """What actually arrives at the arm in place of `packet`."""
        self.recorded.append(packet)
        if self.held is None and tick == int(3.0 * CONTROL_HZ) and packet.axis == 0:
            # Paced in real time, twice the gate's maximum age in ticks is at
            # least that long on the wall clock too.
            self.held, self.jam_until = packet, tick + int(2 * MAX_AGE_S * CONTROL_HZ)
            self.stats.attacks["delayed"] += 1
            return []
        if tick < self.jam_until:
            self.stats.attacks["jammed (dropped)"] += 1
            self.jammed_ticks.append(tick)
            return []
        if self.held is not None:  # the jam is over: the held packet arrives, stale
            late, self.held = self.held, None
            return [late, packet]
        if tick % 60 == 17 and packet.axis == (tick // 60) % 4:
            # Push a genuine command past the joint limit, or re-sign it with a guessed key.
            self.stats.attacks["forged"] += 1
            if self.rng.random() < 0.5:
                return [Packet(packet.axis, packet.position + 0.8, packet.velocity, packet.receipt)]
            fake_tag = bytes(self.rng.getrandbits(8) for _ in range(32))
            return [Packet(packet.axis, packet.position, packet.velocity, packet.receipt[:28] + fake_tag)]
        if tick % 60 == 47 and len(self.recorded) > 120:
            self.stats.attacks["replayed"] += 1
            return [packet, self.recorded[0]]  # an old command, which would pull the arm back
        return [packet]


def percentile(values: list[int], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main() -> int:
    rng = random.Random(20261208)
    key = bytes(rng.getrandbits(8) for _ in range(32))  # shared by the controller and the arm
    stats = Stats()
    boundary = KelBoundary(rate_limit=2000, max_velocity_rad_s=MAX_VELOCITY, hmac_key=key)
    envelope = Envelope4(
        [lo for lo, _ in JOINT_LIMITS], [hi for _, hi in JOINT_LIMITS], COUPLED_ROWS, COUPLED_LIMITS
    )
    arm = Arm(key, stats)
    attacker = Attacker(rng, stats)
    dt = 1.0 / CONTROL_HZ
    ticks = int(RUN_SECONDS * CONTROL_HZ)

    previous = [0.0] * 4  # the last safe command, for the commanded velocity
    trace = collections.defaultdict(list)  # for the picture
    excursion = {"joint limits": 0.0, "coupled limit": 0.0, "commands vs limits": 0.0}
    events: list[str] = []

    def beyond(q) -> tuple[float, float]:
        box = max(max(lo - q[i], q[i] - hi) for i, (lo, hi) in enumerate(JOINT_LIMITS))
        coupled = max(sum(r[i] * q[i] for i in range(4)) - b for r, b in zip(COUPLED_ROWS, COUPLED_LIMITS))
        return max(box, 0.0), max(coupled, 0.0)

    wall_start = time.perf_counter()
    for tick in range(ticks):
        t = tick * dt
        q_measured = [float(arm.data.qpos[i]) for i in range(4)]
        if tick == int(2.2 * CONTROL_HZ):
            q_measured[2] = math.nan  # a failed encoder
        want = desired(t)
        # Track the trajectory, correcting a little for the servo's lag.
        command = [want[i] + 0.3 * (want[i] - q_measured[i]) for i in range(4)]

        started = time.perf_counter_ns()
        safe = envelope.project(command)
        stats.cost_ns["Envelope4.project"].append(time.perf_counter_ns() - started)
        if not safe.ok:
            # Only an optimal result is applied; anything else holds the last command.
            stats.held_by_envelope += 4
            events.append(f"t={t:.2f}s envelope status {safe.status!r}: holding the last command")
            trace["held"].append(t)
        for axis in range(4):
            trace[f"desired{axis}"].append(want[axis])
        trace["t"].append(t)

        for axis in range(4) if safe.ok else ():
            stats.sent += 1
            position = safe.u[axis]
            stats.projected += abs(position - command[axis]) > 1e-6
            velocity = (position - previous[axis]) / dt
            previous[axis] = position
            if tick == int(1.2 * CONTROL_HZ) and axis == 1:
                velocity = 12 * MAX_VELOCITY  # a glitch in the controller: a velocity spike
            excursion["commands vs limits"] = max(excursion["commands vs limits"], *beyond(safe.u))
            started = time.perf_counter_ns()
            try:
                receipt = boundary.authorize_action(axis, position, velocity)
            except KelViolation as refusal:
                stats.cost_ns["KelBoundary.authorize_action"].append(time.perf_counter_ns() - started)
                stats.refused[f"boundary: {refusal.violation_type}"] += 1
                events.append(f"t={t:.2f}s {refusal}")
                arm.refusals.append((t, axis, refusal.violation_type))
                continue
            stats.cost_ns["KelBoundary.authorize_action"].append(time.perf_counter_ns() - started)
            for arrived in attacker.tamper(Packet(axis, position, velocity, receipt.receipt_hash), tick):
                admitted = arm.receive(arrived, t)
                genuine = arrived.receipt == receipt.receipt_hash and arrived.position == position
                if not genuine and not admitted:
                    stats.caught[arrived.receipt[:28].hex()] += 1  # one attack packet stopped
                if not genuine and admitted:
                    events.append(f"t={t:.2f}s an attack packet was admitted")
                    stats.caught["ADMITTED"] += 1

        arm.step()
        q = [float(arm.data.qpos[i]) for i in range(4)]
        box, coupled = beyond(q)
        excursion["joint limits"] = max(excursion["joint limits"], box)
        excursion["coupled limit"] = max(excursion["coupled limit"], coupled)
        for axis in range(4):
            trace[f"applied{axis}"].append(float(arm.data.ctrl[axis]))
            trace[f"joint{axis}"].append(q[axis])
        # Real-time pacing: the rate window and the freshness check are wall-clock rules.
        time.sleep(max(0.0, wall_start + (tick + 1) * dt - time.perf_counter()))
    wall = time.perf_counter() - wall_start

    jammed = [tick * dt for tick in attacker.jammed_ticks]
    path = draw(trace, arm.refusals, (min(jammed), max(jammed) + dt) if jammed else None)
    return report(stats, excursion, events, wall, path)


def draw(trace, refusals, jam) -> pathlib.Path:
    OUTPUT.mkdir(exist_ok=True)
    figure, axes = plt.subplots(5, 1, figsize=(10, 12.5), sharex=True)
    names = ["base", "shoulder", "elbow", "wrist"]
    colours = {"velocity_exceeded": "tab:red", "authentication_failure": "black", "replay_counter": "tab:purple",
               "replay_nonce": "tab:purple", "stale_receipt": "tab:brown", "rate_limited": "tab:pink"}
    t = trace["t"]
    for axis, ax in enumerate(axes[:4]):
        lo, hi = JOINT_LIMITS[axis]
        ax.plot(t, trace[f"desired{axis}"], color="0.6", linestyle="--", label="desired")
        ax.step(t, trace[f"applied{axis}"], where="post", color="tab:blue", label="applied command")
        ax.plot(t, trace[f"joint{axis}"], color="tab:orange", label="simulated joint")
        ax.axhline(lo, color="tab:red", linewidth=0.8, linestyle=":", label="limits")
        ax.axhline(hi, color="tab:red", linewidth=0.8, linestyle=":")
        for when, which, code in refusals:  # markers along the top edge of the joint's panel
            if which == axis:
                ax.plot(when, 0.96, marker="v", color=colours[code], linestyle="none", transform=ax.get_xaxis_transform())
        ax.set_ylabel(f"{names[axis]} [rad]")
    applied = [trace["applied1"][k] + trace["applied2"][k] for k in range(len(t))]
    axes[4].plot(t, [trace["desired1"][k] + trace["desired2"][k] for k in range(len(t))], color="0.6", linestyle="--")
    axes[4].step(t, applied, where="post", color="tab:blue")
    axes[4].plot(t, [trace["joint1"][k] + trace["joint2"][k] for k in range(len(t))], color="tab:orange")
    axes[4].axhline(COUPLED_LIMITS[0], color="tab:red", linewidth=0.8, linestyle=":")
    axes[4].axhline(-COUPLED_LIMITS[1], color="tab:red", linewidth=0.8, linestyle=":")
    axes[4].set_ylabel("shoulder + elbow [rad]")
    axes[4].set_xlabel("simulated time [s]")
    for ax in axes:
        if jam:
            ax.axvspan(*jam, color="tab:brown", alpha=0.12, label="link jammed, then a stale packet")
        for when in trace["held"]:
            ax.axvline(when, color="tab:green", linewidth=0.8, label="NaN reading: envelope held")
    handles, labels = axes[0].get_legend_handles_labels()
    handles += [plt.Line2D([], [], marker="v", color=c, linestyle="none") for c in colours.values()]
    labels += [f"refused: {code}" for code in colours]
    unique = dict(zip(labels, handles))
    figure.suptitle("Kelvara keeps a simulated arm inside its joint and workspace limits", y=0.99)
    figure.legend(unique.values(), unique.keys(), loc="upper center", bbox_to_anchor=(0.5, 0.965), ncol=4,
                  fontsize=8, frameon=False)
    figure.tight_layout(rect=(0, 0, 1, 0.92))
    path = OUTPUT / "arm.png"
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


def report(stats: Stats, excursion, events, wall: float, path: pathlib.Path) -> int:
    print(f"Kelvara on MuJoCo {mujoco.__version__}: a four-joint arm, {RUN_SECONDS:.0f} s simulated at "
          f"{CONTROL_HZ} Hz in {wall:.1f} s of wall time")
    for line in events[:12]:
        print(f"  {line}")
    rows = [
        ("commands sent to the boundary", stats.sent),
        ("changed by the envelope", stats.projected),
        ("held by the envelope (not optimal)", stats.held_by_envelope),
        *sorted(stats.refused.items()),
        ("admitted by the gate and applied", stats.admitted),
        *((f"attack: {kind}", n) for kind, n in sorted(stats.attacks.items())),
        ("attack packets caught by the gate", sum(n for k, n in stats.caught.items() if k != "ADMITTED")),
        ("attack packets admitted", stats.caught["ADMITTED"]),
    ]
    print()
    for label, value in rows:
        print(f"  {label:<40s}{value:>8d}")
    print(f"  {'largest excursion beyond the joint box':<40s}{excursion['joint limits']:>8.1e} rad")
    print(f"  {'largest excursion beyond the coupled limit':<40s}{excursion['coupled limit']:>8.1e} rad")
    print(f"  {'largest command beyond any limit':<40s}{excursion['commands vs limits']:>8.1e} rad")
    print()
    print(f"  {'stage':<32s}{'median':>10s}{'p99':>10s}")
    for stage, costs in stats.cost_ns.items():
        print(f"  {stage:<32s}{statistics.median(costs) / 1000:>8.2f}us{percentile(costs, 0.99) / 1000:>8.2f}us")
    print()
    print(f"  picture written to {path.resolve()}")

    failures = []
    if stats.caught["ADMITTED"]:
        failures.append("an attack packet was admitted")
    if stats.refused["gate: authentication_failure"] != stats.attacks["forged"]:
        failures.append("a forgery went unnoticed")
    if stats.refused["gate: replay_counter"] + stats.refused["gate: replay_nonce"] != stats.attacks["replayed"]:
        failures.append("a replay went unnoticed")
    if stats.refused["gate: stale_receipt"] != stats.attacks["delayed"]:
        failures.append("the delayed packet was not refused as stale")
    for name, value in excursion.items():
        if value > TOLERANCE:
            failures.append(f"{name} broken by {value:.2e}")
    if not stats.refused["boundary: velocity_exceeded"] or not stats.held_by_envelope:
        failures.append("the velocity spike or the NaN reading was not caught")
    print("  " + ("; ".join(failures) if failures else "every limit held; every forged, replayed and delayed packet refused"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
