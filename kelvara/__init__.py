"""Kelvara: a safety layer between a robot controller and its actuators.

Every public name of the extension module _kelvara: the sender's boundary and
its receipts, the actuator's gate, the violation exception, the monotonic
counter, the one- and four-axis envelopes, the general envelope of any number
of axes, and the command frame's signer, gate and admitted command. The
version is the module's own.
"""

import _kelvara
from _kelvara import *  # noqa: F403  (the names of _kelvara.__all__)

__all__ = list(_kelvara.__all__)
