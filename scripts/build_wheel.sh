#!/usr/bin/env bash
# Builds the self-contained wheel of zel-data-reader into dist/: built without build isolation,
# then repaired with auditwheel, which gives it a manylinux tag. libdeflate is linked statically,
# so the wheel needs nothing beyond the platform's C and C++ runtimes; the type stubs are inside.
#
#   scripts/build_wheel.sh            the wheel for .venv's Python (run scripts/setup.sh first:
#                                     this reuses its build folder, so nothing is built twice)
#   scripts/build_wheel.sh PYTHON     the wheel for another interpreter, built in an environment
#                                     of its own, build/wheel-env-<version>
#   scripts/build_wheel.sh --sdist    the source distribution
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build_helpers.sh
say() { printf 'build_wheel: %s\n' "$*"; }
mkdir -p dist

if [[ ${1:-} == --sdist ]]; then
  [[ -x .venv/bin/python ]] || { say "run scripts/setup.sh first" >&2; exit 1; }
  # The backend's own hook, as a build frontend would call it; it prints a banner first.
  sdist=$(.venv/bin/python -c \
    'import scikit_build_core.build as b; print(b.build_sdist("dist"))' | tail -n 1)
  say "dist/$sdist ($(du -k "dist/$sdist" | cut -f1) KiB)"
  exit 0
fi

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
fi

raw=build/wheel-raw
rm -rf "$raw"
zel_build_wheel "$python" "$raw"
built=$(echo "$raw"/*.whl)
# A wheel of an earlier build for this interpreter, under another platform tag, is not left to
# be mistaken for this one.
tag=$(basename "$built" | cut -d- -f3)
rm -f dist/zel_data_reader-*-"$tag"-*.whl
zel_repair_wheel "$built" dist
wheel=$(echo dist/zel_data_reader-*-"$tag"-*.whl)

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
