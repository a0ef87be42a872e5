#!/usr/bin/env bash
# The core on Windows, tested under Wine: builds the core's test program (tools/core_digests) for
# Linux with this machine's compiler and for Windows (x86_64-windows-gnu) with Zig's, runs both on
# the sample file, an archive of random values written with zipfile, a file that does not exist
# and a copy of the sample under a name outside ASCII, and fails unless the Windows program's
# output (run by Debian's wine64) is the Linux one's, line for line: every digest of every array,
# every diagnostic line and every error message.
# Installs wine64 with apt-get when it runs as root and Wine is missing. Run after
# scripts/setup.sh (its .venv has CMake and NumPy).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/target_toolchain.sh
say() { printf 'windows_core: %s\n' "$*"; }

work=build/windows-core
python=.venv/bin/python
[[ -x $python ]] || { say "run scripts/setup.sh first" >&2; exit 1; }

if ! command -v wine64 >/dev/null && [[ ! -x /usr/lib/wine/wine64 ]]; then
  [[ $(id -u) == 0 ]] || { say "please install: wine64" >&2; exit 1; }
  say "installing wine64"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine64 >/dev/null
fi
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)

# The inputs, the same for both programs; the name is the one the program asks for with
# --named-in (letters of four scripts).
data=$work/data
rm -rf "$data" && mkdir -p "$data"
"$python" scripts/write_random_archive.py "$data/random.zel"
cp examples/sample.zel "$data/"
cp examples/sample.zel "$data/déjà-μέτρο-файл-数据.zel"
arguments=("$data/sample.zel" "$data/random.zel" "$data/missing.zel" --named-in "$data")

cmake=("$python" -m cmake)
configure=(-DCMAKE_BUILD_TYPE=Release -DZEL_WERROR=ON)

say "the test program for Linux"
"${cmake[@]}" -S tools/core_digests -B "$work/linux" "${configure[@]}" >"$work/linux.log" 2>&1 &&
  "${cmake[@]}" --build "$work/linux" -j 2 >>"$work/linux.log" 2>&1 ||
  { tail -n 30 "$work/linux.log" >&2; exit 1; }

say "the test program for Windows, with Zig's compilers"
target=x86_64-windows-gnu
tools=$(zel_target_tools "$target")
prefix=$PWD/build/targets/$target/prefix
mkdir -p "$prefix"
"${cmake[@]}" -S tools/core_digests -B "$work/windows" "${configure[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" -DZEL_TARGET="$target" \
  -DZEL_TARGET_TOOLS="$tools" -DZEL_TARGET_PREFIX="$prefix" -DZEL_LIBDEFLATE=BUNDLED \
  >"$work/windows.log" 2>&1 &&
  "${cmake[@]}" --build "$work/windows" -j 2 >>"$work/windows.log" 2>&1 ||
  { tail -n 30 "$work/windows.log" >&2; exit 1; }

say "running both, the Windows one under $("$wine" --version)"
"$work/linux/core_digests" "${arguments[@]}" >"$work/linux.out"
# A Wine prefix of its own under build/, made on the first run; Wine's own messages go away.
WINEPREFIX=$PWD/$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  "$wine" "$work/windows/core_digests.exe" "${arguments[@]}" >"$work/windows.out" 2>"$work/wine.log"

if ! diff -u "$work/linux.out" "$work/windows.out" >&2; then
  say "the Windows program's output differs from the Linux one's (above)" >&2
  exit 1
fi
grep -q '^non-ascii-name header ' "$work/linux.out" ||
  { say "the file under the name outside ASCII was not read" >&2; exit 1; }
say "$(grep -c . "$work/linux.out") lines the same on Linux and on Windows," \
  "$(grep -c -E ' [0-9a-f]{64}$' "$work/linux.out") of them digests (all in $work/windows.out);" \
  "those of the sample file, the missing file and the name outside ASCII:"
grep -E '^(sample\.zel|missing\.zel|non-ascii-name header) ' "$work/windows.out" | sed 's/^/  /'
