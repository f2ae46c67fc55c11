"""The simulated arm: seven hinges with their limits and a position servo each,
written here as a MuJoCo model, stepped once per control tick."""

from __future__ import annotations

import math

import mujoco

from .scenario import DT, JOINTS, MAX_BOUND, MIN_BOUND

# The motors are geared, so their reflected inertia (armature) outweighs the light
# links and each joint moves like its own servo; damped beyond critical, so a joint
# approaches its command without overshooting it. Gravity is compensated, as a
# real drive does, so a resting joint holds its command.
SERVO_KP = 60.0  # N m / rad
ARMATURE = 0.2  # kg m^2
DAMPING = 2 * 1.5 * math.sqrt(SERVO_KP * ARMATURE)  # damping ratio 1.5
LINK_DENSITY = 2.0  # kg / m^3

# Each joint: its axis in the parent link's frame, and the link that follows it.
_AXES = ("0 0 1", "0 1 0", "0 0 1", "0 1 0", "0 1 0", "1 0 0", "0 0 1")
_LENGTHS = (0.15, 0.40, 0.05, 0.35, 0.08, 0.06, 0.05)  # m
_RADII = (0.05, 0.045, 0.04, 0.035, 0.03, 0.03, 0.025)  # m


def xml() -> str:
    """An upright anthropomorphic arm: base yaw, shoulder pitch, upper-arm roll,
    elbow pitch, wrist pitch and yaw, flange roll."""
    body = ""
    for i in reversed(range(len(JOINTS))):
        offset = 0.0 if i == 0 else _LENGTHS[i - 1]
        body = f"""
      <body name="link{i}" pos="0 0 {offset}" gravcomp="1">
        <joint name="joint{i}" axis="{_AXES[i]}" range="{MIN_BOUND[i]} {MAX_BOUND[i]}"/>
        <geom fromto="0 0 0 0 0 {_LENGTHS[i]}" size="{_RADII[i]}"/>{body}
      </body>"""
    motors = "".join(f'\n    <position name="motor{i}" joint="joint{i}" kp="{SERVO_KP}"/>' for i in range(len(JOINTS)))
    return f"""<mujoco model="kelvara-seven-joint-arm">
  <compiler angle="radian"/>
  <option timestep="{DT}" integrator="implicitfast"/>
  <default>
    <joint type="hinge" limited="true" damping="{DAMPING:.4f}" armature="{ARMATURE}"/>
    <geom type="capsule" density="{LINK_DENSITY}"/>
  </default>
  <worldbody>
    <geom type="plane" size="1 1 0.01"/>{body}
  </worldbody>
  <actuator>{motors}
  </actuator>
</mujoco>"""


class Arm:
    """One simulated arm: what its motors are told, and where its joints are."""

    def __init__(self) -> None:
        self.model = mujoco.MjModel.from_xml_string(xml())
        self.data = mujoco.MjData(self.model)

    def command(self, axis: int, position: float) -> None:
        self.data.ctrl[axis] = position

    def command_all(self, positions) -> None:
        self.data.ctrl[:] = positions

    @property
    def commanded(self) -> list[float]:
        return self.data.ctrl.tolist()

    @property
    def joints(self) -> list[float]:
        return self.data.qpos.tolist()

    def step(self) -> None:
        mujoco.mj_step(self.model, self.data)
