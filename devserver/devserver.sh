#!/usr/bin/env bash
# Starts and stops the backend stand-in in the background, for the test fixture and scripts/run.
#   devserver.sh start <state-dir> [devserver.py options...]
#       writes <state-dir>/devserver.url (its base URL), devserver.pid, devserver.log and devserver.env
#       ("export PL_DEVSERVER_URL=..."), and returns once it listens
#   devserver.sh stop <state-dir>
set -u
here=$(cd "$(dirname "$0")" && pwd)
command=${1:-}
state=${2:-}
[ -n "$state" ] || { echo "usage: $0 start|stop <state-dir> [options...]" >&2; exit 2; }
shift 2

stop() {
  if [ -f "$state/devserver.pid" ]; then
    kill "$(cat "$state/devserver.pid")" 2>/dev/null
    rm -f "$state/devserver.pid"
  fi
  rm -f "$state/devserver.url" "$state/devserver.env"
}

case "$command" in
  start)
    mkdir -p "$state"
    stop
    python=/usr/bin/python3
    [ -x "$python" ] || python=python3
    # Detached and with every descriptor on files, so nobody waits on the stand-in's output.
    setsid "$python" "$here/devserver.py" --url-file "$state/devserver.url" "$@" \
      </dev/null >"$state/devserver.log" 2>&1 &
    echo $! >"$state/devserver.pid"
    for _ in $(seq 1 300); do
      if [ -s "$state/devserver.url" ]; then
        echo "export PL_DEVSERVER_URL='$(cat "$state/devserver.url")'" >"$state/devserver.env"
        cat "$state/devserver.url"
        exit 0
      fi
      kill -0 "$(cat "$state/devserver.pid")" 2>/dev/null || break
      sleep 0.1
    done
    echo "The backend stand-in did not start:" >&2
    cat "$state/devserver.log" >&2
    stop
    exit 1
    ;;
  stop)
    stop
    exit 0
    ;;
  *)
    echo "usage: $0 start|stop <state-dir> [options...]" >&2
    exit 2
    ;;
esac
