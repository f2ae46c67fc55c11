# Types of the kelvara package: every name of _kelvara, whose classes these are.
from _kelvara import *
from _kelvara import __all__ as __all__, __version__ as __version__
