"""The link between the processes: UDP sockets on 127.0.0.1, the per-axis
datagram, the harness's tick markers, and the controller's pacing.

Every tick the controller sends its commands and then one marker per link; the
attacker forwards (or not) what it received and then the marker; the drive reads
each link up to the marker, applies what it admits, steps the physics and answers
the controller. The markers and answers belong to the demo's harness, not to any
protocol: they make each tick's traffic land in that tick, so a run is the same
on a busy machine as on an idle one.
"""

from __future__ import annotations

import hashlib
import socket
import struct
import time

from .scenario import DT

HOST = "127.0.0.1"
LINKS = ("frames", "per-axis")

# One per-axis command as it travels: axis, position, velocity, the 60-byte receipt.
PER_AXIS = struct.Struct("<Bdd60s")
_MARKER = struct.Struct("<4sI")
_TICK, _DONE = b"tick", b"done"
END = 0xFFFFFFFF  # the marker after the last tick
RECEIVE_TIMEOUT_S = 10.0  # a peer silent this long has failed


class LinkError(RuntimeError):
    """A peer went silent or the harness's traffic arrived out of order."""


def udp_socket() -> socket.socket:
    """A datagram socket bound to a free port on the loopback interface only."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((HOST, 0))
    sock.settimeout(RECEIVE_TIMEOUT_S)
    return sock


def port_of(sock: socket.socket) -> int:
    return sock.getsockname()[1]


def tick_marker(tick: int) -> bytes:
    return _MARKER.pack(_TICK, tick)


def done_marker(tick: int) -> bytes:
    return _MARKER.pack(_DONE, tick)


def _marker(data: bytes, kind: bytes) -> int | None:
    # Frames are at least 52 bytes and per-axis datagrams 77, so no command, however
    # mangled in flight, is ever taken for a marker.
    if len(data) != _MARKER.size:
        return None
    tag, tick = _MARKER.unpack(data)
    return tick if tag == kind else None


def digest(datagram: bytes) -> str:
    """A short name for a datagram, to follow it from the attacker to the drive."""
    return hashlib.blake2b(datagram, digest_size=8).hexdigest()


def receive(sock: socket.socket, what: str) -> bytes:
    try:
        return sock.recv(65536)
    except TimeoutError:
        raise LinkError(f"nothing from {what} for {RECEIVE_TIMEOUT_S:.0f} s") from None


def receive_tick(sock: socket.socket, tick: int, what: str) -> list[bytes]:
    """Every datagram on this link up to the marker of `tick` (END after the last)."""
    datagrams = []
    while True:
        data = receive(sock, what)
        marker = _marker(data, _TICK)
        if marker is None:
            datagrams.append(data)
        elif marker == tick or marker == END:
            return datagrams
        else:
            raise LinkError(f"{what}: marker of tick {marker} while waiting for tick {tick}")


def wait_done(sock: socket.socket, tick: int) -> None:
    """Wait for the drive to finish `tick`."""
    while True:
        marker = _marker(receive(sock, "the drive"), _DONE)
        if marker == tick:
            return
        if marker is not None and marker > tick:
            raise LinkError(f"the drive finished tick {marker} while tick {tick} was awaited")


class Pacer:
    """Releases tick k at epoch + k periods of the wall clock (shortened by the
    run's speed). A late tick is sent as soon as possible, but never closer than
    half a period after the one before: the signers' rate windows and the gate's
    step limit are wall-clock rules, and a burst of catching up must not break them."""

    def __init__(self, epoch_ns: int, speed: float) -> None:
        self.epoch_ns = epoch_ns
        self.period_ns = round(DT * 1e9 / speed)
        self.last_ns = epoch_ns - self.period_ns

    def wait(self, tick: int) -> None:
        due = max(self.epoch_ns + tick * self.period_ns, self.last_ns + self.period_ns // 2)
        while (ahead := due - time.monotonic_ns()) > 0:
            time.sleep(ahead / 1e9)
        self.last_ns = time.monotonic_ns()
