# shellcheck shell=bash
# Sourced by build_wheel.sh: what building a wheel for an older glibc, or for another
# architecture, needs besides the project's own sources. Everything is kept under build/targets
# and made once:
#   - Zig's C and C++ compilers (the ziglang package), wrapped as cc, c++, ar and ranlib for one
#     target; cmake/zig-toolchain.cmake hands them to CMake;
#   - libdeflate, compiled for the target from the source package of this machine's Debian
#     release, the same version as the libdeflate-dev that the development build uses;
#   - for another architecture, the target's Python and NumPy headers (pyconfig.h and NumPy's
#     configuration headers differ between architectures): Python's from Debian's
#     libpython3.X-dev for that architecture, NumPy's from NumPy's wheel for it.

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

# A private apt configuration under build/debian-apt/<arch> that reads this machine's Debian
# repositories (the same mirrors and keys, with source packages) for the Debian architecture
# `arch`, without changing the system's own; prints the apt-get options that select it.
zel_private_apt() {
  local arch=$1 dir=$PWD/build/debian-apt/$1 codename options
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  options=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/none"
    -o "Dir::State=$dir/state" -o "Dir::Cache=$dir/cache" -o "APT::Architecture=$arch"
    -o "APT::Architectures=$arch" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  if [[ ! -e $dir/updated ]]; then
    mkdir -p "$dir/none" "$dir/state/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/state/status"
    # Debian's own repositories of this release, as the system's apt knows them.
    # shellcheck disable=SC2016  # apt's own placeholders
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' |
      awk -v release="$codename" '$2 ~ "^" release "(-updates|-security)?$" && $3 == "main"' |
      sort -u |
      while read -r uri suite component; do
        for kind in deb deb-src; do
          echo "$kind [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite $component"
        done
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

# Builds libdeflate for `target` into build/targets/<target>/prefix (include/ and lib/), from
# the source package of this machine's Debian release; prints the prefix.
zel_target_libdeflate() {
  local target=$1 tools=$2 prefix=$PWD/build/targets/$1/prefix source=$PWD/build/targets/$1/src
  local options
  if [[ ! -e $prefix/lib/libdeflate.a ]]; then
    mapfile -t options < <(zel_private_apt "$(dpkg --print-architecture)") || return
    rm -rf "$source" && mkdir -p "$source" || return
    # apt-get source checks the package against the signed index; dpkg-source unpacks it with
    # Debian's patches applied.
    (cd "$source" && apt-get "${options[@]}" source -q libdeflate) >&2 || return
    local unpacked
    unpacked=$(find "$source" -mindepth 1 -maxdepth 1 -type d -name 'libdeflate-*' | head -n 1)
    # Only the library, with upstream's own flags; position-independent, since it is linked into
    # a shared module.
    make -C "$unpacked" -j2 libdeflate.a CC="$tools/cc" AR="$tools/ar" \
      CFLAGS="-O2 -fPIC -ffp-contract=off" >&2 || return
    mkdir -p "$prefix/include" "$prefix/lib"
    cp "$unpacked/libdeflate.h" "$prefix/include/"
    cp "$unpacked/libdeflate.a" "$prefix/lib/"
  fi
  echo "$prefix"
}

# Unpacks (once) the Python and NumPy headers of CPython `version` (3.11) for the architecture
# `arch` into build/targets/<target>/headers; prints two lines: Python's include folder and
# NumPy's. `python` is the build's interpreter, whose NumPy version the headers match.
zel_target_python_headers() {
  local target=$1 arch=$2 version=$3 python=$4 dir=$PWD/build/targets/$1/headers
  local debian_arch options numpy_version
  debian_arch=$(zel_debian_arch_of "$arch") || return
  if [[ ! -e $dir/complete ]]; then
    rm -rf "$dir" && mkdir -p "$dir/debs" "$dir/unpacked" "$dir/numpy" || return
    mapfile -t options < <(zel_private_apt "$debian_arch") || return
    (cd "$dir/debs" && apt-get "${options[@]}" download -q "libpython$version-dev:$debian_arch") >&2 ||
      return
    dpkg-deb -x "$dir"/debs/libpython"$version"-dev_*.deb "$dir/unpacked" || return
    # Debian's pyconfig.h only includes the one of each architecture from a folder beside it:
    # the target's takes its place, so that one include folder serves.
    cp "$dir/unpacked/usr/include/$arch-linux-gnu/python$version/pyconfig.h" \
      "$dir/unpacked/usr/include/python$version/pyconfig.h" || return
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
