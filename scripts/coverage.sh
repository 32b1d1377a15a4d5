#!/usr/bin/env bash
# Line and branch coverage of native/ and src/quorvex by the tests: the C++ tests, then the Python
# tests against extension modules built from the same instrumented build (so the native code the
# Python tests reach counts too), under coverage.py, subprocesses included. Writes
# build/coverage/report.md (per file, with every file under 85% of lines named and its reason)
# and the line-by-line pages build/coverage/html/native/index.html and build/coverage/html/python/index.html.
# Needs scripts/setup.sh first; extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/coverage
python=$PWD/.venv/bin/python
jobs=${JOBS:-$(nproc)}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic" -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --parallel "$jobs"
find "$build" -name '*.gcda' -delete
rm -rf "$build/python" "$build/html" && mkdir -p "$build/python" "$build/html/native" "$build/html/python"

echo "== C++ tests"
ctest --test-dir "$build" --parallel "$jobs" --output-on-failure >"$build/ctest.log" || { cat "$build/ctest.log"; exit 1; }

echo "== Python tests"
rm -rf "$build/package" && mkdir -p "$build/package"
cp -r src/quorvex "$build/package/"
rm -f "$build/package/quorvex/"*.so
cp "$build"/native/python/_native*.so "$build/package/quorvex/_native.abi3.so"
cp "$build"/native/python/_engine*.so "$build/package/quorvex/_engine.abi3.so"
# A failing test still leaves its coverage: the report is written, then the failure is the exit status.
status=0
COVERAGE_FILE=$PWD/$build/python/data PYTHONPATH="$PWD/$build/package:$PWD/tests/python" \
  "$python" -m coverage run -m pytest -q -p no:cacheprovider tests/python "$@" || status=$?

echo "== Report"
export COVERAGE_FILE=$PWD/$build/python/data
"$python" -m coverage combine -q
"$python" -m coverage json -q -o "$build/python.json"
"$python" -m coverage html -q -d "$build/html/python"
"$python" -m gcovr --root . --filter native/ --object-directory "$build" --exclude-unreachable-branches \
  --exclude-throw-branches --json-summary "$build/native.json" --html-details "$build/html/native/index.html" \
  "$build/native" "$build/tests"
"$python" scripts/coverage_report.py "$build/native.json" "$build/python.json" >"$build/report.md"
cat "$build/report.md"
((status == 0)) || echo "the Python tests failed under coverage (exit status $status): the report counts the run as it went"
exit "$status"
