#!/bin/bash
# The namespace harness (tests/windows/with-netns.sh, here with a Linux program and no Wine) with
# every printer address it has: the simulator starts with 32 printers, each answers SNMP from the
# PC's side of the bridge on its own address with its own serial number, the control port lists
# them all, and @n in the program's arguments is the n-th address (@12 is not @1 and a 2). Every
# run, one whose program fails too, leaves neither its namespaces nor its simulator behind; @33
# is refused before anything is made. Needs root and `ip netns` (skipped otherwise).
#
# Usage: netns_printers_test.sh WITH-NETNS.SH SIMULATOR
# (The harness runs this script again inside the PC namespace: --inside PIDFILE CODE ARGS...)
set -u
oid=.1.3.6.1.4.1.58213.3.2.1.1
printers=32
serial() { printf 'ZT640-0002%02d' "$1"; }

if [ "${1:-}" = --inside ]; then
  pidfile="$2" code="$3"; shift 3
  # The simulator is whatever runs in the printers' namespace.
  ip netns pids "cvn-printers-$WITH_NETNS_ID" >"$pidfile"
  failures=0
  fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
  expected=("$SIM_NET.1" "$SIM_NET.12" "$SIM_NET.32" "x$SIM_NET.9y" "mail@host")
  [ "$*" = "${expected[*]}" ] || fail "arguments '$*', expected '${expected[*]}'"
  for n in $(seq $printers); do
    got=$(snmpget -v1 -c public -t 1 -r 2 -Ovq "$SIM_NET.$n" "$oid" 2>&1)
    [[ "$got" == *";SN:$(serial "$n");"* ]] || fail "@$n ($SIM_NET.$n) answered: $got"
  done
  exec 3<>"/dev/tcp/${SIM_CONTROL%:*}/${SIM_CONTROL#*:}" || { fail "no control port"; exit 1; }
  echo list >&3
  listed=0
  while IFS= read -r -t 10 line <&3; do
    case "$line" in OK) break ;; "$SIM_NET".*" ready") listed=$((listed + 1)) ;; *) fail "list: $line"; break ;; esac
  done
  [ $listed = $printers ] || fail "the control port lists $listed printers"
  [ $failures = 0 ] || exit 1
  exit "$code"
fi

harness="$1"
sim="$2"
[ "$(id -u)" = 0 ] || { echo "skipped: needs root"; exit 77; }
command -v ip >/dev/null || { echo "skipped: no ip command"; exit 77; }
command -v snmpget >/dev/null || { echo "no snmpget (scripts/bootstrap installs net-snmp)"; exit 1; }

export WITH_NETNS_ID=$$
names="^cvn-(pc|printers)-$WITH_NETNS_ID( |\$)"
out=$(mktemp -d)
cleanup() {
  ip netns del "cvn-pc-$WITH_NETNS_ID" 2>/dev/null
  ip netns del "cvn-printers-$WITH_NETNS_ID" 2>/dev/null
  rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP  # through the EXIT trap as well

args=()
for n in $(seq $printers); do args+=(--printer "@$n,serial=$(serial "$n")"); done
failures=0
# run WHAT EXPECTED-CODE PRINTER-OPTIONS... -- PROGRAM...: the harness's exit code, then what it left.
run() {
  local what="$1" expected="$2" rc pid
  shift 2
  rm -f "$out/pids"
  timeout -k 5 120 "$harness" - "$sim" "$@" >"$out/output" 2>&1
  rc=$?
  if [ "$rc" != "$expected" ]; then
    echo "FAIL: $what: exit code $rc, expected $expected"; cat "$out/output"; failures=$((failures + 1))
  else
    echo "ok: $what: exit code $rc"
  fi
  if ip netns list | grep -qE "$names"; then
    echo "FAIL: $what: namespaces left:"; ip netns list | grep -E "$names"; failures=$((failures + 1))
  fi
  [ -f "$out/pids" ] || return 0
  [ -s "$out/pids" ] || { echo "FAIL: $what: no simulator in the printers' namespace"; failures=$((failures + 1)); }
  while read -r pid; do
    if kill -0 "$pid" 2>/dev/null; then echo "FAIL: $what: process $pid still runs"; failures=$((failures + 1)); fi
  done <"$out/pids"
}

words=(@1 @12 @32 x@9y mail@host)
run "32 printers" 0 "${args[@]}" -- "$0" --inside "$out/pids" 0 "${words[@]}"
run "a program that fails" 3 "${args[@]}" -- "$0" --inside "$out/pids" 3 "${words[@]}"
run "@33 in the simulator's options" 2 "${args[@]}" --printer @33 -- true
run "@0 in the program's arguments" 2 --printer @1 -- echo @0
[ $failures -eq 0 ]  # a count could collide with the skip code
