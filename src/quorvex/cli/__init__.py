"""The command line `quorvex` (publish, serve, ask, verify, demo), its display and progress. May
import every other part of quorvex; nothing imports it."""

from quorvex.cli.commands import main

__all__ = ["main"]
