"""Kelvara: a safety layer between a robot controller and its actuators.

Every public name of the extension module _kelvara, and the four-axis envelope
(Envelope4 and its result type). The version is the module's own.
"""

import _kelvara
from _kelvara import *  # noqa: F403  (the names of _kelvara.__all__)
from _kelvara import Envelope4, Envelope4Result

# _kelvara.__all__ lists the module's fixed names; the classes it holds beyond
# them are published here.
__all__ = list(_kelvara.__all__)
__all__ += [name for name in ("Envelope4", "Envelope4Result") if name not in __all__]
