#!/usr/bin/env bash
# Runs the end-to-end demo from a fresh machine: set-up (the Debian packages that building
# needs, .venv, the package built and installed), then `quorvex demo`, which publishes Python's
# documentation topics, serves them on a loopback port and asks a few questions.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --demo
exec .venv/bin/quorvex demo "$@"
