#!/usr/bin/env bash
# Builds the wheel for the oldest and the newest CPython this machine has (3.9 is the oldest the
# module supports) and tests each as users get it (scripts/test_wheel.sh). The oldest runs with
# the oldest NumPy the package declares, so that the floor in pyproject.toml is one that works.
# Pythons that are not installed are skipped with a line saying so.
set -euo pipefail
cd "$(dirname "$0")/.."

oldest_numpy=$(sed -n -E 's/^dependencies = .*"numpy>=([0-9.]+)".*/numpy==\1.*/p' pyproject.toml)
[[ -n $oldest_numpy ]] || { echo "other_pythons: no numpy>= floor in pyproject.toml" >&2; exit 1; }

root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for wanted in 3.9 3.13; do
  python=$(ls -d "$root"/versions/"$wanted".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
  if [[ -z "$python" ]]; then
    echo "other_pythons: no Python $wanted on this machine, skipped"
    continue
  fi
  bash scripts/build_wheel.sh "$python"
  with=()
  [[ $wanted == 3.9 ]] && with=(--with "$oldest_numpy")
  bash scripts/test_wheel.sh --python "$python" "${with[@]}"
done
