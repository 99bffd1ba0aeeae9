#!/usr/bin/env bash
# Kill-anywhere soak of the real helper under Wine (tests/wine/soak.py):
# short by default, every tool call and 200 random instants with --long.
# Needs the windows preset built.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../tests/wine"
exec /usr/bin/python3 soak.py "$@"
