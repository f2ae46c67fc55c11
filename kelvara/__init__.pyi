# Types of the kelvara package: the classes are _kelvara's own.
from _kelvara import (
    Envelope as Envelope,
    Envelope4 as Envelope4,
    Envelope4Result as Envelope4Result,
    EnvelopeResult as EnvelopeResult,
    Governor as Governor,
    KelBoundary as KelBoundary,
    KelGate as KelGate,
    KelReceipt as KelReceipt,
    KelViolation as KelViolation,
    MonotonicCounter as MonotonicCounter,
    __version__ as __version__,
)

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
]
