"""A controller's use of every class, fully annotated: checked by `mypy --strict`
against the installed wheel alone, and run as the smoke test of an install."""

import array
from typing import assert_type

import kelvara
from kelvara import (
    Command,
    CommandGate,
    CommandSigner,
    Envelope,
    Envelope4,
    Envelope4Result,
    EnvelopeResult,
    Governor,
    KelBoundary,
    KelGate,
    KelReceipt,
    KelViolation,
    MonotonicCounter,
)

KEY = bytes(32)


def clamp_joint(governor: Governor, commands: array.array[float]) -> list[float]:
    governor.project_into(commands)
    return governor.project_batch(commands)


def arm_step(envelope: Envelope4, desired: tuple[float, float, float, float]) -> Envelope4Result:
    result = envelope.project(desired)
    assert_type(result.u, tuple[float, float, float, float])
    assert_type(result.iterations, int)
    assert_type(result.ok, bool)
    if result.status == "infeasible":
        raise RuntimeError("no safe command")
    return result


def arm_command(envelope: Envelope, desired: list[float], held: tuple[float, ...]) -> tuple[float, ...]:
    result = envelope.project(desired)
    assert_type(result, EnvelopeResult)
    assert_type(result.u, tuple[float, ...])
    return result.u if result.ok else held


def authorize(boundary: KelBoundary, axis: int, position: float) -> KelReceipt | None:
    try:
        return boundary.authorize_action(axis, position, 0.5)
    except KelViolation as refusal:
        assert_type(refusal.violation_type, str)
        return None


def drive_tick(gate: CommandGate, frame: bytes, held: tuple[float, ...]) -> tuple[float, ...]:
    try:
        command = gate.admit(frame)
    except KelViolation:
        return held
    assert_type(command, Command)
    assert_type(command.counter, int)
    return command.positions


def main() -> None:
    joint = Governor(-1.5, 1.5)
    assert clamp_joint(joint, array.array("f", [2.0, -0.25])) == [1.5, -0.25]
    assert_type(joint.project(1.7), float)
    envelope = Envelope4((-1.0,) * 4, (1.0,) * 4, rows=[(1.0, 1.0, 0.0, 0.0)], limits=[1.0])
    result = arm_step(envelope, (0.9, 0.9, 0.0, 0.0))
    assert result.ok and result.u[0] == 0.5, result
    assert_type(envelope.rows, tuple[tuple[float, float, float, float], ...])
    arm = Envelope([-1.0] * 7, [1.0] * 7, rows=[[1.0] * 7], limits=[3.5])
    assert arm_command(arm, [0.25] * 7, (0.0,) * 7) == (0.25,) * 7
    commands, statuses = array.array("d", [0.25] * 7), bytearray(1)
    assert arm.project_into(commands, statuses) == 0 and statuses[0] == 1
    assert_type(arm.rows, tuple[tuple[float, ...], ...])
    receipt = authorize(KelBoundary(rate_limit=100, hmac_key=KEY), 2, joint.project(1.7))
    assert receipt is not None and receipt.verify(KEY)
    assert_type(receipt.receipt_hash, bytes)
    gate = KelGate(KEY, max_age_s=1.0)
    admitted = gate.admit(receipt.receipt_hash, 2, joint.project(1.7), 0.5)
    assert_type(admitted, KelReceipt)
    assert gate.last_sequence_id == admitted.sequence_id == 1
    signer = CommandSigner(KEY, stream_id=3, axes=7, max_velocity_rad_s=[1.0] * 7)
    frame = signer.sign([0.25] * 7, array.array("d", [0.5] * 7))
    assert_type(frame, bytes)
    command_gate = CommandGate({0: KEY}, axes=7, streams={3}, envelope=arm, max_step_rad_s=2.0)
    assert drive_tick(command_gate, frame, (0.0,) * 7) == (0.25,) * 7
    assert drive_tick(command_gate, frame, (0.0,) * 7) == (0.0,) * 7  # a replay: hold
    stats: dict[str, int] = command_gate.stats
    assert stats["admitted"] == 1 and stats["replay_counter"] == 1 and gate.stats["admitted"] == 1
    counter = MonotonicCounter(initial_value=41)
    assert counter.next_value() == 42
    version: str = kelvara.__version__
    print(f"kelvara {version}: typed usage ran")


if __name__ == "__main__":
    main()
