#!/usr/bin/env bash
# Tests the manylinux wheels on the systems they are meant for, each in a Debian root kept under
# build/roots (a second run reuses them):
#   - the x86_64 wheel for Python 3.9 on Debian 11 (glibc 2.31, its Python 3.9), the test suite
#     run there from outside the source tree;
#   - the aarch64 wheel for Python 3.11 on Debian 12 for arm64, run through qemu-user-static,
#     with the same tests;
#   - the aarch64 wheels for Python 3.9 on Debian 11 and for Python 3.13 on Debian 13 for arm64,
#     in small roots of those releases' own interpreter and C library (scripts/debian_root.sh,
#     zel_small_root), where the arrays alone are read;
# and compares what each read from the sample file and from an archive of random values: the
# SHA-256 digest of every array, in every channel, segment and unit (scripts/array_digests.py),
# must be the same on both architectures and in the development build of this machine.
# Run as root (debootstrap, chroot and mounts need it) after scripts/build_wheel.sh --all.
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
arm39_wheel=$(wheel_for cp39 aarch64)
arm313_wheel=$(wheel_for cp313 aarch64)

say "host packages"
zel_root_host_packages
started=$SECONDS
mkdir -p build/roots
trap 'zel_unmount_below build/roots' EXIT
say "Debian 11 root for amd64"
x86_root=$(zel_debian_root bullseye amd64)
say "Debian 12 root for arm64 (run through qemu)"
arm_root=$(zel_debian_root bookworm arm64)
say "small roots of Debian 11 and Debian 13 for arm64"
arm11_root=$(zel_small_root bullseye arm64)
arm13_root=$(zel_small_root trixie arm64)
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

# In a small root, which has no pip: the wheel and NumPy's newest wheel for the root's Python and
# architecture unpacked on this machine into one folder on the interpreter's path; then the
# digests, into build/elsewhere/<name>.digests.
digests_in_small_root() {
  local root=$1 wheel=$2 name=$3 arch=$4 started=$SECONDS version site
  version=$(zel_in_root "$root" python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  site=$data/site-$name
  .venv/bin/python -m pip download -q --no-deps --only-binary :all: -d "$site/wheels" \
    --platform "manylinux_2_28_$arch" --platform "manylinux2014_$arch" \
    --python-version "$version" --implementation cp numpy
  for unpacked in "dist/$wheel" "$site"/wheels/numpy-*.whl; do
    .venv/bin/python -m zipfile -e "$unpacked" "$site/packages"
  done
  say "$name: $(zel_in_root "$root" env PYTHONPATH="/mnt/zel/$site/packages" python3 -c '
import platform, numpy, zel_data_reader
print(platform.machine(), "glibc", platform.libc_ver()[1], "Python", platform.python_version(),
      "NumPy", numpy.__version__, "module from", zel_data_reader.__file__)')"
  zel_in_root "$root" env PYTHONPATH="/mnt/zel/$site/packages" python3 \
    /mnt/zel/scripts/array_digests.py /mnt/zel/$data/sample.zel /mnt/zel/$data/random.zel \
    >"$data/$name.digests" || return
  say "$name: done in $((SECONDS - started)) s"
}

# Natively, the tools' extras too; through qemu, which is slower, the test extra alone. The roots
# have no web server, so the remote reads (Python above the same core) are tested on this machine.
remote_tests=--ignore=/mnt/zel/tests/tools/test_tools_remote.py
# The x86_64 root's tests run beside the arm64 one's, which qemu keeps on one core; the x86_64
# output is shown when both have ended.
test_in_root "$x86_root" "$x86_wheel" debian11-x86_64 test,all "$remote_tests" \
  >"$data/debian11-x86_64.log" 2>&1 &
x86_tests=$!
# qemu accepts a limit on the address space (RLIMIT_AS) but does not enforce it, since its own
# allocations would fail under it: the tests that run out of memory on purpose cannot run there.
test_in_root "$arm_root" "$arm_wheel" debian12-aarch64 test "$remote_tests" -k "not \
test_out_of_memory_midway_releases_what_was_built and not \
test_memory_running_out_while_the_header_is_read_or_parsed_is_an_os_error and not \
test_memory_running_out_with_the_lock_released_is_an_exception and not \
test_an_index_out_of_memory_is_an_error_and_nothing_else" || arm_status=$?
x86_status=0
wait "$x86_tests" || x86_status=$?
cat "$data/debian11-x86_64.log"
((${arm_status:-0} == 0 && x86_status == 0)) ||
  { say "the tests failed in a root (arm64: exit ${arm_status:-0}, x86_64: exit $x86_status)" >&2; exit 1; }
digests_in_small_root "$arm11_root" "$arm39_wheel" debian11-aarch64 aarch64
digests_in_small_root "$arm13_root" "$arm313_wheel" debian13-aarch64 aarch64
.venv/bin/python scripts/array_digests.py "$data/sample.zel" "$data/random.zel" \
  >"$data/development.digests"

count=$(wc -l <"$data/development.digests")
for name in debian11-x86_64 debian12-aarch64 debian11-aarch64 debian13-aarch64; do
  if ! diff -u "$data/development.digests" "$data/$name.digests" >&2; then
    say "the arrays read on $name differ from the development build's (above)" >&2
    exit 1
  fi
done
grep -q ' error ' "$data/development.digests" && say "note: some reads failed alike everywhere"
say "$count digests (header, channels, segments, units) the same on x86_64 and aarch64," \
  "in Debian 11, 12 and 13:"
sed 's/^/  /' "$data/debian12-aarch64.digests"
