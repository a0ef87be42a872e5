#!/usr/bin/env bash
# Runs the test suite on the oldest and the newest CPython this machine has (3.9 is the oldest
# the module supports), each in a virtual environment of its own under build/. Pythons that are
# not installed are skipped with a line saying so.
set -euo pipefail
cd "$(dirname "$0")/.."

root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for wanted in 3.9 3.13; do
  python=$(ls -d "$root"/versions/"$wanted".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
  if [[ -z "$python" ]]; then
    echo "other_pythons: no Python $wanted on this machine, skipped"
    continue
  fi
  venv=build/venv-$wanted
  [[ -x $venv/bin/python ]] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q ".[test]" -Ccmake.define.ZEL_WERROR=ON
  echo "other_pythons: $("$venv/bin/python" --version)"
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
done
