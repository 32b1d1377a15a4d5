#!/usr/bin/env bash
# Runs the end-to-end demo from a fresh machine: set-up (the Debian packages that building
# needs, .venv, the package built and installed with the minilm embedder), then `quorvex demo`,
# which publishes Python's documentation topics, serves them on a loopback port and asks a few
# questions. The published corpus is kept in the user cache folder ($XDG_CACHE_HOME or ~/.cache,
# under quorvex/), so a second demo starts in seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "demo.sh: setting up (missing Debian packages, .venv, quorvex built from source: minutes the first time)"
scripts/setup.sh --demo
echo "demo.sh: running quorvex demo (the first run embeds and publishes the corpus, which takes a while with MiniLM)"
exec .venv/bin/quorvex demo "$@"
