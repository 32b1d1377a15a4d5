#!/usr/bin/env bash
# Benchmarks quorvex against numpy, FAISS and the machine's floors (OpenSSL's
# ChaCha20 and SHA-256, Python's base64) and writes bench/results/: results.md,
# results.json and search_scaling.png. Options go to bench/host_bench.py
# (--repeats N, --rows N ...). Best run on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
  echo "installing Debian package libbenchmark-dev"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libbenchmark-dev >/dev/null
fi
.venv/bin/python -m pip install -q -r bench/requirements.txt

cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DQUORVEX_BUILD_BENCH=ON -DQUORVEX_BUILD_TESTS=OFF \
  -DQUORVEX_BUILD_MODULE=OFF -DQUORVEX_WERROR=ON >/dev/null
cmake --build build/bench --target quorvex_bench -j"$(nproc)" >/dev/null

# One thread everywhere. OpenBLAS's core-type override (set on some machines
# for old OpenBLAS builds) slows a current numpy, so it is dropped here only.
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1 \
  .venv/bin/python bench/host_bench.py --native-bench build/bench/bench/quorvex_bench "$@"
