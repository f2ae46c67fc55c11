"""The attacker alone, fed the traffic of a short run: every genuine command is
accounted for exactly once, and every datagram it makes up is what its kind says."""

from __future__ import annotations

import collections

from kelvara import CommandSigner, KelBoundary

from arm_demo import link
from arm_demo.attacks import DELIVERED
from arm_demo.proxy import Attacker
from arm_demo.scenario import AXES, MAIN_STREAM, Settings, Timeline


def test_every_genuine_command_is_forwarded_held_replaced_or_silenced_once():
    settings = Settings(seconds=1.5, speed=4)
    attacker = Attacker(settings, Timeline.of(settings))
    key = bytes(range(32))
    signer = CommandSigner(key, stream_id=MAIN_STREAM, axes=AXES, max_velocity_rad_s=1e9, rate_limit=1_000_000)
    boundary = KelBoundary(rate_limit=2**40, max_velocity_rad_s=1e9, hmac_key=key)

    sent_at: dict[bytes, int] = {}  # genuine datagram -> the tick it was sent
    delivered = collections.Counter()  # genuine datagram -> times it reached the drive
    forged = collections.Counter()
    for tick in range(settings.ticks):
        positions = [0.001 * tick + axis for axis in range(AXES)]
        frames = [signer.sign(positions, [0.0] * AXES)]
        receipts = [
            link.PER_AXIS.pack(axis, positions[axis], 0.0, boundary.authorize_action(axis, positions[axis], 0.0).receipt_hash)
            for axis in range(AXES)
        ]
        sent_at |= {datagram: tick for datagram in frames + receipts}
        for name, datagrams in attacker.tick(tick, frames, receipts).items():
            kinds = [kind for _, kind in datagrams]
            # A stale command arrives before the tick's own, or a newer one would beat it.
            assert "stale" not in kinds or kinds.index("stale") == 0
            for datagram, kind in datagrams:
                assert kind == "genuine" or kind in DELIVERED.values()
                if kind.startswith(("forged", "injected")):
                    assert datagram not in sent_at  # never a genuine command in disguise
                    forged[kind] += 1
                    continue
                assert sent_at[datagram] <= tick
                if kind == "genuine":
                    assert sent_at[datagram] == tick
                elif kind in ("delayed", "reordered", "stale"):
                    assert sent_at[datagram] < tick
                if kind == "replayed":
                    assert delivered[datagram] >= 1, "only what already went through is replayed"
                else:
                    delivered[datagram] += 1

    silenced = sum(n for (kind, _), n in attacker.silenced.items())
    replaced = sum(forged[kind] for kind in forged if kind.startswith("forged"))
    assert all(n == 1 for n in delivered.values())  # nothing genuine arrives twice but by a replay
    assert len(delivered) + silenced + replaced == len(sent_at)  # and nothing vanishes unaccounted
    assert set(attacker.attacks) == {"jam", "drop", "delay", "reorder", "replay", "bit flip", "wrong key", "unknown stream"}
