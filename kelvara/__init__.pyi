# Types of the kelvara package: the classes are _kelvara's own.
from _kelvara import (
    Envelope4 as Envelope4,
    Envelope4Result as Envelope4Result,
    Governor as Governor,
    KelBoundary as KelBoundary,
    KelReceipt as KelReceipt,
    KelViolation as KelViolation,
    MonotonicCounter as MonotonicCounter,
    __version__ as __version__,
)

# KelGate: re-exported here when the class lands.

__all__ = [
    "__version__",
    "KelBoundary",
    "KelReceipt",
    "KelViolation",
    "MonotonicCounter",
    "Governor",
    "Envelope4",
    "Envelope4Result",
]
