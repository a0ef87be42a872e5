#!/usr/bin/env bash
# Tests the x86_64 wheel of every CPython of the README's table (zel_wheels in build_helpers.sh)
# other than .venv's, which scripts/test_wheel.sh tests, each as users get it
# (scripts/test_wheel.sh). The oldest, 3.9, runs with the oldest NumPy the package declares, so
# that the floor in pyproject.toml is one that works. Run after scripts/build_wheel.sh --all.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_helpers.sh
say() { printf 'other_pythons: %s\n' "$*"; }

oldest_numpy=$(sed -n -E 's/^dependencies = .*"numpy>=([0-9.]+)".*/numpy==\1.*/p' pyproject.toml)
[[ -n $oldest_numpy ]] || { say "no numpy>= floor in pyproject.toml" >&2; exit 1; }

for wheel in "${zel_wheels[@]}"; do
  read -r arch version <<<"$wheel"
  [[ $arch == "$(uname -m)" ]] || continue
  python=$(zel_python_of "$version") ||
    { say "no Python $version on this machine (pyenv install $version)" >&2; exit 1; }
  [[ $python != .venv/bin/python ]] || continue
  with=()
  [[ $version == 3.9 ]] && with=(--with "$oldest_numpy")
  started=$SECONDS
  bash scripts/test_wheel.sh --python "$python" "${with[@]}"
  say "the wheel for Python $version tested in $((SECONDS - started)) s"
done
