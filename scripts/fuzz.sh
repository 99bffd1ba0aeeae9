#!/usr/bin/env bash
# Builds the `fuzz` preset (libFuzzer, clang 14, ASan and UBSan over the
# portable core) and runs every target in tests/fuzz for the given number of
# seconds each (default 300), starting from its seeds in
# tests/fuzz/corpus/<target>/. What a run adds to the corpus stays in
# build/fuzz/corpus/<target>/, so later runs go on from there; the seeds in
# the repository are never written. Prints one line of figures per target
# and exits non-zero when any target failed; a failing input is kept as
# build/fuzz/artifacts/<target>-crash-... (add it to the seeds once fixed).
#
#   scripts/fuzz.sh [seconds-per-target]      e.g. nice scripts/fuzz.sh 300
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-300}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: scripts/fuzz.sh [seconds-per-target]" >&2; exit 2; }

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

mkdir -p build/fuzz/artifacts build/fuzz/logs
failed=()
for source in tests/fuzz/*.cpp; do
  target=$(basename "$source" .cpp)
  work=build/fuzz/corpus/$target
  log=build/fuzz/logs/$target.log
  mkdir -p "$work"
  status=0
  # One process, no forking: a fault stops the run with the input that
  # caused it. -timeout turns a hang into a failure.
  build/fuzz/targets/"$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/"$target"- "$work" tests/fuzz/corpus/"$target" \
    >"$log" 2>&1 || status=$?
  stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$done_line")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$done_line")
  printf '%-17s %3ss  execs %9s  exec/s %6s  cov %5s  ft %5s  corpus %5s files  new %4s  peak rss %4s MB  %s\n' \
    "$target" "$seconds" "$(stat number_of_executed_units)" "$(stat average_exec_per_sec)" \
    "${cov:-?}" "${ft:-?}" "$(find "$work" -type f | wc -l)" "$(stat new_units_added)" \
    "$(stat peak_rss_mb)" "$( ((status == 0)) && echo ok || echo "FAILED (exit $status)")"
  if ((status != 0)); then
    failed+=("$target")
    grep -E 'ERROR|fuzz check failed|runtime error|Test unit written' "$log" | head -n 5 | sed 's/^/    /'
  fi
done

if ((${#failed[@]} != 0)); then
  echo "fuzzing FAILED: ${failed[*]} (logs in build/fuzz/logs)"
  exit 1
fi
echo "fuzzing: every target ran ${seconds}s without a fault"
