"""Optional packages: finding them, and what to say when they are missing."""

from __future__ import annotations

import importlib.util
import shlex
import sys
from collections.abc import Sequence

__all__ = ["EmbedderUnavailable", "PIP", "require_packages"]

# The pip of the running interpreter, so that the packages land where this quorvex imports them.
PIP = f"{shlex.quote(sys.executable)} -m pip"


class EmbedderUnavailable(RuntimeError):
    """The optional packages an embedder, or embedding on a cluster, needs are not installed."""


def require_packages(what: str, modules: Sequence[str], install: str) -> None:
    """Returns when every module is found; else raises EmbedderUnavailable naming what needs the missing
    ones and the command that installs them."""
    missing = [name for name in modules if importlib.util.find_spec(name) is None]
    if missing:
        packages = ", ".join(name.replace("_", "-") for name in missing)
        raise EmbedderUnavailable(f"{what} needs packages that are not installed ({packages}); "
                                  f"install them with: {install}")
