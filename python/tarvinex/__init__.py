"""tarvinex: k-means on product-quantization codes and dense vectors.

The compiled core lives in :mod:`tarvinex._tarvinex`.
"""

from . import _tarvinex
from ._tarvinex import *  # noqa: F401,F403

__all__ = list(_tarvinex.__all__)
