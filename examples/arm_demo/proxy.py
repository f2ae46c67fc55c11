"""The attacker in the middle: a UDP proxy between the controller and the drive
that drops, delays, reorders, replays, forges and injects commands on the
schedule the seed fixes, and jams the link once to deliver a stale command.

It knows the wire formats and has the library, but not the keys: its forgeries
are flipped bits and commands signed under keys of its own."""

from __future__ import annotations

import collections
import random
import struct
import time

from kelvara import CommandSigner, KelBoundary

from . import link
from .attacks import DELIVERED, Event, schedule
from .processes import serve, wiring_settings
from .records import save
from .scenario import AXES, Settings, Timeline

FOREIGN_STREAM = 7  # a stream no gate admits
UNUSED_KEY_ID = 200  # a key id no gate holds
NUDGE = 0.6  # rad the forgeries push one joint by
_HISTORY = 500  # ticks of genuine traffic kept for replays


def _frame_header(frame: bytes) -> tuple[int, int]:
    """The key id and stream id a genuine frame carries."""
    return frame[3], struct.unpack_from("<I", frame, 4)[0]


def _frame_values(frame: bytes) -> tuple[list[float], list[float]]:
    values = struct.unpack_from(f"<{2 * AXES}d", frame, 20)
    return list(values[0::2]), list(values[1::2])


class Attacker:
    """Decides, tick by tick, what reaches the drive in place of what was sent."""

    def __init__(self, settings: Settings, timeline: Timeline) -> None:
        self.settings = settings
        self.events = schedule(settings, timeline)
        self.rng = random.Random(settings.seed ^ 0xA77AC4)
        self.history: collections.OrderedDict[int, tuple[list[bytes], list[bytes]]] = collections.OrderedDict()
        self.held: list[tuple[int, str, bytes, str, int]] = []  # (release tick, link, datagram, kind, held at ns)
        self.drop: Event | None = None
        self.jam: Event | None = None
        self.signers: dict[tuple[int, int], CommandSigner] = {}
        self.boundary = KelBoundary(rate_limit=2**63, max_velocity_rad_s=1e9, hmac_key=self.rng.randbytes(32))
        self.silenced = collections.Counter()  # (kind, link) -> datagrams that never arrived
        self.attacks = collections.Counter()  # event kind -> how many times

    def _signer(self, stream_id: int, key_id: int) -> CommandSigner:
        """A signer under a key of the attacker's own, for any stream and key id."""
        if (stream_id, key_id) not in self.signers:
            self.signers[stream_id, key_id] = CommandSigner(
                self.rng.randbytes(32), stream_id=stream_id, axes=AXES, max_velocity_rad_s=1e9,
                rate_limit=1_000_000, key_id=key_id,
            )
        return self.signers[stream_id, key_id]

    def _forged_frame(self, genuine: bytes, joint: int, stream_id: int | None, key_id: int | None) -> bytes:
        genuine_key, genuine_stream = _frame_header(genuine)
        positions, velocities = _frame_values(genuine)
        positions[joint] += NUDGE
        signer = self._signer(genuine_stream if stream_id is None else stream_id,
                              genuine_key if key_id is None else key_id)
        return signer.sign(positions, velocities)

    def _forged_receipt(self, joint: int, genuine: bytes) -> bytes:
        _, position, velocity, _ = link.PER_AXIS.unpack(genuine)
        receipt = self.boundary.authorize_action(joint, position + NUDGE, velocity)
        return link.PER_AXIS.pack(joint, position + NUDGE, velocity, receipt.receipt_hash)

    def _replayed(self, tick: int, event: Event) -> tuple[bytes | None, bytes | None]:
        """The genuine frame and the chosen joint's datagram from `age` ticks ago
        (or the newest older tick that had them)."""
        frame = receipt = None
        for then in range(tick - event.age, max(tick - event.age - 50, -1), -1):
            frames, receipts = self.history.get(then, ([], []))
            frame = frame or (frames[0] if frames else None)
            receipt = receipt or next((d for d in receipts if d[0] == event.joint), None)
            if frame and receipt:
                break
        return frame, receipt

    def tick(self, tick: int, frames: list[bytes], receipts: list[bytes]) -> dict[str, list[tuple[bytes, str]]]:
        """What is sent on to the drive this tick, with the kind of each datagram."""
        self.history[tick] = (frames, receipts)
        while len(self.history) > _HISTORY:
            self.history.popitem(last=False)
        out = {"frames": [(d, "genuine") for d in frames], "per-axis": [(d, "genuine") for d in receipts]}
        event = self.events.get(tick)
        if event is not None:
            self.attacks[event.kind] += 1
            if event.kind == "jam":
                self.jam = event
            elif event.kind == "drop":
                self.drop = event

        if self.jam is not None and tick < self.jam.tick + self.jam.ticks:
            if tick == self.jam.tick:  # the first command is kept, to be delivered stale
                self._hold(out, self.jam.tick + self.jam.ticks, "stale")
            self._silence(out, "jammed", lambda _link, _d: True)
            if tick == self.jam.tick + self.jam.ticks - 1:
                self._wait_until_stale()
            return out
        if self.drop is not None and tick < self.drop.tick + self.drop.ticks:
            joint = self.drop.joint
            self._silence(out, "dropped", lambda name, d: name == "frames" or d[0] == joint)
        elif event is not None:
            self._act(tick, event, out)

        due = [held for held in self.held if held[0] <= tick]
        self.held = [held for held in self.held if held[0] > tick]
        for _, name, datagram, kind, _held_ns in due:
            if kind == "stale":
                out[name].insert(0, (datagram, kind))  # first, so no newer command beats it
            else:
                out[name].append((datagram, kind))
        return out

    def _act(self, tick: int, event: Event, out: dict) -> None:
        frames, receipts = out["frames"], out["per-axis"]
        hit = next((i for i, (d, _) in enumerate(receipts) if d[0] == event.joint), None)
        kind = DELIVERED[event.kind]
        if event.kind in ("delay", "reorder"):
            self._hold(out, tick + event.ticks, kind)
        elif event.kind == "replay":
            frame, receipt = self._replayed(tick, event)
            if frame is not None:
                frames.append((frame, kind))
            if receipt is not None:
                receipts.append((receipt, kind))
        elif event.kind == "bit flip":
            if frames:
                frames[0] = (self._flip(frames[0][0], event.bit), kind)
            if hit is not None:
                receipts[hit] = (self._flip(receipts[hit][0], event.bit), kind)
        elif event.kind == "wrong key":  # half of them under a key id the drive does not hold
            key_id = UNUSED_KEY_ID if event.bit % 2 else None
            if frames:
                frames[0] = (self._forged_frame(frames[0][0], event.joint, None, key_id), kind)
            if hit is not None:
                receipts[hit] = (self._forged_receipt(event.joint, receipts[hit][0]), kind)
        elif event.kind == "unknown stream":
            if frames:
                frames.append((self._forged_frame(frames[0][0], event.joint, FOREIGN_STREAM, None), kind))
            if hit is not None:
                receipts.append((self._forged_receipt(event.joint, receipts[hit][0]), kind))

    @staticmethod
    def _flip(datagram: bytes, bit: int) -> bytes:
        bit %= 8 * len(datagram)
        flipped = bytearray(datagram)
        flipped[bit // 8] ^= 1 << (bit % 8)
        return bytes(flipped)

    def _hold(self, out: dict, release: int, kind: str) -> None:
        now = time.monotonic_ns()
        for name, datagrams in out.items():
            self.held += [(release, name, d, kind, now) for d, _ in datagrams]
            datagrams.clear()

    def _silence(self, out: dict, kind: str, chosen) -> None:
        for name, datagrams in out.items():
            kept = [(d, k) for d, k in datagrams if not chosen(name, d)]
            self.silenced[kind, name] += len(datagrams) - len(kept)
            datagrams[:] = kept

    def _wait_until_stale(self) -> None:
        """A short jam may take less wall time than the gates' freshness window:
        on its last tick (whose commands are dropped anyway), wait until what
        was held is old, so that the next tick's commands are signed after it."""
        held_at = [held_ns for _, _, _, kind, held_ns in self.held if kind == "stale"]
        if not held_at:
            return
        due = min(held_at) + round(1.5 * self.settings.max_age_s * 1e9)
        while (ahead := due - time.monotonic_ns()) > 0:
            time.sleep(ahead / 1e9)


def bind() -> dict:
    return {"frames": link.udp_socket(), "per-axis": link.udp_socket(), "out": link.udp_socket()}


def run(sockets: dict, wiring: dict) -> None:
    settings = wiring_settings(wiring)
    attacker = Attacker(settings, Timeline.of(settings))
    drive = wiring["ports"]["drive"]
    out = sockets["out"]
    emitted = []  # (tick, link, digest, kind) of every datagram sent on
    for tick in range(settings.ticks):
        received = {name: link.receive_tick(sockets[name], tick, "the controller") for name in link.LINKS}
        for name, datagrams in attacker.tick(tick, received["frames"], received["per-axis"]).items():
            for datagram, kind in datagrams:
                out.sendto(datagram, (link.HOST, drive[name]))
                emitted.append((tick, name, link.digest(datagram), kind))
        for name in link.LINKS:
            out.sendto(link.tick_marker(tick), (link.HOST, drive[name]))
    save(wiring, "proxy", {
        "emitted": emitted,
        "silenced": [[kind, name, n] for (kind, name), n in attacker.silenced.items()],
        "attacks": dict(attacker.attacks),
        "events": [vars(e) for e in attacker.events.values()],
    })


if __name__ == "__main__":
    raise SystemExit(serve(bind, run))
