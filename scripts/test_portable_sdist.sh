#!/usr/bin/env bash
# Proves that the sdist builds with a C++20 compiler other than GCC and without libdeflate: it is
# built with Clang 16 and LLVM's libc++ 16 (whose std::from_chars reads no double, as on macOS),
# where neither libdeflate's development files nor GCC's C++ headers can be seen, and the wheel is
# tested as users get it (scripts/test_wheel.sh). The build must have taken fast_float and the
# copy of libdeflate in third_party/, and the module must link libc++, not libstdc++.
# Run as root (a private mount namespace hides the files; apt-get installs Clang where it is
# missing) after scripts/build_wheel.sh --sdist.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_helpers.sh
say() { printf 'test_portable_sdist: %s\n' "$*"; }

work=$PWD/build/portable-sdist
python=.venv/bin/python
compilers=(CC=clang-16 CXX=clang++-16 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++)

# Inside the private mount namespace: hides every file of libdeflate-dev and GCC's C++ headers
# (/usr/include/c++) behind overlays whose upper layers hold whiteouts, then builds.
if [[ ${1:-} == --build-unseen ]]; then
  sdist=$2
  hidden=$(mktemp -d)
  mount -t tmpfs tmpfs "$hidden"
  { dpkg -L libdeflate-dev 2>/dev/null || true; echo /usr/include/c++; } |
    while read -r path; do
      [[ -e $path && ! -d $path || -L $path || $path == /usr/include/c++ ]] && echo "$path"
    done | sort -u >"$hidden/list"
  for folder in $(xargs -r -n1 dirname <"$hidden/list" | sort -u); do
    layer=$hidden/${folder//\//_}
    mkdir -p "$layer/upper" "$layer/work"
    while read -r path; do
      [[ $(dirname "$path") == "$folder" ]] && mknod "$layer/upper/$(basename "$path")" c 0 0
    done <"$hidden/list"
    mount -t overlay overlay -o "lowerdir=$folder,upperdir=$layer/upper,workdir=$layer/work" "$folder"
  done
  for path in /usr/include/libdeflate.h /usr/include/c++; do
    [[ ! -e $path ]] || { say "$path is still in sight" >&2; exit 1; }
  done
  say "hidden: $(paste -sd ' ' "$hidden/list")"
  env "${compilers[@]}" "$python" -m pip wheel -v --no-build-isolation --no-deps --no-cache-dir \
    -w "$work/raw" -Cbuild-dir="$work/build" "${zel_build_options[@]}" "$sdist" >"$work/build.log" 2>&1 || {
    tail -n 40 "$work/build.log" >&2
    say "the build failed; the whole output is in $work/build.log" >&2
    exit 1
  }
  exit 0
fi

[[ $(id -u) == 0 ]] || { say "run as root: a private mount namespace hides the files" >&2; exit 1; }
sdist=$(echo dist/zel_data_reader-*.tar.gz)
[[ -f $sdist ]] || { say "run scripts/build_wheel.sh --sdist first" >&2; exit 1; }
missing=()
for package in clang-16 libc++-16-dev libc++abi-16-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
fi

rm -rf "$work" && mkdir -p "$work"
say "building $(basename "$sdist") with Clang 16 and libc++ 16, no libdeflate-dev in sight"
unshare --mount --propagation private bash "$0" --build-unseen "$PWD/$sdist"

# What the build found, as its CMake cache records it.
cache=$work/build/CMakeCache.txt
grep -q '^ZEL_FOUND_FROM_CHARS_DOUBLE:INTERNAL=$' "$cache" ||
  { say "the build found std::from_chars for double in libc++ 16: it was not the library meant" >&2; exit 1; }
grep -q '^LIBDEFLATE_INCLUDE_DIR:PATH=LIBDEFLATE_INCLUDE_DIR-NOTFOUND$' "$cache" ||
  { say "the build found an installed libdeflate" >&2; exit 1; }
grep -q 'numbers: fast_float' "$work/build.log" && grep -q 'libdeflate: the copy in third_party' "$work/build.log" ||
  { say "the build log does not show fast_float and the bundled libdeflate" >&2; exit 1; }

wheel=$(echo "$work"/raw/*.whl)
unpacked=$work/unpacked
"$python" -m zipfile -e "$wheel" "$unpacked"
needed=$(objdump -p "$unpacked"/zel_data_reader*.so | awk '/NEEDED/ {print $2}' | paste -sd ' ')
[[ $needed == *libc++.so* && $needed != *libstdc++* && $needed != *libdeflate* ]] ||
  { say "the module needs $needed: not libc++ alone" >&2; exit 1; }
say "built with fast_float and the bundled libdeflate; the module needs $needed"

bash scripts/test_wheel.sh --wheel "$wheel"
