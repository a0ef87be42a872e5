#!/usr/bin/env bash
# Tests the manylinux wheels on the systems they are meant for, each in a Debian root made with
# debootstrap and kept under build/roots (a second run reuses them):
#   - the x86_64 wheel for Python 3.9 on Debian 11 (glibc 2.31, its Python 3.9), the test suite
#     run there from outside the source tree;
#   - the aarch64 wheel for Python 3.11 on Debian 12 for arm64, run through qemu-user-static,
#     with the same tests;
# and compares what both read from the sample file and from an archive of random values: the
# SHA-256 digest of every array, in every channel, segment and unit (scripts/array_digests.py),
# must be the same on both architectures and in the development build of this machine.
# Run as root (debootstrap, chroot and mounts need it) after the wheels are built:
#   scripts/build_wheel.sh PYTHON3.9 and scripts/build_wheel.sh --arch aarch64
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian_root.sh
say() { printf 'test_wheels_elsewhere: %s\n' "$*"; }
[[ $(id -u) == 0 ]] || { say "run as root: debootstrap, chroot and mounts need it" >&2; exit 1; }

wheel_for() {
  local found
  found=$(find dist -name "zel_data_reader-*-$1-$1-*$2.whl" | head -n 1)
  [[ -n $found ]] || { say "no $1 wheel for $2 in dist/: run scripts/build_wheel.sh first" >&2; return 1; }
  basename "$found"
}
x86_wheel=$(wheel_for cp39 x86_64)
arm_wheel=$(wheel_for cp311 aarch64)

say "host packages"
zel_root_host_packages
started=$SECONDS
mkdir -p build/roots
trap 'zel_unmount_below build/roots' EXIT
say "Debian 11 root for amd64"
x86_root=$(zel_debian_root bullseye amd64)
say "Debian 12 root for arm64 (run through qemu)"
arm_root=$(zel_debian_root bookworm arm64)
say "roots ready in $((SECONDS - started)) s"

# The same random archive for both, written here with zipfile; its seed is printed.
data=build/elsewhere
rm -rf "$data" && mkdir -p "$data"
.venv/bin/python scripts/write_random_archive.py "$data/random.zel"
cp examples/sample.zel "$data/"

# The source tree (its tests, the wheels in dist/, the archives in build/elsewhere), read-only
# inside each root; its .venv, whose programs name this machine's interpreter, hidden there.
mkdir -p "$data/nothing"
export ZEL_ROOT_BINDS="$PWD:/mnt/zel $PWD/$data/nothing:/mnt/zel/.venv"

# Installs `wheel` with the test extra into the root's environment from wheels alone, replacing
# an earlier install of the package, and runs the tests from outside the source tree; then the
# digests, into build/elsewhere/<name>.digests.
# Further arguments go to pytest.
test_in_root() {
  local root=$1 wheel=$2 name=$3 extras=$4 started=$SECONDS
  shift 4
  say "$name: install ${wheel}[${extras}]"
  zel_in_root "$root" sh -c "
    /venv/bin/python -m pip uninstall -q -y zel-data-reader 2>/dev/null
    /venv/bin/python -m pip install -q --only-binary :all: '/mnt/zel/dist/${wheel}[${extras}]'" ||
    return
  say "$name: $(zel_in_root "$root" /venv/bin/python -c '
import platform, numpy, zel_data_reader
print(platform.machine(), "glibc", platform.libc_ver()[1], "Python", platform.python_version(),
      "NumPy", numpy.__version__, "module from", zel_data_reader.__file__)')"
  zel_in_root "$root" sh -c 'cd /tmp && /venv/bin/python -m pytest -q -p no:cacheprovider "$@" \
    /mnt/zel/tests' pytest "$@" || return
  zel_in_root "$root" /venv/bin/python /mnt/zel/scripts/array_digests.py \
    /mnt/zel/$data/sample.zel /mnt/zel/$data/random.zel >"$data/$name.digests" || return
  say "$name: done in $((SECONDS - started)) s"
}

# Natively, the tools' extras too; through qemu, which is slower, the test extra alone.
test_in_root "$x86_root" "$x86_wheel" debian11-x86_64 test,all
# qemu accepts a limit on the address space (RLIMIT_AS) but does not enforce it, since its own
# allocations would fail under it: the tests that run out of memory on purpose cannot run there.
test_in_root "$arm_root" "$arm_wheel" debian12-aarch64 test -k "not \
test_out_of_memory_midway_releases_what_was_built and not \
test_memory_running_out_while_the_header_is_read_or_parsed_is_an_os_error"
.venv/bin/python scripts/array_digests.py "$data/sample.zel" "$data/random.zel" \
  >"$data/development.digests"

count=$(wc -l <"$data/development.digests")
for name in debian11-x86_64 debian12-aarch64; do
  if ! diff -u "$data/development.digests" "$data/$name.digests" >&2; then
    say "the arrays read on $name differ from the development build's (above)" >&2
    exit 1
  fi
done
grep -q ' error ' "$data/development.digests" && say "note: some reads failed alike everywhere"
say "$count digests (header, channels, segments, units) the same on x86_64 and aarch64:"
sed 's/^/  /' "$data/debian12-aarch64.digests"
