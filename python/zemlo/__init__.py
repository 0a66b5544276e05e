"""zemlo: linear and mixed-integer programming models.

The native core lives in :mod:`zemlo._ondrel`: the in-memory model store, affine expressions,
and the CPLEX LP and fixed MPS file formats.
"""

from zemlo import _ondrel

__version__ = "0.1.0"
__all__ = ["_ondrel"]
