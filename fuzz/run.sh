#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 16 with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz (or $QUORVEX_FUZZ_BUILD), then
#   fuzz/run.sh replay            runs every target once over its committed corpus,
#   fuzz/run.sh SECONDS [TARGET]  fuzzes each target (or one) for SECONDS on one core, or
#   fuzz/run.sh merge [TARGET]    adds to the committed corpus the inputs of earlier runs that
#                                 reach code it does not (libFuzzer's -merge=1), and no others.
# Fuzzing starts from a copy of the committed corpus in build/fuzz/corpus and
# keeps new inputs there; crashes land in build/fuzz/findings, logs in build/fuzz/logs.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:?usage: fuzz/run.sh replay | SECONDS [TARGET]}
only=${2:-}
build=${QUORVEX_FUZZ_BUILD:-build/fuzz}
jobs=$(nproc)

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_FUZZ=ON \
  -DQUORVEX_BUILD_MODULE=OFF -DQUORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --parallel "$jobs" --target fuzzers >/dev/null

targets=()
for dir in fuzz/corpus/*/; do
  name=$(basename "$dir")
  [[ -z "$only" || "$only" == "$name" ]] && targets+=("$name")
done

for name in "${targets[@]}"; do
  binary="$build/fuzz/${name}_fuzzer"
  mkdir -p "$build/corpus/$name" "$build/findings/$name" "$build/logs"
  if [[ "$mode" == replay ]]; then
    "$binary" -runs=0 "fuzz/corpus/$name" >"$build/logs/$name.replay.log" 2>&1 ||
      { cat "$build/logs/$name.replay.log"; echo "$name: FAILED on its committed corpus"; exit 1; }
    echo "$name: $(grep -o "Done [0-9]* runs" "$build/logs/$name.replay.log")"
    continue
  fi
  if [[ "$mode" == merge ]]; then
    before=$(ls "fuzz/corpus/$name" | wc -l)
    "$binary" -merge=1 -max_len=65536 -timeout=10 -rss_limit_mb=2048 "fuzz/corpus/$name" "$build/corpus/$name" \
      >"$build/logs/$name.merge.log" 2>&1 || { cat "$build/logs/$name.merge.log"; echo "$name: merge FAILED"; exit 1; }
    echo "$name: $before -> $(ls "fuzz/corpus/$name" | wc -l) inputs, $(du -sh "fuzz/corpus/$name" | cut -f1)"
    continue
  fi
  cp -n "fuzz/corpus/$name"/* "$build/corpus/$name/"
  echo "== $name: fuzzing for $mode seconds"
  "$binary" -max_total_time="$mode" -dict=fuzz/quorvex.dict -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/findings/$name/" "$build/corpus/$name" \
    >"$build/logs/$name.log" 2>&1 || { echo "$name: FINDING, see $build/logs/$name.log"; exit 1; }
  grep -E "^#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" \
    "$build/logs/$name.log" | sed "s|^|$name: |"
done
