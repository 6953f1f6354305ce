#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) in build/fuzz, replays the saved findings of
# tests/fuzz/regressions/<target>/, then fuzzes each target for SECONDS on its corpus build/fuzz/corpus-<target>
# (seeded from the test fixtures by seeds.py), one target after another. Prints one line per target; a finding
# is saved under build/fuzz/artifacts/<target>/ and the full output under build/fuzz/logs/. Non-zero when a
# target fails to build, a saved finding fails again or a run finds something.
# Usage: tests/fuzz/run.sh SECONDS [target...]
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${PL_FUZZ_BUILD:-$here/../../build/fuzz}
all=(zip_reader inflate ini catalog_json bcdedit_id bitlocker_percent wim_reader http_head)
seconds=${1:?"usage: $0 SECONDS [target...] (targets: ${all[*]})"}
shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all[@]}")

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null || exit 1
programs=()
for target in "${targets[@]}"; do programs+=(--target "fuzz_$target"); done
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" "${programs[@]}" >/dev/null ||
  { cmake --build "$build" -j 1 "${programs[@]}"; exit 1; }
python3 "$here/seeds.py" "$build" "${targets[@]}" || exit 1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/logs"
status=0
for target in "${targets[@]}"; do
  program=$build/fuzz_$target
  log=$build/logs/$target.log
  saved=("$here/regressions/$target"/*)
  if [ -e "${saved[0]}" ] && ! "$program" "${saved[@]}" >"$log.replay" 2>&1; then
    echo "$target: a saved finding fails again (see $log.replay)"
    tail -n 30 "$log.replay"
    status=1
    continue
  fi
  mkdir -p "$build/artifacts/$target"
  "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target/" "$build/corpus-$target" >"$log" 2>&1
  result=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  corpus=$(find "$build/corpus-$target" -type f | wc -l)
  printf '%-18s %10s runs in %ss, corpus %s inputs: %s\n' "$target" "${runs:-?}" "$seconds" "$corpus" \
    "$([ $result -eq 0 ] && echo ok || echo FAILED)"
  if [ $result -ne 0 ]; then
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|artifact_prefix|Test unit written)' "$log" | head -n 10
    status=1
  fi
done
exit $status
