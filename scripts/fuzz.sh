#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and the address and undefined-behaviour
# sanitizers into build/fuzz, replays the inputs kept in fuzz/regressions, then fuzzes each
# target for SECONDS (default 20) from seeds that our own writers make. Exits non-zero on a
# finding, whose input is left in build/fuzz/findings. Run after scripts/setup.sh (it uses .venv).
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]     targets: archive header number channel slice
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(archive header number channel slice)

missing=()
command -v clang++ >/dev/null || missing+=(clang)
command -v make >/dev/null || missing+=(make)
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "fuzz: please install: ${missing[*]}" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

python=.venv/bin/python
build=build/fuzz
"$python" -m cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
"$python" -m cmake --build "$build" -j 2 >/dev/null
rm -rf "$build/seeds"
"$python" fuzz/make_seeds.py "$build/seeds"
mkdir -p "$build/findings" "$build/logs"

# Our code handles every failed malloc itself; the sanitizers must let it see them.
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1

declare -A max_len=([archive]=16384 [channel]=16384 [header]=4096 [number]=256 [slice]=16384)
declare -A dict=([archive]=archive [channel]=archive [header]=header [number]=number [slice]=slice)
failed=0
for target in "${targets[@]}"; do
  fuzzer="$build/fuzz_$target"
  regressions=(fuzz/regressions/"$target"/*)
  if [[ -e ${regressions[0]} ]] && ! "$fuzzer" "${regressions[@]}" >"$build/logs/$target-regressions.log" 2>&1; then
    echo "fuzz: $target: a kept regression input fails again" >&2
    tail -n 40 "$build/logs/$target-regressions.log" >&2
    failed=1
    continue
  fi
  mkdir -p "$build/corpus/$target"
  log="$build/logs/$target.log"
  if "$fuzzer" "$build/corpus/$target" "$build/seeds/$target" -max_total_time="$seconds" \
    -max_len="${max_len[$target]}" -dict="fuzz/${dict[$target]}.dict" -timeout=25 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
    >"$log" 2>&1; then
    echo "fuzz: $target: $(grep -o 'number_of_executed_units: [0-9]*' "$log" | tail -n 1)"
  else
    echo "fuzz: $target: FINDING, see $log and $build/findings" >&2
    tail -n 60 "$log" >&2
    failed=1
  fi
done
exit "$failed"
