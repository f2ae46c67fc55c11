"""Kelvara: a safety layer between a robot controller and its actuators.

Every public name of the extension module _kelvara, and the four-axis envelope
(Envelope4 and its result type). The version is the module's own.
"""

import _kelvara
from _kelvara import *  # noqa: F403  (the names of _kelvara.__all__)
from _kelvara import Envelope4, Envelope4Result

__all__ = [*_kelvara.__all__, "Envelope4", "Envelope4Result"]
