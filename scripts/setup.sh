#!/usr/bin/env bash
# Installs what quor needs to build, test and document (`make docs`) from
# Debian's packages (there is no PyPI here). Safe to run again: it only
# installs what is missing.
# Usage: scripts/setup.sh [bench|robustness|cross]   ("bench" adds what the
# benchmarks need, "robustness" what `make valgrind` and `make fuzz` need,
# "cross" the aarch64 compiler of `make check-aarch64`)
set -euo pipefail

packages=(g++ cmake make libgtest-dev python3-dev python3-numpy python3-pytest python3-pytest-xdist
          python3-sklearn python3-pandas python3-hypothesis python3-venv python3-pip
          python3-setuptools python3-wheel python3-scipy python3-matplotlib
          python3-dask python3-distributed
          python3-sphinx python3-numpydoc python3-sphinx-gallery python3-pydata-sphinx-theme)
if [[ "${1:-}" == "bench" ]]; then
  packages+=(python3-xgboost libbenchmark-dev)
fi
if [[ "${1:-}" == "robustness" ]]; then  # make valgrind and make fuzz
  packages+=(valgrind clang libclang-rt-14-dev)
fi
if [[ "${1:-}" == "cross" ]]; then  # make check-aarch64
  packages+=(g++-aarch64-linux-gnu)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
/usr/bin/python3 -c "import numpy" || { echo "setup: numpy is not importable by /usr/bin/python3" >&2; exit 1; }
