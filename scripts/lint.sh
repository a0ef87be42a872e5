#!/usr/bin/env bash
# The lint: clang-format (the repository's .clang-format) checks the C++ of src/ and fuzz/, ruff
# (pyproject.toml's [tool.ruff]) the tools and the tests. Changes nothing; exits non-zero on a
# finding. Run after scripts/setup.sh (ruff comes with its `lint` extra into .venv).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "lint: please install: clang-format" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-format
fi

find src fuzz \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z |
  xargs -0 clang-format --dry-run --Werror
.venv/bin/ruff check python/zel_data_tools tests
echo "lint: clang-format and ruff find nothing"
