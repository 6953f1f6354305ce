#!/usr/bin/env bash
# Download benchmark: the program's verified download (ranges over 4 connections, MD5 while receiving) against
# curl + md5sum and aria2c with 4 connections + md5sum, in the same run, on files served by nginx from Debian on
# 127.0.0.1: once limited to 20 MB/s per connection (limit_rate 20m, as many mirrors and CDNs do) and once
# unlimited; then one file from a server that takes no ranges (max_ranges 0), which the program fetches as one
# stream.
#   bench/download/run.sh [--single-size SIZE] [--single-only] [size ...]
# Sizes are bytes, or a whole number with K, M or G (KiB, MiB, GiB): the ranged files default to 1G and 5G, the
# file without ranges to 200M (--single-size 0 leaves it out; --single-only measures only that one).
# Prints each time, the speed ratios, how many attempts the program needed and its peak memory. Nothing here is
# part of the test command; nginx and aria2 are installed for it alone.
set -u

bytes_of() {  # SIZE: prints the bytes of "123", "200M", "1G" (K, M, G are KiB, MiB, GiB); fails otherwise
  local size=$1 unit=1
  case "$size" in
    *[kK]) unit=1024 ;;
    *[mM]) unit=1048576 ;;
    *[gG]) unit=1073741824 ;;
  esac
  [ "$unit" -eq 1 ] || size=${size%?}
  [[ "$size" =~ ^[0-9]+$ ]] || return 1
  echo $((10#$size * unit))
}

single_size=200M
single_only=0
sizes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --single-size) single_size=${2:-}; shift 2 || { echo "--single-size needs a size" >&2; exit 2; } ;;
    --single-only) single_only=1; shift ;;
    *) sizes+=("$1"); shift ;;
  esac
done
[ ${#sizes[@]} -gt 0 ] || sizes=(1G 5G)
[ $single_only -eq 0 ] || sizes=()
for i in "${!sizes[@]}"; do
  sizes[$i]=$(bytes_of "${sizes[$i]}") || {
    echo "run.sh: '${sizes[$i]}' is no size: give bytes, or a whole number with K, M or G (for KiB, MiB, GiB)" >&2
    exit 2
  }
done
single=$(bytes_of "$single_size") || {
  echo "run.sh: '$single_size' is no size: give bytes, or a whole number with K, M or G (for KiB, MiB, GiB)" >&2
  exit 2
}

. "$(dirname "$0")/../../scripts/common.sh"
. "$PL_ROOT/tests/support/wine_env.sh"
pl_install_packages || exit 1
bench_packages=(nginx aria2 curl)
missing=()
for package in "${bench_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" || exit 1
fi
pl_build pl_download_bench || exit 1

exe="$PL_BUILD/bench/download/pl_download_bench.exe"
state="$PL_BUILD/bench-state"
www="$PL_BUILD/bench-www"
data="$PL_BUILD/bench-data"
prefix="$PL_BUILD/bench-prefix"

finish() {
  [ -f "$state/nginx.pid" ] && kill "$(cat "$state/nginx.pid")" 2>/dev/null
  wineserver -k 2>/dev/null
  rm -rf "$data" "$www"
}
trap finish EXIT
rm -rf "$state" "$data" "$www"
mkdir -p "$state/tmp" "$data" "$www"

# The files: byte i is i % 251, as the stand-in's generated files; their MD5s are computed while writing them.
declare -A md5s
all_sizes=("${sizes[@]}")
[ "$single" -gt 0 ] && all_sizes+=("$single")
for size in $(printf '%s\n' "${all_sizes[@]}" | sort -un); do
  md5s[$size]=$(/usr/bin/python3 - "$www/$size.bin" "$size" <<'PY'
import hashlib, sys
path, size = sys.argv[1], int(sys.argv[2])
block = bytes(i % 251 for i in range(251 * 4178))  # 1048678 bytes, a whole number of periods
digest = hashlib.md5()
with open(path, "wb") as f:
    left = size
    while left:
        piece = block[:min(left, len(block))]
        f.write(piece)
        digest.update(piece)
        left -= len(piece)
print(digest.hexdigest())
PY
  ) || exit 1
done

ports=($(/usr/bin/python3 -c 'import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])'))
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root;"
cat >"$state/nginx.conf" <<CONF
$user_line
worker_processes 2;
error_log $state/nginx-error.log;
pid $state/nginx.pid;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  default_type application/octet-stream;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  server { listen 127.0.0.1:${ports[0]}; root $www; }
  server { listen 127.0.0.1:${ports[1]}; root $www; limit_rate 20m; }
  server { listen 127.0.0.1:${ports[2]}; root $www; max_ranges 0; }
}
CONF
nginx -c "$state/nginx.conf" -p "$state" || exit 1
pl_ensure_prefix "$prefix" || exit 1
pl_wine_environment "$prefix"
wineserver -p 2>/dev/null  # started once, outside the timed part

elapsed() {  # command...: runs it, prints the seconds it took; fails with it
  local begin end
  begin=$(date +%s%N)
  "$@" || return 1
  end=$(date +%s%N)
  awk -v ns=$((end - begin)) 'BEGIN { printf "%.2f\n", ns / 1e9 }'
}

check_md5() {  # file md5
  [ "$(md5sum "$1" | cut -d' ' -f1)" = "$2" ]
}

run_program() {  # url md5: prints seconds; the other lines stay in $state/program.out
  rm -rf "$data/program" && mkdir -p "$data/program"
  wine "$exe" "$(winepath -w "$data/program")" "$1" "$2" >"$state/program.out" 2>&1 </dev/null
  local rc=$?
  rm -rf "$data/program"
  tr -d '\r' <"$state/program.out" >"$state/program.txt"
  grep -q '^ok=1' "$state/program.txt" && [ $rc -eq 0 ] || { cat "$state/program.txt" >&2; return 1; }
  sed -n 's/^seconds=//p' "$state/program.txt" | xargs printf '%.2f\n'
}

run_curl() {  # url md5
  rm -rf "$data/curl" && mkdir -p "$data/curl"
  curl -s -f -o "$data/curl/file" "$1" && check_md5 "$data/curl/file" "$2"
  local rc=$?
  rm -rf "$data/curl"
  return $rc
}

run_aria2() {  # url md5
  rm -rf "$data/aria2" && mkdir -p "$data/aria2"
  aria2c -q -x4 -s4 --file-allocation=none --allow-overwrite=true --auto-file-renaming=false \
    -d "$data/aria2" -o file "$1" && check_md5 "$data/aria2/file" "$2"
  local rc=$?
  rm -rf "$data/aria2"
  return $rc
}

measure() {  # label url size: one row
  local label=$1 url=$2 size=$3 mib=$(($3 / 1048576)) ours attempts memory cpu curl_time aria2_time
  ours=$(run_program "$url" "${md5s[$size]}") || exit 1
  attempts=$(( $(sed -n 's/^failed_attempts=//p' "$state/program.txt") + 1 ))
  memory=$(sed -n 's/^peak_working_set_mib=//p; s/^peak_private_mib=//p' "$state/program.txt" | xargs)
  cpu=$(sed -n 's/^cpu_seconds=//p' "$state/program.txt")
  curl_time=$(elapsed run_curl "$url" "${md5s[$size]}") || { echo "curl + md5sum failed" >&2; exit 1; }
  aria2_time=$(elapsed run_aria2 "$url" "${md5s[$size]}") || { echo "aria2c + md5sum failed" >&2; exit 1; }
  echo "$label, $mib MiB: program $ours s ($attempts attempt(s), ${cpu} s of CPU), curl + md5sum $curl_time s," \
    "aria2c -x4 + md5sum $aria2_time s"
  awk -v o="$ours" -v c="$curl_time" -v a="$aria2_time" -v m="$mib" -v mem="$memory" 'BEGIN {
    split(mem, w, " ")
    printf "  program %.0f MiB/s; speed against curl + md5sum %.2f, against aria2c + md5sum %.2f;", m / o, c / o, a / o
    printf " peak memory: working set %.1f MiB, private %.1f MiB\n", w[1], w[2]
  }'
}

echo "nginx $(nginx -v 2>&1 | sed 's|.*/||'), aria2 $(aria2c --version | head -1 | sed 's/.* //'), $(curl --version | head -1 | cut -d' ' -f1-2)"
for limit in 1 0; do
  port=${ports[$limit]}
  label=$([ $limit -eq 1 ] && echo "limited to 20 MB/s per connection" || echo "no limit")
  for size in "${sizes[@]}"; do
    measure "$label" "http://127.0.0.1:$port/$size.bin" "$size"
  done
done
[ "$single" -gt 0 ] && measure "no ranges (one stream), no limit" "http://127.0.0.1:${ports[2]}/$single.bin" "$single"
echo "Targets: limited, at least 3x curl + md5sum and 0.9 of aria2c + md5sum; unlimited, at least 0.8 of" \
  "curl + md5sum, also as one stream from the server without ranges; peak memory under 64 MiB; the 5 GiB file in" \
  "one attempt."
