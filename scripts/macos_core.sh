#!/usr/bin/env bash
# The core for macOS, compiled and linked: the core's test program (tools/core_digests) built
# with Zig's compilers for aarch64-macos and x86_64-macos, with the copy of libdeflate in
# third_party/. Nothing here can run it; the script checks that each result is a Mach-O
# executable for its processor. Run after scripts/setup.sh (its .venv has CMake).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/target_toolchain.sh
say() { printf 'macos_core: %s\n' "$*"; }

python=.venv/bin/python
[[ -x $python ]] || { say "run scripts/setup.sh first" >&2; exit 1; }

for target in aarch64-macos x86_64-macos; do
  work=build/macos-core/$target
  mkdir -p "$work"
  tools=$(zel_target_tools "$target")
  prefix=$PWD/build/targets/$target/prefix
  mkdir -p "$prefix"
  "$python" -m cmake -S tools/core_digests -B "$work" -DCMAKE_BUILD_TYPE=Release -DZEL_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" -DZEL_TARGET="$target" \
    -DZEL_TARGET_TOOLS="$tools" -DZEL_TARGET_PREFIX="$prefix" -DZEL_LIBDEFLATE=BUNDLED \
    >"$work.log" 2>&1 &&
    "$python" -m cmake --build "$work" -j 2 >>"$work.log" 2>&1 ||
    { tail -n 30 "$work.log" >&2; exit 1; }
  # A 64-bit Mach-O file starts with the magic 0xfeedfacf and the CPU type, both little-endian.
  "$python" - "$work/core_digests" "$target" <<'EOF'
import struct, sys
path, target = sys.argv[1], sys.argv[2]
magic, cpu = struct.unpack("<II", open(path, "rb").read(8))
wanted = {"aarch64-macos": 0x0100000C, "x86_64-macos": 0x01000007}[target]
if magic != 0xFEEDFACF or cpu != wanted:
    sys.exit(f"macos_core: {path} is no Mach-O executable for {target}")
EOF
  say "$work/core_digests: a Mach-O executable for $target ($(du -k "$work/core_digests" | cut -f1) KiB)"
done
