"""quorvex: private retrieval over a verified public cache."""

from quorvex._native import __version__

__all__ = ["__version__"]
