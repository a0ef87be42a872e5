#!/usr/bin/env bash
# Proves the portable file path on Linux: builds a wheel from the sdist with ZEL_PLAIN_POSIX=ON
# (plain pread, none of the Linux extras), checks that the module links none of those calls
# while the regular wheel does, and tests it as users get it (scripts/test_wheel.sh). Building
# from the sdist shows on the way that the sdist holds everything the build needs.
# Run after scripts/build_wheel.sh and scripts/build_wheel.sh --sdist.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_helpers.sh
say() { printf 'test_plain_posix: %s\n' "$*"; }

python=.venv/bin/python
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
sdist=$(echo dist/zel_data_reader-*.tar.gz)
regular=$(echo dist/zel_data_reader-*-"$tag"-"$tag"-*"$(uname -m)".whl)
[[ -f $sdist && -f $regular ]] || { say "run scripts/build_wheel.sh (and --sdist) first" >&2; exit 1; }

work=build/plain-posix
rm -rf "$work"
# No wheel cache: a wheel built earlier from the same sdist with other options must not be taken.
zel_build_wheel "$python" "$work/raw" "$sdist" --no-cache-dir -Ccmake.define.ZEL_PLAIN_POSIX=ON
zel_repair_wheel "$(echo "$work"/raw/*.whl)" "$work/dist"
wheel=$(echo "$work"/dist/*.whl)

# The calls that only some systems have, as the dynamic symbol tables name them.
extras='^(preadv2|posix_fadvise|getrandom)$'
calls_of() {
  local unpacked
  unpacked=$(mktemp -d -p "$work")
  "$python" -m zipfile -e "$1" "$unpacked"
  objdump -T "$unpacked"/zel_data_reader*.so | awk '/\*UND\*/ {print $NF}' | sort -u
}
found=$(calls_of "$regular" | grep -E "$extras" | paste -sd ' ')
[[ -n $found ]] || { say "the regular wheel links none of the Linux extras" >&2; exit 1; }
left=$(calls_of "$wheel" | grep -E "$extras" | paste -sd ' ' || true)
[[ -z $left ]] || { say "the plain POSIX build still links $left" >&2; exit 1; }
say "the regular wheel links $found; the plain POSIX one none of them"

bash scripts/test_wheel.sh --wheel "$wheel"
