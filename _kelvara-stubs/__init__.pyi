# Types of the extension module _kelvara. Installed as the stub-only package
# _kelvara-stubs beside the module, where type checkers look for the types of a
# top-level module that is not a package.
from collections.abc import Buffer, Iterable, Mapping, Sequence
from typing import Final, Literal, SupportsFloat, SupportsIndex, final

from typing_extensions import disjoint_base

__version__: Final[str]
__all__ = [
    "__version__",
    "KelBoundary",
    "KelReceipt",
    "KelViolation",
    "MonotonicCounter",
    "Governor",
    "KelGate",
    "Envelope4",
    "Envelope4Result",
    "Envelope",
    "EnvelopeResult",
    "CommandSigner",
    "CommandGate",
    "Command",
]

# A number as the module converts it: anything float() accepts except str.
_Real = SupportsFloat | SupportsIndex
# Numbers given as a sequence, or as a one-dimensional float32 or float64 buffer.
_Numbers = Sequence[_Real] | Buffer

_Status = Literal["optimal", "iteration_limit", "infeasible", "numerical_failure", "invalid"]
_Float4 = tuple[float, float, float, float]
# The statuses of the general envelope, which never runs out of iterations.
_EnvelopeStatus = Literal["optimal", "infeasible", "numerical_failure", "invalid"]

@final
class KelBoundary:
    def __new__(
        cls,
        rate_limit: SupportsIndex = 1000,
        max_velocity_rad_s: _Real = 4.18,
        monotonic_window_size: SupportsIndex = 64,
        hmac_key: bytes | None = None,
    ) -> KelBoundary: ...
    def authorize_action(
        self, target_axis: SupportsIndex, requested_position: _Real, commanded_velocity: _Real
    ) -> KelReceipt: ...
    @property
    def stats(self) -> dict[str, int]: ...

@final
class KelReceipt:
    @property
    def is_authorized(self) -> bool: ...
    @property
    def sequence_id(self) -> int: ...
    @property
    def timestamp_nanos(self) -> int: ...
    @property
    def receipt_hash(self) -> bytes: ...
    def verify(self, key: bytes) -> bool: ...

@disjoint_base
class KelViolation(Exception):
    def __new__(cls, axis: SupportsIndex = 0, violation_type: str = ..., message: str = ...) -> KelViolation: ...
    @property
    def axis(self) -> int: ...
    @property
    def violation_type(self) -> str: ...
    @property
    def message(self) -> str: ...

@final
class MonotonicCounter:
    def __new__(cls, initial_value: SupportsIndex = 0) -> MonotonicCounter: ...
    def next_value(self) -> int: ...
    def current_value(self) -> int: ...

@final
class Governor:
    def __new__(cls, min_bound: _Real, max_bound: _Real) -> Governor: ...
    def project(self, u_desired: _Real) -> float: ...
    def project_batch(self, u_vec: _Numbers) -> list[float]: ...
    def project_into(self, buffer: Buffer) -> None: ...

@final
class KelGate:
    def __new__(cls, hmac_key: bytes, *, max_age_s: _Real | None = None) -> KelGate: ...
    def admit(
        self, receipt_hash: bytes, target_axis: SupportsIndex, requested_position: _Real, commanded_velocity: _Real
    ) -> KelReceipt: ...
    @property
    def last_sequence_id(self) -> int: ...
    @property
    def stats(self) -> dict[str, int]: ...

@final
class Envelope4:
    def __new__(
        cls,
        min_bound: _Numbers,
        max_bound: _Numbers,
        rows: Sequence[_Numbers] | Buffer = (),
        limits: _Numbers = (),
    ) -> Envelope4: ...
    @property
    def min_bound(self) -> _Float4: ...
    @property
    def max_bound(self) -> _Float4: ...
    @property
    def rows(self) -> tuple[_Float4, ...]: ...
    @property
    def limits(self) -> tuple[float, ...]: ...
    def project(self, u: _Numbers) -> Envelope4Result: ...

@final
class Envelope4Result:
    @property
    def u(self) -> _Float4: ...
    @property
    def status(self) -> _Status: ...
    @property
    def iterations(self) -> int: ...
    @property
    def ok(self) -> bool: ...

@final
class Envelope:
    def __new__(
        cls,
        min_bound: _Numbers,
        max_bound: _Numbers,
        rows: Sequence[_Numbers] | Buffer = (),
        limits: _Numbers = (),
    ) -> Envelope: ...
    @property
    def axes(self) -> int: ...
    @property
    def min_bound(self) -> tuple[float, ...]: ...
    @property
    def max_bound(self) -> tuple[float, ...]: ...
    @property
    def rows(self) -> tuple[tuple[float, ...], ...]: ...
    @property
    def limits(self) -> tuple[float, ...]: ...
    def project(self, u: _Numbers) -> EnvelopeResult: ...
    def project_into(self, buffer: Buffer, statuses: Buffer | None = None) -> int: ...

@final
class EnvelopeResult:
    @property
    def u(self) -> tuple[float, ...]: ...
    @property
    def status(self) -> _EnvelopeStatus: ...
    @property
    def iterations(self) -> int: ...
    @property
    def ok(self) -> bool: ...

@final
class CommandSigner:
    def __new__(
        cls,
        hmac_key: bytes,
        *,
        stream_id: SupportsIndex,
        axes: SupportsIndex,
        max_velocity_rad_s: _Real | _Numbers,
        rate_limit: SupportsIndex = 1000,
        key_id: SupportsIndex = 0,
    ) -> CommandSigner: ...
    def sign(self, positions: _Numbers, velocities: _Numbers) -> bytes: ...

@final
class CommandGate:
    def __new__(
        cls,
        keys: Mapping[SupportsIndex, bytes],
        *,
        axes: SupportsIndex,
        streams: Iterable[SupportsIndex],
        max_age_s: _Real | None = 1.0,
        envelope: Envelope | None = None,
        max_step_rad_s: _Real | _Numbers | None = None,
    ) -> CommandGate: ...
    def admit(self, frame: bytes) -> Command: ...
    def add_key(self, key_id: SupportsIndex, key: bytes) -> None: ...
    def remove_key(self, key_id: SupportsIndex) -> None: ...
    @property
    def stats(self) -> dict[str, int]: ...

@final
class Command:
    @property
    def stream_id(self) -> int: ...
    @property
    def counter(self) -> int: ...
    @property
    def key_id(self) -> int: ...
    @property
    def positions(self) -> tuple[float, ...]: ...
    @property
    def velocities(self) -> tuple[float, ...]: ...
