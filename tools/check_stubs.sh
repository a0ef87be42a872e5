#!/usr/bin/env bash
# Checks the committed type stub against the records and against the installed module:
#  1. the stub generator, built from the records, writes exactly the committed stub;
#  2. the installed stub-only package and the stub beside the extension are that stub;
#  3. stubtest finds the stub consistent with the module at run time;
#  4. mypy --strict accepts the typed example and rejects each mistake of the mistyped one.
# Run it after the module is installed; PYTHON names the interpreter (default: .venv/bin/python
# when it exists, else python3). With --update it rewrites the committed stub instead of step 1.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-}
if [[ -z $python ]]; then
  if [[ -x .venv/bin/python ]]; then python=$PWD/.venv/bin/python; else python=python3; fi
fi
# cmake may come with the environment's packages.
PATH="$(dirname "$(command -v "$python")"):$PATH"
stub=$PWD/src/zel_data_reader.pyi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { printf 'check_stubs: %s\n' "$*"; }

# 1. Regenerate. The module decides which classes Python can reach: those in its __all__.
cmake -S tools -B "$work/build" -DZEL_WERROR=ON >/dev/null
cmake --build "$work/build" >/dev/null
exposed=$("$python" -c 'import zel_data_reader as m; print(*m.__all__)')
expose=()
for name in $exposed; do expose+=(--expose "$name"); done
"$work/build/stub_generator" "${expose[@]}" >"$work/generated.pyi"
if [[ ${1:-} == --update ]]; then
  cp "$work/generated.pyi" "$stub"
  say "wrote src/zel_data_reader.pyi; reinstall the module before checking it"
  exit 0
fi
if ! diff -u "$stub" "$work/generated.pyi"; then
  say "src/zel_data_reader.pyi is not what the records give; run tools/check_stubs.sh --update"
  exit 1
fi
say "the committed stub is what the records give"

# 2. The installed copies.
site=$("$python" -c 'import pathlib, zel_data_reader as m; print(pathlib.Path(m.__file__).parent)')
for installed in "$site/zel_data_reader-stubs/__init__.pyi" "$site/zel_data_reader.pyi"; do
  if ! cmp -s "$stub" "$installed"; then
    say "$installed is missing or differs from src/zel_data_reader.pyi; reinstall the module"
    exit 1
  fi
done
say "the installed stubs are the committed one"

# 3 and 4 run in an empty folder, so that nothing of the work tree stands in for the installed
# module or its stub.
cd "$work"
"$python" -m mypy.stubtest zel_data_reader

cp "$OLDPWD/examples/typed_usage.py" "$OLDPWD/tools/mistyped_usage.py" .
"$python" -m mypy --strict typed_usage.py

# Every reported error must be one that the file marks on its line, with its code, and the
# reverse: an unmarked error (such as a stub that mypy cannot find) fails as a missing one does.
set +e
"$python" -m mypy --strict --show-error-codes --no-error-summary mistyped_usage.py >mypy.out
status=$?
set -e
grep -n -o '# expect: [a-z-]*$' mistyped_usage.py | sed -E 's/^([0-9]+):# expect: /\1 /' |
  sort >expected
{ grep ': error: ' mypy.out || true; } |
  sed -E 's/^mistyped_usage\.py:([0-9]+): error: .*\[([a-z-]+)\]$/\1 \2/' | sort >found
if [[ $status -ne 1 ]] || ! diff -u expected found; then
  cat mypy.out
  say "mypy --strict did not reject exactly the marked mistakes of mistyped_usage.py"
  exit 1
fi
say "mypy --strict accepts typed_usage.py and rejects each of the $(wc -l <expected) mistakes" \
  "of mistyped_usage.py"
