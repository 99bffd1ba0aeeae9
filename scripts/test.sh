#!/usr/bin/env bash
# Runs every test of the project: installs what is missing, builds both
# presets, runs the native unit tests (under AddressSanitizer and
# UndefinedBehaviorSanitizer), every fuzz target briefly, the Wine suite
# against the real tessarin-sandbox.exe and the short kill-anywhere soak,
# checks the release zip and that a second clean build gives the same bytes,
# and lints the workflow. Prints every summary at the end and exits non-zero
# when anything failed.
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

# The release zip holds exactly the stripped exe, the README and their sums,
# and the checksum beside it matches the zip.
check_package() {
  local zips=(build/windows/tessarin-sandbox-*-win64.zip)
  ((${#zips[@]} == 1)) || { echo "expected one release zip, found: ${zips[*]}"; return 1; }
  local unpacked=build/windows/package-check
  rm -rf "$unpacked" && mkdir -p "$unpacked"
  (cd "$(dirname "${zips[0]}")" && sha256sum --quiet -c "$(basename "${zips[0]}").sha256") || return 1
  (cd "$unpacked" && cmake -E tar xf "../$(basename "${zips[0]}")") || return 1
  local listing
  listing=$(cd "$unpacked" && find . -mindepth 1 | LC_ALL=C sort | tr '\n' ' ')
  [[ $listing == "./README.md ./SHA256SUMS ./tessarin-sandbox.exe " ]] ||
    { echo "unexpected zip contents: $listing"; return 1; }
  (cd "$unpacked" && sha256sum --quiet -c SHA256SUMS) || return 1
  cmp -s README.md "$unpacked/README.md" || { echo "the zip's README differs"; return 1; }
  if x86_64-w64-mingw32-objdump -h "$unpacked/tessarin-sandbox.exe" | grep -q '\.debug_'; then
    echo "the zip's exe is not stripped"
    return 1
  fi
  echo "release zip: $(basename "${zips[0]}") ($(stat -c %s "${zips[0]}") bytes), contents and sums check out"
}

# A second build from clean, of the helper alone, gives the same zip byte for
# byte. The first build read the commit's time itself; this one is handed it,
# as a release script would.
check_reproducible() {
  local again=build/windows-repro begun=$SECONDS epoch given=() zip
  epoch=$(git log -1 --format=%ct 2>/dev/null) && given=("SOURCE_DATE_EPOCH=$epoch")
  rm -rf "$again"
  { env "${given[@]}" cmake --preset windows -B "$again" &&
    env "${given[@]}" cmake --build "$again" -j2 --target package; } >>"$logs/package.log" 2>&1 ||
    return 1
  zip=$(basename build/windows/tessarin-sandbox-*-win64.zip)
  cmp "build/windows/$zip" "$again/$zip" ||
    { echo "two clean builds of one commit gave different zips"; return 1; }
  echo "release zip: a second clean build gave the same bytes ($((SECONDS - begun))s)"
}

stage "release package"
package_status=0
rm -f build/windows/tessarin-sandbox-*-win64.zip*
{ env -u SOURCE_DATE_EPOCH cmake --build --preset windows --target package \
  >"$logs/package.log" 2>&1 && check_package && check_reproducible; } ||
  { package_status=1; cat "$logs/package.log"; }

stage "workflow lint"
lint_status=0
/usr/bin/python3 scripts/lint_workflow.py 2>&1 | tee "$logs/lint.log" || lint_status=${PIPESTATUS[0]}

stage "unit tests (ctest)"
unit_status=0
ctest --preset native 2>&1 | tee "$logs/ctest.log" || unit_status=${PIPESTATUS[0]}

stage "fuzzing (12 s per target)"
fuzz_status=0
scripts/fuzz.sh 12 2>&1 | tee "$logs/fuzz.log" || fuzz_status=${PIPESTATUS[0]}

stage "Wine tests (pytest)"
wine_status=0
# Debian's interpreter, which is the one python3-pytest installs into.
(cd tests/wine && /usr/bin/python3 -m pytest -q -rfER -p no:cacheprovider) 2>&1 |
  tee "$logs/pytest.log" || wine_status=${PIPESTATUS[0]}

stage "kill-anywhere soak (short)"
soak_status=0
scripts/soak.sh 2>&1 | tee "$logs/soak.log" || soak_status=${PIPESTATUS[0]}

stage "summary"
echo "release zip: $( ((package_status == 0)) && echo ok || echo FAILED)"
tail -n 1 "$logs/lint.log"
echo "unit tests: $(grep -E 'tests passed|tests failed' "$logs/ctest.log" | tail -n 1 || true)"
echo "Wine tests: $(grep -E '^=*.*\b(passed|failed|error|errors|no tests ran)\b' "$logs/pytest.log" |
  tail -n 1 | sed -E 's/^=+ | =+$//g' || true)"
echo "fuzz targets: $(grep -E '^fuzzing' "$logs/fuzz.log" | tail -n 1 || true)"
echo "soak: $(grep -E '^(grants leaked|leftovers):' "$logs/soak.log" | paste -sd ' ' || true)"
if ((unit_status != 0 || fuzz_status != 0 || wine_status != 0 || soak_status != 0 ||
  package_status != 0 || lint_status != 0)); then
  echo "FAILED (ctest exit $unit_status, fuzzing exit $fuzz_status, pytest exit $wine_status," \
    "soak exit $soak_status, package $package_status, workflow lint exit $lint_status)"
  exit 1
fi
echo "all tests passed in $((SECONDS - started))s"
