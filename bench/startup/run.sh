#!/usr/bin/env bash
# Start-up benchmark: from starting pl_host_gui.exe to its environment page being filled (the log line the window
# writes when the start-up result is shown), against the backend stand-in, on a virtual display.
#   bench/startup/run.sh [runs]     (default 5; prints each run, then min and median)
set -u
. "$(dirname "$0")/../../scripts/common.sh"
. "$PL_ROOT/tests/support/wine_env.sh"
pl_install_packages || exit 1
pl_build pl_host_gui pl_guidriver || exit 1

runs=${1:-5}
exe="$PL_BUILD/bin/pl_host_gui.exe"
driver="$PL_BUILD/tests/pl_guidriver.exe"
prefix="$PL_BUILD/bench-prefix"
state="$PL_BUILD/bench-startup-state"
ready_line='[MainWindow] 环境检测结果已显示'

finish() {
  wineserver -k 2>/dev/null
  "$PL_ROOT/devserver/devserver.sh" stop "$state"
  pl_stop_display "$state"
}
trap finish EXIT
mkdir -p "$state"
"$PL_ROOT/devserver/devserver.sh" start "$state" >/dev/null || exit 1
export PL_BACKEND_ORIGIN=$(cat "$state/devserver.url")
pl_ensure_prefix "$prefix" || exit 1
pl_wine_environment "$prefix"
pl_start_display "$state" || exit 1
export DISPLAY=$(cat "$state/display")
wineserver -p 2>/dev/null  # the session is up before the first timed start
wine "$driver" hold-desktop 1 >/dev/null 2>&1
log=$(winepath -u "$(wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')")/PelloraLogs/pl_host_gui.log

times=()
for ((i = 1; i <= runs; i++)); do
  rm -f "$log"
  start=$(date +%s%N)
  wine "$exe" --dry-run >/dev/null 2>&1 &
  program=$!
  until grep -qF "$ready_line" "$log" 2>/dev/null; do
    kill -0 "$program" 2>/dev/null || { echo "run $i: the program ended before its page was filled" >&2; exit 1; }
    sleep 0.01
  done
  end=$(date +%s%N)
  ms=$(((end - start) / 1000000))
  times+=("$ms")
  echo "run $i: ${ms} ms"
  wine "$driver" close-window PlHostGuiMainWindow >/dev/null 2>&1
  wait "$program"
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "start to filled environment page over $runs runs: min ${sorted[0]} ms, median ${sorted[$((runs / 2))]} ms"
