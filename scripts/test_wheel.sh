#!/usr/bin/env bash
# Tests a wheel as users get it, as cibuildwheel's test step does: installed from wheels alone
# (no build step) into a fresh virtual environment, its module checked to load no libdeflate of
# the system, and the test suite run from outside the source tree against the installed package.
#
#   scripts/test_wheel.sh [--python PYTHON] [--wheel FILE] [--with REQUIREMENT]...
#
# PYTHON defaults to $PYTHON or python3, as for scripts/setup.sh; FILE to the wheel in dist/ for
# that interpreter (scripts/build_wheel.sh makes it); each --with installs one more requirement
# beside it, such as the oldest NumPy the package supports.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The optional extras the test suite needs.
extras="test"

python=${PYTHON:-python3}
wheel=
with=()
while (($#)); do
  case $1 in
    --python) python=$2 ;;
    --wheel) wheel=$2 ;;
    --with) with+=("$2") ;;
    *) echo "test_wheel: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
if [[ -z $wheel ]]; then
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls dist/zel_data_reader-*-"$tag"-"$tag"-*"$(uname -m)".whl 2>/dev/null || true)
  [[ -n $wheel ]] || { echo "test_wheel: no $tag wheel in dist/" >&2; exit 1; }
fi
wheel=$(realpath "$wheel")
say() { printf 'test_wheel: %s\n' "$*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$python" -m venv venv
venv/bin/python -m pip install -q --only-binary :all: "${wheel}[${extras}]" "${with[@]}"

# The module must come from the fresh environment, not from a build in the work tree.
module=$(venv/bin/python -c 'import zel_data_reader as m; print(m.__file__)')
site=$(venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
[[ $module == "$site"/* ]] || { say "zel_data_reader came from $module, not $site" >&2; exit 1; }

# What the dynamic linker loads for it: everything found, and any libdeflate from the wheel.
loads=$(ldd "$module")
if grep -q 'not found' <<<"$loads"; then
  say "the module needs libraries the system lacks:" >&2
  echo "$loads" >&2
  exit 1
fi
if grep -i 'libdeflate' <<<"$loads" | grep -v -q "=> $site/"; then
  say "the module loads the system's libdeflate:" >&2
  echo "$loads" >&2
  exit 1
fi
say "$(basename "$wheel") in $(venv/bin/python --version) with" \
  "$(venv/bin/python -c 'import numpy; print("NumPy", numpy.__version__)'); the module loads" \
  "$(awk '{print $1}' <<<"$loads" | grep -v -e '^linux-vdso' -e '^/' | paste -sd ' ')"

# Its own temporary folder: other wheels may be tested beside it.
venv/bin/python -m pytest -q -p no:cacheprovider --basetemp "$work/pytest" "$root/tests"
