#!/usr/bin/env bash
# Looks into the bundled sample file with the zel tool and draws one of its channels.
#
#     bash examples/show_sample.sh [PICTURE]
#
# Run it after scripts/setup.sh, which installs the tool into .venv. The picture goes to
# PICTURE, by default build/sample-gauge.png (build/ is ignored by git).
set -euo pipefail
cd "$(dirname "$0")/.."

zel=.venv/bin/zel
picture=${1:-build/sample-gauge.png}
mkdir -p "$(dirname "$picture")"

"$zel" info examples/sample.zel
echo
"$zel" plot examples/sample.zel gauge --unit millivolt -o "$picture"
echo "The picture is at $(realpath "$picture"): open it with any image viewer."
