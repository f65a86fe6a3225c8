#!/bin/bash
# Usage: run-scenario.sh [options] -- SCENARIO.exe [scenario arguments...]
#
# Runs a scenario program (a Win32 program that drives the installer through UiDriver.h) on the
# namespace harness of tests/windows/with-netns.sh, with an X display for the installer's windows:
#
#   1. makes the PC namespace's Wine prefix when it is missing (unmanaged windows: no 2 s wait
#      on every hide), and places the DeviceInfo.xml fixture where the installer looks for
#      registered printers (C:\ProgramData\Corvane Quillmark\Quillmark\Device\DeviceInfo.xml);
#   2. starts an Xvfb of its own on a free display (unless a local DISPLAY is to be used): the
#      programs in the network namespace reach it through its socket in /tmp/.X11-unix, never TCP;
#   3. runs with-netns.sh: the simulator with the given printers in the printers namespace, the
#      scenario program under Wine in the PC namespace (which starts the programs it drives);
#   4. always, also on failure, time-out and Ctrl-C: ends every Wine process of the prefix
#      (wineserver -k), removes the namespaces, the fixture and the display, and copies the
#      screenshots out.
#
# Options:
#   --prefix DIR        the PC namespace's Wine prefix (default build/windows/wineprefix-netns). It is
#                       shared with the discovery test: one run at a time (ctest RESOURCE_LOCK
#                       wineprefix_netns; between runs of this script also the lock file DIR.lock,
#                       waited for at most the time-out)
#   --sim PATH          the printer simulator (default build/native/sim/printer-sim)
#   --printer ADDRESS[,KEY=VALUE...]
#                       one simulated printer, as printer-sim's --printer (repeatable); @1 to @32
#                       stand for this run's printer addresses here and in the scenario's arguments
#                       (with-netns.sh: @12 is the twelfth, @0 or @33 ends the run with code 2)
#   --sim-option ARG    any other simulator argument, one word each (repeatable), e.g. --cert-expired
#   --device-info FILE  the DeviceInfo.xml to place, removed afterwards; without it there is none
#   --installer EXE     the installer under test (E2E_INSTALLER)
#   --screenshots DIR   where the screenshots end up (made when missing; without it none are taken)
#   --japanese          LANG=ja_JP.UTF-8 for the whole Wine process tree (default en_US.UTF-8)
#   --timeout SECONDS   bound of the whole run, teardown excluded (default 240)
#   --xvfb              an Xvfb of its own even when DISPLAY is set
#   --display DISPLAY   this local X display (":N") instead of an Xvfb
#   --screen WxHxD      the Xvfb screen (default 1024x768x24)
#
# The scenario program sees, besides with-netns.sh's SIM_NET, SIM_CONTROL and PC_ADDRESSES:
# E2E_SCREENSHOTS, E2E_INSTALLER, E2E_DEVICE_INFO (the fixture), E2E_LANG (en or ja), DISPLAY, and
# LANG. Linux paths in them are read as Wine's drive Z: (ScenarioSupport.h).
# The exit code is the scenario program's; 124 when the time-out ended the run; 2 for bad usage.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

prefix="$root/build/windows/wineprefix-netns"
sim="$root/build/native/sim/printer-sim"
sim_args=()
device_info=""
installer=""
shots_out=""
language=en
limit=240
own_xvfb=0
display="${DISPLAY:-}"
screen=1024x768x24

usage() { sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2; }
need() { [ $# -ge 2 ] || { echo "run-scenario: $1 needs a value" >&2; exit 2; }; }
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case "$1" in
    --prefix) need "$@"; prefix="$2"; shift 2 ;;
    --sim) need "$@"; sim="$2"; shift 2 ;;
    --printer) need "$@"; sim_args+=(--printer "$2"); shift 2 ;;
    --sim-option) need "$@"; sim_args+=("$2"); shift 2 ;;
    --device-info) need "$@"; device_info=$(realpath -e "$2") || exit 2; shift 2 ;;
    --installer) need "$@"; installer=$(realpath -e "$2") || exit 2; shift 2 ;;
    --screenshots) need "$@"; shots_out=$(realpath -m "$2"); shift 2 ;;
    --japanese) language=ja; shift ;;
    --timeout) need "$@"; limit="$2"; shift 2 ;;
    --xvfb) own_xvfb=1; shift ;;
    --display) need "$@"; display="$2"; own_xvfb=0; shift 2 ;;
    --screen) need "$@"; screen="$2"; shift 2 ;;
    -h|--help) usage ;;
    *) echo "run-scenario: unknown option $1" >&2; usage ;;
  esac
done
[ "${1:-}" = "--" ] && [ $# -ge 2 ] || { echo "run-scenario: missing -- SCENARIO.exe" >&2; usage; }
shift
scenario=("$@")
[ -f "${scenario[0]}" ] || { echo "run-scenario: no scenario program ${scenario[0]}" >&2; exit 2; }
[ -x "$sim" ] || { echo "run-scenario: no simulator $sim (build the native tree)" >&2; exit 2; }
[[ "$limit" =~ ^[0-9]+$ ]] || { echo "run-scenario: --timeout takes seconds" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "run-scenario: network namespaces need root" >&2; exit 2; }
[ ${#sim_args[@]} -gt 0 ] || sim_args=(--printer @1)
prefix=$(realpath -m "$prefix")
if [ $own_xvfb = 1 ] || [ -z "$display" ]; then
  own_xvfb=1
  command -v Xvfb >/dev/null || { echo "run-scenario: no Xvfb (scripts/bootstrap)" >&2; exit 2; }
elif ! [[ "$display" =~ ^(unix)?:[0-9]+(\.[0-9]+)?$ ]]; then
  echo "run-scenario: DISPLAY=$display is not a local display; the network namespace reaches only" \
       "/tmp/.X11-unix sockets (use --xvfb)" >&2
  exit 2
fi
# Nothing above has changed anything; from here on cleanup undoes what was done.

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=/usr/lib/wine/wineserver
# with-netns.sh names its namespaces after this id, so they can be removed here even when it was killed.
export WITH_NETNS_ID=$$
device_dir="$prefix/drive_c/ProgramData/Corvane Quillmark/Quillmark/Device"
work=$(mktemp -d /tmp/e2e-run.XXXXXX)
shots="$work/screenshots"
mkdir -p "$shots"
locked=0
ran=0
xvfb_pid=""
runner=""
placed=""
made_dirs=()
start=$(date +%s.%N)

# Ends a process (and waits) within a bound: TERM, then KILL after `grace` seconds.
stop() {
  local pid="$1" grace="$2"
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return; }
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq $((grace * 10))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

cleanup() {
  trap '' INT TERM
  # The run: timeout passes TERM to with-netns.sh and every process of its group; with-netns.sh
  # then stops the simulator, ends the prefix's wineserver and removes its namespaces.
  [ -n "$runner" ] && stop "$runner" 15
  # What a killed with-netns.sh could not do.
  if [ $ran = 1 ]; then
    "$wineserver" -k 2>/dev/null
    ip netns del "cvn-pc-$WITH_NETNS_ID" 2>/dev/null
    ip netns del "cvn-printers-$WITH_NETNS_ID" 2>/dev/null
  fi
  if [ -n "$placed" ]; then
    rm -f "$placed"
    for ((i = ${#made_dirs[@]} - 1; i >= 0; i--)); do rmdir "${made_dirs[$i]}" 2>/dev/null; done
  fi
  [ -n "$xvfb_pid" ] && stop "$xvfb_pid" 5
  if [ -n "$shots_out" ] && [ -n "$(ls -A "$shots" 2>/dev/null)" ]; then
    mkdir -p "$shots_out" && cp -f "$shots"/* "$shots_out"/ && echo "run-scenario: screenshots in $shots_out"
  fi
  [ $locked = 1 ] && exec 9>&-
  rm -rf "$work"
  echo "run-scenario: $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s in all"
}
trap cleanup EXIT
trap 'echo "run-scenario: interrupted" >&2; exit 130' INT
trap 'echo "run-scenario: terminated" >&2; exit 143' TERM

# 1. The prefix, one run at a time: with-netns.sh ends the prefix's wineserver, whoever's it is.
# ctest's RESOURCE_LOCK keeps the tests apart; this lock also keeps runs by hand away.
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
if ! flock -n 9; then
  echo "run-scenario: $prefix is in use by another run; waiting (at most $limit s)"
  flock -w "$limit" 9 || { echo "run-scenario: $prefix stayed in use" >&2; exit 1; }
fi
locked=1
# The prefix is made outside the namespace; with-netns.sh restarts its wineserver inside.
if [ ! -f "$prefix/.ready" ]; then
  echo "run-scenario: making the Wine prefix $prefix"
  WINE_LINGER_SECONDS=0 timeout -k 5 180 "$root/scripts/wine-prefix" "$prefix" 9>&- || { echo "run-scenario: no prefix" >&2; exit 1; }
  "$wineserver" -k 2>/dev/null
fi
# The fixture (a stale one of an interrupted run goes).
rm -f "$device_dir/DeviceInfo.xml"
if [ -n "$device_info" ]; then
  d="$device_dir"
  # The folders made here, outermost first; cleanup removes them innermost first.
  while [ ! -d "$d" ]; do made_dirs=("$d" "${made_dirs[@]}"); d=$(dirname "$d"); done
  mkdir -p "$device_dir"
  placed="$device_dir/DeviceInfo.xml"
  cp "$device_info" "$placed" || exit 1
  export E2E_DEVICE_INFO="$device_info"
fi

# 2. The display.
if [ $own_xvfb = 1 ]; then
  # -displayfd: Xvfb takes a free display number itself and writes it to the descriptor.
  Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 9>&- &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; kill -0 "$xvfb_pid" 2>/dev/null || break; sleep 0.05; done
  n=$(head -1 "$work/display" 2>/dev/null)
  if [ -z "$n" ] || [ ! -S "/tmp/.X11-unix/X$n" ]; then
    echo "run-scenario: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1
  fi
  display=":$n"
fi
echo "run-scenario: display $display"

# 3. The run. DISPLAY and LANG reach every Wine process of the prefix: with-netns.sh ends any
# wineserver of it first and starts the wineserver and Wine's services with this environment.
export DISPLAY="$display" E2E_LANG="$language"
if [ "$language" = ja ]; then export LANG=ja_JP.UTF-8; else export LANG=en_US.UTF-8; fi
export LC_ALL="$LANG"
unset LANGUAGE
export E2E_SCREENSHOTS=""
[ -n "$shots_out" ] && export E2E_SCREENSHOTS="$shots"
[ -n "$installer" ] && export E2E_INSTALLER="$installer"
# In the background, so that this shell can act on Ctrl-C at once; timeout puts the run in a
# process group of its own and sends TERM to all of it (KILL 10 s later) at the limit.
ran=1
timeout -k 10 "$limit" "$root/tests/windows/with-netns.sh" "$prefix" "$sim" "${sim_args[@]}" -- "${scenario[@]}" 9>&- &
runner=$!
wait "$runner"
rc=$?
runner=""
if [ $rc = 124 ] || [ $rc = 137 ]; then echo "run-scenario: time-out: the run took more than $limit s" >&2; fi
exit $rc
