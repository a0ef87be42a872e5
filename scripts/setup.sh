#!/usr/bin/env bash
# Sets up a fresh machine for zel-data-reader: the system packages the build and the tests
# need, a virtual environment in .venv, and the module installed into it with its test extras.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ libdeflate-dev libarchive-tools zip unzip)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: please install: ${missing[*]}" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

python=${PYTHON:-python3}
[[ -x .venv/bin/python ]] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
# Warnings are errors in our own builds; a user's plain `pip install .` does not insist.
.venv/bin/python -m pip install -q ".[test,typing,all]" -Ccmake.define.ZEL_WERROR=ON
