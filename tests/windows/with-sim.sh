#!/bin/bash
# Usage: with-sim.sh SIMULATOR [simulator options...] -- COMMAND [arguments...]
#
# Runs COMMAND (a Windows test under Wine) against a printer simulator of its own, on loopback
# addresses no other test run uses, and always stops the simulator afterwards.
#
# In the simulator's options and in COMMAND's arguments, @1 to @9 stand for the printer addresses
# 127.A.B.1 to 127.A.B.9 of this run. COMMAND sees SIM_NET=127.A.B and SIM_CONTROL=127.0.0.1:PORT
# (the simulator's control port) in its environment. The exit code is COMMAND's.
set -u
sim="$1"; shift
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
[ "${1:-}" = "--" ] || { echo "with-sim: missing -- COMMAND" >&2; exit 2; }
shift

net="127.$((200 + ($$ / 250) % 50)).$(($$ % 250))"
substitute() { local s="$1"; for i in 1 2 3 4 5 6 7 8 9; do s="${s//@$i/$net.$i}"; done; printf '%s' "$s"; }
for i in "${!sim_args[@]}"; do sim_args[$i]=$(substitute "${sim_args[$i]}"); done
cmd=()
for a in "$@"; do cmd+=("$(substitute "$a")"); done

out=$(mktemp -d)
"$sim" "${sim_args[@]}" --control 127.0.0.1:0 --log "$out/log" >"$out/stdout" 2>&1 &
pid=$!
. "$(dirname "$0")/stop-helper.sh"
trap 'stop_and_clean "$pid" "$out"' EXIT
for _ in $(seq 200); do grep -q ready "$out/stdout" && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
port=$(sed -n 's/.*ready.*control=\([0-9]*\).*/\1/p' "$out/stdout" | head -1)
if [ -z "$port" ]; then
  echo "with-sim: the simulator did not start"; cat "$out/stdout" "$out/log"; exit 1
fi

SIM_NET="$net" SIM_CONTROL="127.0.0.1:$port" "${cmd[@]}"
rc=$?
if [ $rc -ne 0 ]; then echo "---- simulator log ----"; tail -n 60 "$out/log"; fi
exit $rc
