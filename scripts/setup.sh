#!/usr/bin/env bash
# Sets up a fresh machine for zel-data-reader: the system packages the build and the tests
# need, a virtual environment in .venv, and the module built and installed into it with the
# extras below. Run again, it rebuilds only what changed: the build folder build/<wheel tag> is
# kept, and the build runs in .venv itself rather than in a new isolated environment each time.
# Each step prints one line; what the tools print goes to build/setup.log, shown on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_helpers.sh

# The optional extras of pyproject.toml installed with the module.
extras="test,test-s3,typing,lint,all"

log=build/setup.log
mkdir -p build
: >"$log"
say() { printf 'setup: %s\n' "$*"; }
run() {
  if ! "$@" >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    say "failed: $*; the whole output is in $log" >&2
    exit 1
  fi
}

say "system packages"
packages=(g++ libdeflate-dev libarchive-tools zip unzip nginx-light)  # nginx: the remote-read tests serve files with it
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    say "please install: ${missing[*]}" >&2
    exit 1
  fi
  say "installing ${missing[*]}"
  run apt-get update -q
  run env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

say "environment .venv and the build requirements"
python=.venv/bin/python
if [[ ! -x $python ]]; then
  run "${PYTHON:-python3}" -m venv .venv
  run "$python" -m pip install -q --upgrade pip
fi
run zel_install_build_requirements "$python"

say "build (the first one may take a minute; later ones rebuild only what changed)"
wheels=build/setup-wheel
rm -rf "$wheels"
run zel_build_wheel "$python" "$wheels"
wheel=$(echo "$wheels"/*.whl)

say "install into .venv with the extras [$extras]"
# The version stays the same from build to build, so pip is told to replace the module; the
# second command only adds what the extras need and is not yet installed.
run "$python" -m pip install -q --no-deps --force-reinstall "$wheel"
run "$python" -m pip install -q "${wheel}[${extras}]"
say "done in ${SECONDS} s"
