#!/usr/bin/env bash
# Builds the module with the address and undefined-behaviour sanitizers into build/sanitize and
# runs the test suite against that build. Run after scripts/setup.sh (it uses .venv). The
# project's warnings are errors here too, but for -Wmaybe-uninitialized: GCC raises it falsely
# inside std::variant's moves in sanitized code.
set -euo pipefail
cd "$(dirname "$0")/.."

python=.venv/bin/python
build=build/sanitize
"$python" -m cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Wno-maybe-uninitialized" \
  -DPython_EXECUTABLE="$python" >/dev/null
"$python" -m cmake --build "$build" -j 2 >/dev/null

# The tools' package as installed, with its sanitized reader in it, beside the sanitized module.
site=$build/site
rm -rf "$site"
mkdir -p "$site"
cp -r python/zel_data_tools "$site/"
cp "$build"/_engine.*.so "$site/zel_data_tools/"

# The interpreter itself is not instrumented, so the runtimes are preloaded; leak reports would
# be the interpreter's own, not ours.
runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export PYTHONPATH="$site:$build" LD_PRELOAD="$runtimes" ASAN_OPTIONS=detect_leaks=0 ZEL_SANITIZED=1
for module in zel_data_reader zel_data_tools._engine; do
  loaded=$("$python" -c "import $module as m; print(m.__file__)")
  [[ $loaded == "$PWD/$build/"* ]] || { echo "sanitize: $module loaded from $loaded" >&2; exit 1; }
done
"$python" -m pytest -q -p no:cacheprovider tests
