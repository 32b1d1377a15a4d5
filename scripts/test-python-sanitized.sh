#!/usr/bin/env bash
# Runs the Python test suite against an extension module built with
# AddressSanitizer and UndefinedBehaviorSanitizer (Debug, build/python-sanitize).
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded; leak detection is off because the interpreter keeps memory alive
# until exit on purpose. Extra arguments go to pytest. Needs scripts/setup.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/python-sanitize
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQUORVEX_WERROR=ON -DQUORVEX_SANITIZE=ON -DQUORVEX_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build "$build" --parallel "${JOBS:-$(nproc)}" --target _native

# The package from src/ with the sanitized module in place of the installed one.
rm -rf "$build/package"
mkdir -p "$build/package"
cp -r src/quorvex "$build/package/"
rm -f "$build/package/quorvex/"_native*.so
cp "$build"/native/python/_native*.so "$build/package/quorvex/_native.abi3.so"

export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
PYTHONPATH="$PWD/$build/package:$PWD/tests/python" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python "$@"
