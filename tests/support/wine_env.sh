#!/usr/bin/env bash
# Private Wine prefixes for the build tree: creation under a lock, configuration, virtual display.
# Usage as a command:
#   wine_env.sh setup  <prefix> <state-dir> [fake-tool.exe [gui-driver.exe]]
#                                                             create/refresh the prefix, start a display
#   wine_env.sh cleanup <prefix> <state-dir>                  stop wineserver and the display
#   wine_env.sh run <prefix> <state-dir> <exe> [args...]      run one program (the test emulator)
# Sourced, it only defines the functions. With PL_PREFIX_LOG_PIXELS=<dpi> in the environment of every command on a
# prefix, that prefix's display reports this DPI (150 % is 144) instead of 96.

# Bump when the configuration below changes, so existing prefixes are refreshed.
PL_PREFIX_CONFIG_VERSION=5

pl_wine_environment() {  # <prefix>
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEARCH=win64
  # No crash dialog (it would hang a headless run), no Mono or Gecko installer prompts, and no menu entries or
  # desktop files written to the host for the shortcuts the program creates.
  export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d;winemenubuilder.exe=d"
  unset WINELOADER
}

pl_prefix_registry() {  # the .reg text applied to every prefix
  cat <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine]
"Version"="win10"

[HKEY_CURRENT_USER\Software\Wine\DllOverrides]
"bcdedit.exe"="native"
"bcdboot.exe"="native"
"diskpart.exe"="native"
"dism.exe"="native"
"powershell.exe"="native"
"cscript.exe"="native"

; One virtual desktop: Wine draws the window frames itself, so screenshots show title bars.
[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1280x800"

; Chinese text needs a CJK font (the .reg file is ANSI, so multi-string hex is single bytes): the UI font maps to WenQuanYi, and the system fonts link to it.
[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"Microsoft YaHei UI"="WenQuanYi Micro Hei"
"Microsoft YaHei"="WenQuanYi Micro Hei"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]
"Tahoma"=hex(7):77,71,79,2d,6d,69,63,72,6f,68,65,69,2e,74,74,63,2c,57,65,6e,51,75,61,6e,59,69,20,4d,69,63,72,6f,20,48,65,69,00,00
"MS Shell Dlg"=hex(7):77,71,79,2d,6d,69,63,72,6f,68,65,69,2e,74,74,63,2c,57,65,6e,51,75,61,6e,59,69,20,4d,69,63,72,6f,20,48,65,69,00,00
"MS Shell Dlg 2"=hex(7):77,71,79,2d,6d,69,63,72,6f,68,65,69,2e,74,74,63,2c,57,65,6e,51,75,61,6e,59,69,20,4d,69,63,72,6f,20,48,65,69,00,00
"Microsoft Sans Serif"=hex(7):77,71,79,2d,6d,69,63,72,6f,68,65,69,2e,74,74,63,2c,57,65,6e,51,75,61,6e,59,69,20,4d,69,63,72,6f,20,48,65,69,00,00
"Segoe UI"=hex(7):77,71,79,2d,6d,69,63,72,6f,68,65,69,2e,74,74,63,2c,57,65,6e,51,75,61,6e,59,69,20,4d,69,63,72,6f,20,48,65,69,00,00
"Arial"=hex(7):77,71,79,2d,6d,69,63,72,6f,68,65,69,2e,74,74,63,2c,57,65,6e,51,75,61,6e,59,69,20,4d,69,63,72,6f,20,48,65,69,00,00

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

REG
  # Each process reads it as it starts: a prefix of its own, so that no other process sees it.
  if [ -n "${PL_PREFIX_LOG_PIXELS:-}" ]; then
    printf '[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"LogPixels"=dword:%08x\n\n' "$PL_PREFIX_LOG_PIXELS"
  fi
}

pl_prefix_stamp() {  # what the prefix's stamp file holds once configured
  echo "$PL_PREFIX_CONFIG_VERSION${PL_PREFIX_LOG_PIXELS:+ dpi $PL_PREFIX_LOG_PIXELS}"
}

# Creates the prefix once; concurrent callers wait on the lock instead of racing.
pl_ensure_prefix() {  # <prefix>
  local prefix="$1" stamp="$1/.pl-config-version"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(pl_prefix_stamp)" ]; then
    return 0
  fi
  mkdir -p "$(dirname "$prefix")"
  (
    exec 9>"$prefix.lock"
    flock 9
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(pl_prefix_stamp)" ]; then
      exit 0
    fi
    pl_wine_environment "$prefix"
    # wineboot leaves wineserver running: it must not inherit the lock, or the lock never frees.
    if [ ! -f "$prefix/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 9>&- || { echo "wineboot failed for $prefix" >&2; exit 1; }
    else
      wineserver -k 2>/dev/null 9>&-  # a refresh: nothing may run on the old configuration
    fi
    local reg
    reg=$(mktemp --suffix=.reg)
    pl_prefix_registry >"$reg"
    wine regedit /S "$(winepath -w "$reg" 2>/dev/null 9>&-)" >/dev/null 2>&1 9>&-
    rm -f "$reg"
    wineserver -w 9>&-
    pl_prefix_stamp >"$stamp"
  )
}

# Replaces the system tools with the fake one; copy then rename so a running copy is never rewritten.
pl_install_fake_tools() {  # <prefix> <fake-tool.exe>
  local sys="$1/drive_c/windows/system32" name
  mkdir -p "$sys/WindowsPowerShell/v1.0"
  for name in bcdedit.exe bcdboot.exe diskpart.exe Dism.exe WindowsPowerShell/v1.0/powershell.exe format.com \
    cscript.exe; do
    # Wine ships lower-case stubs; remove any differently cased twin first.
    find "$sys/$(dirname "$name")" -maxdepth 1 -iname "$(basename "$name")" ! -name "$(basename "$name")" -delete
    cp "$2" "$sys/$name.new" && mv -f "$sys/$name.new" "$sys/$name"
  done
}

pl_start_display() {  # <state-dir>: starts Xvfb on a free display, records it
  local state="$1" fifo display pid
  mkdir -p "$state"
  if [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
    return 0
  fi
  fifo="$state/xvfb.fifo"
  rm -f "$fifo"
  mkfifo "$fifo"
  Xvfb -displayfd 7 -screen 0 1280x800x24 -nolisten tcp 7>"$fifo" >/dev/null 2>&1 &
  pid=$!
  read -r -t 30 display <"$fifo" || { echo "Xvfb did not start" >&2; rm -f "$fifo"; return 1; }
  rm -f "$fifo"
  echo "$pid" >"$state/xvfb.pid"
  echo ":$display" >"$state/display"
}

pl_stop_display() {  # <state-dir>
  local state="$1"
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null
    rm -f "$state/xvfb.pid" "$state/display"
  fi
}

pl_use_display() {  # <state-dir>: every Wine process of a session must see the same display
  local state="$1"
  if [ -f "$state/display" ] && [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
    export DISPLAY="$(cat "$state/display")"
  else
    unset DISPLAY
  fi
}

# Starts the Wine session, keeps it and its desktop up for the whole run, and waits until its start-up work is
# over. Processes created while a fresh session still runs "wineboot --init" or brings up its desktop can fail
# to start (CreateProcess reports an internal error), so tests begin only on a settled session. Everything
# started here has its output sent to /dev/null: an inherited pipe would keep CTest waiting.
pl_warm_up_session() {  # <prefix> <state-dir> [gui-driver.exe]
  local i
  wineserver -p30 >/dev/null 2>&1 </dev/null
  pl_use_display "$2"
  wine cmd.exe /c exit >/dev/null 2>&1 </dev/null
  if [ -n "${3:-}" ]; then
    # At most an hour, so an interrupted run does not leave it behind for long.
    nohup wine "$3" hold-desktop 3600000 >/dev/null 2>&1 </dev/null &
  fi
  for i in $(seq 1 150); do
    if ! pgrep -f 'C:\\windows\\system32\\(wineboot|winemenubuilder)\.exe' >/dev/null &&
      { [ -z "${3:-}" ] || pgrep -f 'C:\\windows\\system32\\explorer\.exe /desktop' >/dev/null; }; then
      break
    fi
    sleep 0.2
  done
  return 0
}

# Runs one program with its output sent to files first: Wine's helper processes would otherwise keep a
# pipe open and make the caller wait for them.
pl_run() {  # <prefix> <state-dir> <exe> [args...]
  local prefix="$1" state="$2"
  shift 2
  pl_ensure_prefix "$prefix" || return 1
  pl_wine_environment "$prefix"
  pl_use_display "$state"
  # Values the build tree gives every test process.
  [ -f "$state/test.env" ] && . "$state/test.env"
  local out err rc attempt
  out=$(mktemp) err=$(mktemp)
  # A program that Wine failed to bring up exits non-zero without printing anything, not even the test
  # framework's first line; that start is retried (twice at most). Anything that printed is reported as is.
  for attempt in 1 2 3; do
    wine "$@" >"$out" 2>"$err" </dev/null
    rc=$?
    [ "$rc" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ] && [ "$attempt" -lt 3 ] || break
    echo "wine_env.sh: $1 exited with $rc before printing anything; starting it again" >&2
  done
  cat "$out"
  cat "$err" >&2
  rm -f "$out" "$err"
  return $rc
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  command=$1
  shift
  case "$command" in
    setup)
      pl_ensure_prefix "$1" || exit 1
      pl_wine_environment "$1"
      # A server left from test discovery ran without the display: start afresh under it.
      wineserver -k 2>/dev/null
      wineserver -w
      pl_start_display "$2" || exit 1
      [ -n "${3:-}" ] && pl_install_fake_tools "$1" "$3"
      pl_warm_up_session "$1" "$2" "${4:-}"
      exit 0
      ;;
    cleanup)
      pl_wine_environment "$1"
      wineserver -k 2>/dev/null
      wineserver -w
      pl_stop_display "$2"
      exit 0
      ;;
    run)
      pl_run "$@"
      exit $?
      ;;
    *)
      echo "usage: $0 setup|cleanup|run ..." >&2
      exit 2
      ;;
  esac
fi
