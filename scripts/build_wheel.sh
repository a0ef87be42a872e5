#!/usr/bin/env bash
# Builds the self-contained wheels of zel-data-reader into dist/, for glibc 2.28 and newer, on
# x86_64 or, cross-compiled from this machine, on aarch64. The compilers are Zig's, which link
# against the symbol versions of glibc 2.28 whatever this machine's glibc is, and link the C++
# runtime statically; libdeflate is built from its copy in third_party/ and linked statically.
# Each wheel is then repaired by auditwheel, which gives it the manylinux_2_28 tag only if its
# symbols allow it. The type stubs are inside.
#
#   scripts/build_wheel.sh --all      every wheel of the README's table (zel_wheels in
#                                     build_helpers.sh), with pyenv's interpreters
#   scripts/build_wheel.sh [--arch x86_64|aarch64] [PYTHON]
#                                     the wheel for .venv's Python (run scripts/setup.sh first)
#                                     or for another interpreter, built in an environment of its
#                                     own, build/wheel-env-<version>; for aarch64, the
#                                     interpreter's version must be one that Debian ships for
#                                     arm64 (3.9, 3.11 or 3.13), whose headers are taken from there
#   scripts/build_wheel.sh --sdist    the source distribution
#
# The build folder build/manylinux/<wheel tag> is kept, so a second build compiles only what
# changed; what is made for a target once (compilers, headers) is kept under build/targets.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_helpers.sh
source scripts/target_toolchain.sh
say() { printf 'build_wheel: %s\n' "$*"; }
mkdir -p dist

if [[ ${1:-} == --sdist ]]; then
  [[ -x .venv/bin/python ]] || { say "run scripts/setup.sh first" >&2; exit 1; }
  # The backend walks every folder below the one it runs in, following symbolic links, the
  # ignored build/ included, whose Debian roots link into this machine's /proc and /usr: it runs
  # on a copy of the files that git sees (tracked or new, not ignored) instead.
  source=.
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    source=build/sdist-source
    rm -rf "$source" && mkdir -p "$source"
    git ls-files -z --cached --others --exclude-standard |
      tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$source"
  fi
  # The backend's own hook, as a build frontend would call it; it prints a banner first.
  sdist=$(cd "$source" && "$OLDPWD/.venv/bin/python" -c \
    'import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))' "$OLDPWD/dist" |
    tail -n 1)
  say "dist/$sdist ($(du -k "dist/$sdist" | cut -f1) KiB)"
  exit 0
fi

if [[ ${1:-} == --all ]]; then
  for wheel in "${zel_wheels[@]}"; do
    read -r arch version <<<"$wheel"
    python=$(zel_python_of "$version") ||
      { say "no Python $version on this machine (pyenv install $version)" >&2; exit 1; }
    [[ $python == .venv/bin/python ]] && python=  # built in .venv itself, as without --all
    started=$SECONDS
    bash "$0" --arch "$arch" ${python:+"$python"}
    say "the $arch wheel for Python $version in $((SECONDS - started)) s"
  done
  exit 0
fi

arch=$(uname -m)
if [[ ${1:-} == --arch ]]; then
  arch=${2:?--arch needs x86_64 or aarch64}
  shift 2
fi
case $arch in
  x86_64 | aarch64) ;;
  *) say "no wheel for $arch: x86_64 or aarch64" >&2; exit 2 ;;
esac

if [[ -n ${1:-} ]]; then
  version=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  python=build/wheel-env-$version/bin/python
  if [[ ! -x $python ]]; then
    "$1" -m venv "build/wheel-env-$version"
    "$python" -m pip install -q --upgrade pip  # 3.9's own pip lacks -C
  fi
  zel_install_build_requirements "$python"
else
  python=.venv/bin/python
  [[ -x $python ]] || { say "run scripts/setup.sh first, or name an interpreter" >&2; exit 1; }
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
fi

target=$(zel_target_of "$arch")
say "compilers for $target"
tools=$(zel_target_tools "$target")
# Nothing of this machine's /usr is for the target: the target's own libraries would go here,
# and the wheel needs none beside the C library (libdeflate is the copy in third_party/).
prefix=$PWD/build/targets/$target/prefix
mkdir -p "$prefix"
options=(
  -Cbuild-dir="build/manylinux/{wheel_tag}"
  -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake"
  -Ccmake.define.ZEL_TARGET="$target"
  -Ccmake.define.ZEL_TARGET_TOOLS="$tools"
  -Ccmake.define.ZEL_TARGET_PREFIX="$prefix"
  -Ccmake.define.ZEL_LIBDEFLATE=BUNDLED
)
environment=()
if [[ $arch != "$(uname -m)" ]]; then
  say "Python $version and NumPy headers for $arch"
  mapfile -t headers < <(zel_target_python_headers "$target" "$arch" "$version" "$python")
  [[ ${#headers[@]} == 2 ]] || { say "no headers for $arch" >&2; exit 1; }
  soabi="cpython-${version/./}-$arch-linux-gnu"
  # The interpreter running the build is this machine's: the target's headers, extension
  # suffix and platform tag replace what it would say about itself.
  options+=(
    -Ccmake.python-hints=false
    -Ccmake.define.Python_EXECUTABLE="$PWD/$python"
    -Ccmake.define.Python_INCLUDE_DIR="${headers[0]}"
    -Ccmake.define.Python_NumPy_INCLUDE_DIR="${headers[1]}"
  )
  environment=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX=".$soabi.so")
fi

say "wheel for Python $version on $arch"
raw=build/wheel-raw
rm -rf "$raw"
(
  for assignment in "${environment[@]}"; do export "${assignment?}"; done
  zel_build_wheel "$python" "$raw" . "${options[@]}"
)
built=$(echo "$raw"/*.whl)
# A wheel of an earlier build for this interpreter and architecture, under another platform
# tag, is not left to be mistaken for this one.
tag=$(basename "$built" | cut -d- -f3)
rm -f dist/zel_data_reader-*-"$tag"-*"$arch".whl
zel_repair_wheel "$built" dist --plat "manylinux_${zel_glibc/./_}_$arch"
wheel=$(echo dist/zel_data_reader-*-"$tag"-*"$arch".whl)

# The stubs travel in the wheel: the stub-only package for type checkers, and the copy beside
# the extension for editors.
"$python" - "$wheel" <<'EOF'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
missing = {"zel_data_reader-stubs/__init__.pyi", "zel_data_reader.pyi"} - names
sys.exit(f"build_wheel: the wheel lacks {sorted(missing)}" if missing else 0)
EOF
say "$wheel ($(du -k "$wheel" | cut -f1) KiB)"
zel_show_wheel "$wheel"
