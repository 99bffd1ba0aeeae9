#!/usr/bin/env bash
# Prints the helper's process counts, timings, memory and size figures under
# Wine (see bench.py). An optional argument sets the number of timed pairs.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/install-deps.sh >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 >/dev/null
exec /usr/bin/python3 scripts/bench.py "$@"
