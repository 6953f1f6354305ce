#!/usr/bin/env bash
# Download benchmark: the program's verified parallel group download against curl + md5sum on the same files in
# the same run. Four files (1 GiB and three of 100 MiB) come from the backend stand-in on 127.0.0.1.
#   bench/download/run.sh [rounds]     (default 2 rounds; the best time of each side counts)
# Each round also times the transfer alone (no MD5 on either side), to show where the time goes.
set -u
. "$(dirname "$0")/../../scripts/common.sh"
. "$PL_ROOT/tests/support/wine_env.sh"
pl_install_packages || exit 1
if ! command -v curl >/dev/null; then
  sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends curl || exit 1
fi
pl_build pl_download_bench || exit 1

rounds=${1:-2}
exe="$PL_BUILD/bench/download/pl_download_bench.exe"
state="$PL_BUILD/bench-state"
data="$PL_BUILD/bench-data"
prefix="$PL_BUILD/bench-prefix"
sizes=(1073741824 104857600 104857600 104857600)

finish() {
  wineserver -k 2>/dev/null
  "$PL_ROOT/devserver/devserver.sh" stop "$state"
  rm -rf "$data"
}
trap finish EXIT
mkdir -p "$state" "$data"
"$PL_ROOT/devserver/devserver.sh" start "$state" >/dev/null || exit 1
origin=$(cat "$state/devserver.url")
pl_ensure_prefix "$prefix" || exit 1
pl_wine_environment "$prefix"
wineserver -p 2>/dev/null  # started once, outside the timed part

urls=()
md5s=()
for i in "${!sizes[@]}"; do
  urls+=("$origin/gen/${sizes[$i]}/file$i")
  md5s+=("$(curl -s "$origin/_control/md5?path=/gen/${sizes[$i]}" | sed 's/.*"md5": "\([0-9a-f]*\)".*/\1/')")
done

run_program() {  # [nomd5]: prints seconds; the memory lines stay in $state/program.out
  rm -rf "$data/program"
  mkdir -p "$data/program"
  local args=() i
  for i in "${!urls[@]}"; do args+=("${urls[$i]}" "$([ -n "${1:-}" ] && echo - || echo "${md5s[$i]}")"); done
  wine "$exe" "$(winepath -w "$data/program")" "${args[@]}" >"$state/program.out" 2>&1 </dev/null
  local rc=$?
  rm -rf "$data/program"
  grep -q '^ok=1' "$state/program.out" && [ $rc -eq 0 ] || { cat "$state/program.out" >&2; return 1; }
  tr -d '\r' <"$state/program.out" | sed -n 's/^seconds=//p'
}

run_curl() {  # [nomd5]: each file: curl, then md5sum of it, all four at once
  rm -rf "$data/curl"
  mkdir -p "$data/curl"
  local begin end i failed=0
  begin=$(date +%s%N)
  for i in "${!urls[@]}"; do
    if [ -n "${1:-}" ]; then
      (curl -s -f -o "$data/curl/file$i" "${urls[$i]}" && echo "${md5s[$i]}" >"$data/curl/file$i.md5") &
    else
      (curl -s -f -o "$data/curl/file$i" "${urls[$i]}" && md5sum "$data/curl/file$i" >"$data/curl/file$i.md5") &
    fi
  done
  wait
  end=$(date +%s%N)
  for i in "${!urls[@]}"; do
    [ "$(cut -d' ' -f1 "$data/curl/file$i.md5" 2>/dev/null)" = "${md5s[$i]}" ] || failed=1
  done
  rm -rf "$data/curl"
  [ $failed -eq 0 ] || { echo "curl + md5sum gave a wrong digest" >&2; return 1; }
  awk -v ns=$((end - begin)) 'BEGIN { printf "%.3f\n", ns / 1e9 }'
}

echo "Files: 1 x 1024 MiB + 3 x 100 MiB from the backend stand-in at $origin"
results=()
for round in $(seq 1 "$rounds"); do
  program=$(run_program) || exit 1
  memory=$(tr -d '\r' <"$state/program.out" | sed -n 's/^peak_working_set_mib=//p; s/^peak_private_mib=//p' | xargs)
  curl_time=$(run_curl) || exit 1
  transfer=$(run_program nomd5) || exit 1
  curl_transfer=$(run_curl nomd5) || exit 1
  echo "round $round: verified: program $program s, curl + md5sum $curl_time s;" \
    "transfer only: program $transfer s, curl $curl_transfer s"
  results+=("$program $curl_time $transfer $curl_transfer $memory")
done
printf '%s\n' "${results[@]}" | awk -v mib=1324 '
  NR == 1 || $1 < p { p = $1 }
  NR == 1 || $2 < c { c = $2 }
  NR == 1 || $3 < t { t = $3 }
  NR == 1 || $4 < ct { ct = $4 }
  $5 > ws { ws = $5 }
  $6 > pv { pv = $6 }
  END {
    printf "best verified: program %.2f s (%.0f MiB/s), curl + md5sum %.2f s (%.0f MiB/s)\n", p, mib / p, c, mib / c
    printf "speed relative to curl + md5sum: %.2f (goal: at least 0.80)\n", c / p
    printf "best transfer only: program %.2f s, curl %.2f s, relative speed %.2f\n", t, ct, ct / t
    printf "program peak memory: working set %.1f MiB, private bytes %.1f MiB (goal: under 64 MiB)\n", ws, pv
  }'
