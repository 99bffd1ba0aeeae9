#!/usr/bin/env bash
# Runs every test of the project: installs what is missing, builds both
# presets, runs the native unit tests (under AddressSanitizer and
# UndefinedBehaviorSanitizer), the Wine suite against the real
# tessarin-sandbox.exe and the short kill-anywhere soak. Prints every
# summary at the end and exits non-zero when anything failed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

started=$SECONDS
stage() { printf '\n== %s (%ds)\n' "$1" $((SECONDS - started)); }

stage "dependencies"
scripts/install-deps.sh

stage "native build"
cmake --preset native
cmake --build --preset native -j2

stage "windows build"
cmake --preset windows
cmake --build --preset windows -j2

logs=build/logs
mkdir -p "$logs"

stage "unit tests (ctest)"
unit_status=0
ctest --preset native 2>&1 | tee "$logs/ctest.log" || unit_status=${PIPESTATUS[0]}

stage "Wine tests (pytest)"
wine_status=0
# Debian's interpreter, which is the one python3-pytest installs into.
(cd tests/wine && /usr/bin/python3 -m pytest -q -rfER -p no:cacheprovider) 2>&1 |
  tee "$logs/pytest.log" || wine_status=${PIPESTATUS[0]}

stage "kill-anywhere soak (short)"
soak_status=0
scripts/soak.sh 2>&1 | tee "$logs/soak.log" || soak_status=${PIPESTATUS[0]}

stage "summary"
echo "unit tests: $(grep -E 'tests passed|tests failed' "$logs/ctest.log" | tail -n 1 || true)"
echo "Wine tests: $(grep -E '^=*.*\b(passed|failed|error|errors|no tests ran)\b' "$logs/pytest.log" |
  tail -n 1 | sed -E 's/^=+ | =+$//g' || true)"
echo "soak: $(grep -E '^(grants leaked|leftovers):' "$logs/soak.log" | paste -sd ' ' || true)"
if ((unit_status != 0 || wine_status != 0 || soak_status != 0)); then
  echo "FAILED (ctest exit $unit_status, pytest exit $wine_status, soak exit $soak_status)"
  exit 1
fi
echo "all tests passed in $((SECONDS - started))s"
