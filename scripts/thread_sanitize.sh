#!/usr/bin/env bash
# Builds the tools' reader with the thread sanitizer into build/tsan and runs its threaded tests
# against that build: many Python threads reading one file, each read on several threads. Run
# after scripts/setup.sh (it uses .venv). Warnings are silenced, as in sanitize.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

python=.venv/bin/python
build=build/tsan
"$python" -m cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer -w" \
  -DPython_EXECUTABLE="$python" >/dev/null
"$python" -m cmake --build "$build" -j 2 --target zel_engine >/dev/null

# The package as installed, with the sanitized reader in it, first on the path.
site=$build/site
rm -rf "$site"
mkdir -p "$site"
cp -r python/zel_data_tools "$site/"
cp "$build"/_engine.*.so "$site/zel_data_tools/"

# The interpreter is not instrumented, so the runtime is preloaded; its locks are seen all the
# same, since the runtime intercepts the thread library's calls.
export PYTHONPATH="$site" LD_PRELOAD="$(g++ -print-file-name=libtsan.so)"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66"
loaded=$("$python" -c 'import zel_data_tools._engine as e; print(e.__file__)')
[[ $loaded == "$PWD/$site/"* ]] || { echo "thread_sanitize: loaded $loaded" >&2; exit 1; }
# The error order across segments is decided by threads racing to fail first; fork after
# threads is left out, which the thread sanitizer does not support.
"$python" -m pytest -q -p no:cacheprovider tests/tools/test_tools_engine.py \
  tests/tools/test_tools_read_faults.py \
  -k "(threads or first_in_order or ctrl_c or first_failing_segment) and not forked"
# Reads of fetched bytes (files behind URLs, served by nginx on loopback) on several threads,
# decoded while later ranges are still being fetched.
"$python" -m pytest -q -p no:cacheprovider tests/tools/test_tools_remote.py \
  -k "damaged or values_over_http or in_flight"
