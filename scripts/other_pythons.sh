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

# Two at a time, one per core: each test run is mostly one thread. A run's output is shown whole
# when it ends; the first failure stops the script once the runs in flight have ended.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
declare -A running=()  # pid -> Python version
failed=0

finish_one() {
  local pid
  wait -n -p pid "${!running[@]}" && status=0 || status=$?
  local version=${running[$pid]}
  unset "running[$pid]"
  cat "$logs/$version.log"
  if ((status != 0)); then
    say "the wheel for Python $version failed its tests (exit $status)" >&2
    failed=1
  else
    say "the wheel for Python $version tested in $(cat "$logs/$version.seconds") s"
  fi
}

for wheel in "${zel_wheels[@]}"; do
  read -r arch version <<<"$wheel"
  [[ $arch == "$(uname -m)" ]] || continue
  python=$(zel_python_of "$version") ||
    { say "no Python $version on this machine (pyenv install $version)" >&2; exit 1; }
  [[ $python != .venv/bin/python ]] || continue
  with=()
  [[ $version == 3.9 ]] && with=(--with "$oldest_numpy")
  (
    started=$SECONDS
    bash scripts/test_wheel.sh --python "$python" "${with[@]}"
    echo $((SECONDS - started)) >"$logs/$version.seconds"
  ) >"$logs/$version.log" 2>&1 &
  running[$!]=$version
  ((${#running[@]} < 2)) || finish_one
  ((failed == 0)) || break
done
while ((${#running[@]})); do finish_one; done
exit "$failed"
