#!/usr/bin/env bash
# Runs every test from a fresh machine: set-up, the C++ tests (a normal build
# with warnings as errors, then again under AddressSanitizer and
# UndefinedBehaviorSanitizer), the fuzz targets over their committed corpora and
# the Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc)
echo "== C++ tests"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_WERROR=ON >/dev/null
cmake --build build/test --parallel "$jobs"
ctest --test-dir build/test --output-on-failure --parallel "$jobs"

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_WERROR=ON -DQUORVEX_SANITIZE=ON \
  -DQUORVEX_BUILD_MODULE=OFF >/dev/null
cmake --build build/sanitize --parallel "$jobs"
ctest --test-dir build/sanitize --output-on-failure --parallel "$jobs"

echo "== Fuzz targets replaying their committed corpora (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
fuzz/run.sh replay

echo "== Python tests"
# Run from the tests folder so the installed package, not src/, is imported.
.venv/bin/python -m pytest -q tests/python

echo "== Type check"
.venv/bin/python -m mypy --strict src/quorvex
