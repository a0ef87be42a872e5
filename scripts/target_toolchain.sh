# shellcheck shell=bash
# Sourced by build_wheel.sh: what building a wheel for an older glibc, or for another
# architecture, needs besides the project's own sources. Everything is kept under build/targets
# and made once:
#   - Zig's C and C++ compilers (the ziglang package), wrapped as cc, c++, ar and ranlib for one
#     target; cmake/zig-toolchain.cmake hands them to CMake;
#   - for another architecture, the target's Python and NumPy headers (pyconfig.h and NumPy's
#     configuration headers differ between architectures): Python's from Debian's
#     libpython3.X-dev for that architecture, of the release that ships that Python, NumPy's
#     from NumPy's wheel for it.
# libdeflate is no part of this: the wheels build the copy in third_party/libdeflate.

# The oldest glibc the wheels run on: the one of the RHEL 8 family, as NumPy's own wheels.
zel_glibc=2.28
zel_ziglang_requirement="ziglang>=0.17,<0.18"

# Zig's target name for a CPU architecture (x86_64 or aarch64).
zel_target_of() { echo "$1-linux-gnu.$zel_glibc"; }

# Debian's name for a CPU architecture.
zel_debian_arch_of() {
  case $1 in
    x86_64) echo amd64 ;;
    aarch64) echo arm64 ;;
    *) echo "target_toolchain: no Debian architecture known for $1" >&2; return 1 ;;
  esac
}

# Writes the compiler wrappers for `target` into build/targets/<target>/bin; prints the folder.
zel_target_tools() {
  local target=$1 tools=build/targets/$1/bin zig tool
  if [[ ! -x build/wheel-tools/bin/python ]]; then
    python3 -m venv build/wheel-tools >&2 || return
  fi
  build/wheel-tools/bin/python -c 'import ziglang' 2>/dev/null ||
    build/wheel-tools/bin/python -m pip install -q "$zel_ziglang_requirement" >&2 || return
  zig=$(build/wheel-tools/bin/python -c \
    'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  [[ -x $zig ]] || { echo "target_toolchain: no zig in the ziglang package" >&2; return 1; }
  mkdir -p "$tools"
  # Zig's cache (the C++ runtime it builds once per target, a minute each) stays in build/.
  local cache=$PWD/build/zig-cache
  for tool in cc c++ ar ranlib; do
    # The compilers get the target here too, so that a compiler check that bypasses CMake's
    # target option still builds for the target.
    {
      printf '#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR="%s" ZIG_LOCAL_CACHE_DIR="%s"\n' "$cache" "$cache"
      case $tool in
        cc | c++) printf 'exec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" ;;
        *) printf 'exec "%s" %s "$@"\n' "$zig" "$tool" ;;
      esac
    } >"$tools/$tool"
    chmod +x "$tools/$tool"
  done
  echo "$PWD/$tools"
}

# The Debian release that ships CPython `version` (3.9, 3.11 or 3.13) as its python3: the
# aarch64 wheels are made for those versions, with that release's headers, and tested there.
zel_debian_release_of_python() {
  case $1 in
    3.9) echo bullseye ;;
    3.11) echo bookworm ;;
    3.13) echo trixie ;;
    *) echo "target_toolchain: no Debian release ships Python $1 as its python3" >&2; return 1 ;;
  esac
}

# A private apt configuration under build/debian-apt/<release>-<arch> that reads Debian's
# repository of `release` (this machine's mirror, checked with the system's archive keys) for
# the Debian architecture `arch`, without changing the system's own; prints the apt-get options
# that select it. The release's own suite alone: its point releases change no header that a
# build reads, and a mirror may lack the files of an update that its index already names.
zel_private_apt() {
  local arch=$1 release=$2 dir=$PWD/build/debian-apt/$2-$1 codename options
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  options=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/none"
    -o "Dir::State=$dir/state" -o "Dir::Cache=$dir/cache" -o "APT::Architecture=$arch"
    -o "APT::Architectures=$arch" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  if [[ ! -e $dir/updated ]]; then
    mkdir -p "$dir/none" "$dir/state/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/state/status"
    # Debian's repository as the system's apt knows it for its own release, with the wanted
    # release's name in place of its own.
    # shellcheck disable=SC2016  # apt's own placeholders
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' |
      awk -v release="$codename" '$2 == release && $3 == "main" {print $1}' | sort -u |
      while read -r uri; do
        echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $release main"
      done >"$dir/sources.list"
    [[ -s $dir/sources.list ]] || {
      echo "target_toolchain: no Debian $codename repository in the system's apt sources" >&2
      return 1
    }
    apt-get "${options[@]}" update -q >&2 || return
    touch "$dir/updated"
  fi
  printf '%s\n' "${options[@]}"
}

# Unpacks (once) the Python and NumPy headers of CPython `version` (3.9, 3.11 or 3.13) for the
# architecture `arch` into build/targets/<target>/headers-<version>; prints two lines: Python's include folder and
# NumPy's. `python` is the build's interpreter, whose NumPy version the headers match.
zel_target_python_headers() {
  local target=$1 arch=$2 version=$3 python=$4 dir=$PWD/build/targets/$1/headers-$3
  local debian_arch options numpy_version release
  debian_arch=$(zel_debian_arch_of "$arch") || return
  if [[ ! -e $dir/complete ]]; then
    rm -rf "$dir" && mkdir -p "$dir/debs" "$dir/unpacked" "$dir/numpy" || return
    release=$(zel_debian_release_of_python "$version") || return
    mapfile -t options < <(zel_private_apt "$debian_arch" "$release") || return
    (cd "$dir/debs" && apt-get "${options[@]}" download -q "libpython$version-dev:$debian_arch") >&2 ||
      return
    dpkg-deb -x "$dir"/debs/libpython"$version"-dev_*.deb "$dir/unpacked" || return
    # Debian's pyconfig.h only includes the one of each architecture from a folder beside it:
    # the target's takes its place, so that one include folder serves.
    cp "$dir/unpacked/usr/include/$arch-linux-gnu/python$version/pyconfig.h" \
      "$dir/unpacked/usr/include/python$version/pyconfig.h" || return
    # Python.h before 3.11 includes <crypt.h> where the release had it, which Zig's C library
    # leaves out: the release's own, from libcrypt-dev, goes beside Python.h.
    if grep -q '^#define HAVE_CRYPT_H 1' "$dir/unpacked/usr/include/python$version/pyconfig.h"; then
      (cd "$dir/debs" && apt-get "${options[@]}" download -q "libcrypt-dev:$debian_arch") >&2 ||
        return
      dpkg-deb -x "$dir"/debs/libcrypt-dev_*.deb "$dir/crypt" || return
      cp "$dir/crypt/usr/include/crypt.h" "$dir/unpacked/usr/include/python$version/" || return
    fi
    numpy_version=$("$python" -c 'import numpy; print(numpy.__version__)') || return
    "$python" -m pip download -q --no-deps --only-binary :all: -d "$dir/numpy" \
      --platform "manylinux_2_28_$arch" --platform "manylinux2014_$arch" \
      --python-version "$version" --implementation cp "numpy==$numpy_version" >&2 || return
    "$python" -m zipfile -e "$dir"/numpy/numpy-*.whl "$dir/numpy/unpacked" || return
    touch "$dir/complete"
  fi
  echo "$dir/unpacked/usr/include/python$version"
  echo "$dir/numpy/unpacked/numpy/_core/include"
}
