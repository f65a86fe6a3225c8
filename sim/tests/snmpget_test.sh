#!/bin/bash
# net-snmp's snmpget against the simulator: both communities, the default one only, and a
# silent agent. Starts its own simulator on addresses of its own and always stops it.
set -u
sim="$1"
oid=.1.3.6.1.4.1.58213.3.2.1.1
out=$(mktemp -d)
"$sim" --printer 127.0.6.2 --printer 127.0.6.3,communities=public,model=Zentil-1640 \
       --printer 127.0.6.4,communities=none >"$out/stdout" 2>"$out/log" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$out"' EXIT
for _ in $(seq 100); do grep -q ready "$out/stdout" && break; sleep 0.1; done
grep -q ready "$out/stdout" || { echo "simulator did not start"; cat "$out/log"; exit 1; }

failures=0
expect() {  # expect answer|silent ADDRESS COMMUNITY [TEXT]
    local got
    got=$(snmpget -v1 -c "$3" -t 0.5 -r 0 -Ovq "$2" "$oid" 2>&1)
    if [ "$1" = answer ] && [[ "$got" != *"$4"* ]]; then
        echo "FAIL: $2 -c $3 answered: $got"; failures=$((failures + 1))
    elif [ "$1" = silent ] && [[ "$got" != *Timeout* ]]; then
        echo "FAIL: $2 -c $3 should stay silent, got: $got"; failures=$((failures + 1))
    else
        echo "ok: $2 -c $3 $1"
    fi
}
expect answer 127.0.6.2 public '"MDL:Zentil-640;SN:'
expect answer 127.0.6.2 cvn 'SECURITY:0.00;"'
expect silent 127.0.6.3 cvn
expect answer 127.0.6.3 public 'MDL:Zentil-1640;'
expect silent 127.0.6.4 public
[ $failures -eq 0 ] || cat "$out/log"
exit $failures
