#!/usr/bin/env bash
# Builds tessarin-sandbox.exe and shows it at its main job under Wine, in a
# scratch install directory with whatever stand-ins for Windows' own tools
# have been built beside it: status, setup, status again, and one run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh >/dev/null
echo "building the windows preset..."
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 >/dev/null
exec /usr/bin/python3 scripts/demo.py "$@"
