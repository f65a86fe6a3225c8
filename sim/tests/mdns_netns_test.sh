#!/bin/bash
# The mDNS responder on a real multicast path: the simulator in one network namespace, a querier
# in another, joined by a veth pair; nothing of it touches the machine's own interfaces. The two
# namespaces are made here and always removed. Needs root and `ip netns` (skipped otherwise).
#
#   namespace A: veth 198.18.0.1 and 198.18.0.2 (two printers) and 198.18.0.3 (no printer),
#                127.0.0.5 on lo (a third printer)
#   namespace B: veth 198.18.0.10 (the querier)
set -u
sim="$1"
query="$2"
[ "$(id -u)" = 0 ] || { echo "skipped: needs root"; exit 77; }
command -v ip >/dev/null || { echo "skipped: no ip command"; exit 77; }

tag="simmdns$$"
nsa="${tag}a"
nsb="${tag}b"
out=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
    ip netns del "$nsa" 2>/dev/null
    ip netns del "$nsb" 2>/dev/null
    rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP  # through the EXIT trap as well

if ! ip netns add "$nsa" 2>/dev/null || ! ip netns add "$nsb" 2>/dev/null; then
    echo "skipped: cannot make network namespaces"; exit 77
fi
setup() {
    ip -n "$nsa" link add va type veth peer name vb netns "$nsb" &&
    ip -n "$nsa" addr add 198.18.0.1/24 dev va &&
    ip -n "$nsa" addr add 198.18.0.2/24 dev va &&
    ip -n "$nsa" addr add 198.18.0.3/24 dev va &&
    ip -n "$nsa" link set lo up &&
    ip -n "$nsa" link set va up &&
    ip -n "$nsb" addr add 198.18.0.10/24 dev vb &&
    ip -n "$nsb" link set lo up &&
    ip -n "$nsb" link set vb up
}
setup || { echo "skipped: cannot set up the veth pair"; exit 77; }

ip netns exec "$nsa" "$sim" --printer 198.18.0.1 --printer 198.18.0.2,model=Zentil-1640,serial=ZT1640-000456 \
    --printer 127.0.0.5 --control 127.0.0.1:0 --log "$out/log" >"$out/stdout" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q ready "$out/stdout" && break; kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
port=$(sed -n 's/.*ready control=\([0-9]*\).*/\1/p' "$out/stdout")
[ -n "$port" ] || { echo "simulator did not start"; cat "$out/stdout" "$out/log"; exit 1; }
for _ in $(seq 50); do
    ip -n "$nsa" link show va | grep -q LOWER_UP && ip -n "$nsb" link show vb | grep -q LOWER_UP && break
    sleep 0.1
done

control() {  # control COMMAND: the answer's lines
    ip netns exec "$nsa" bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1"; echo "$2" >&3
        while read -r line <&3; do echo "$line"; case $line in OK|ERR*) break;; esac; done' control "$port" "$1"
}
show() { control "show $1" | sed -n "s/^$2=//p"; }
failures=0
ask() {  # ask QUERY-OPTIONS: the query tool's lines in $out/answers
    if ! ip netns exec "$nsb" "$query" "$@" --wait-ms 1000 >"$out/answers"; then
        echo "FAIL: sim_mdns_query $*"; failures=$((failures + 1))
    fi
}
check() {  # check WHAT EXPECTED-COUNT PATTERN (extended regex over the answer lines)
    local n
    n=$(grep -cE "$3" "$out/answers")
    if [ "$n" -ne "$2" ]; then
        echo "FAIL: $1: $n lines like /$3/, expected $2"; cat "$out/answers"; failures=$((failures + 1))
    else
        echo "ok: $1"
    fi
}
equal() {  # equal WHAT GOT EXPECTED
    if [ "$2" != "$3" ]; then echo "FAIL: $1: '$2', expected '$3'"; failures=$((failures + 1)); else echo "ok: $1"; fi
}

# A multicast query from the mDNS port, without the unicast bit: both printers on the veth answer
# to the group with ID 0; the one on lo never hears it.
ask --from 198.18.0.10:5353 --to 224.0.0.251 --id 4660
check "multicast answers" 2 '^via=multicast .* id=0 flags=8400 questions=0 problems=0'
check "first printer" 1 '^via=multicast from=198\.18\.0\.1:5353 .* a=198\.18\.0\.1 host=ZT640000001\.local instance=Corvane Zentil-640 \(ZT640-000001\)$'
check "second printer" 1 '^via=multicast from=198\.18\.0\.2:5353 .* a=198\.18\.0\.2 host=ZT1640000456\.local instance=Corvane Zentil-1640 \(ZT1640-000456\)$'
check "nothing else" 2 '^via='
query_hex=$(sed -n 's/^query=//p' "$out/answers")
equal "the query's length in hex digits" "${#query_hex}" 88
equal "query recorded by the first printer" "$(show 198.18.0.1 mdns_last_query)" "$query_hex"
equal "query counted by the second printer" "$(show 198.18.0.2 mdns_queries)" 1
equal "printer on another interface" "$(show 127.0.0.5 mdns_queries)" 0

# The unicast bit: each printer answers the asker directly, with the query's ID.
ask --from 198.18.0.10:5353 --to 224.0.0.251 --id 4661 --qu
check "unicast answers to the unicast bit" 2 '^via=unicast from=198\.18\.0\.[12]:5353 id=4661 flags=8400 questions=0 problems=0'
check "nothing multicast" 0 '^via=multicast'

# A querier on another port: unicast with the ID and the question repeated.
ask --from 198.18.0.10 --to 224.0.0.251 --id 4662
check "legacy querier" 2 '^via=unicast from=198\.18\.0\.[12]:5353 id=4662 flags=8400 questions=1 problems=0'

# A unicast query from the mDNS port without the unicast bit: the answer goes to the group.
ask --from 198.18.0.10:5353 --to 198.18.0.2 --id 4663
check "unicast query, multicast answer" 1 '^via=multicast from=198\.18\.0\.2:5353 id=0 .*instance=Corvane Zentil-1640'
check "only the printer asked" 1 '^via='

# mdns_also_from: the first printer's answer once more from the second printer's address.
control "set 198.18.0.1 mdns_also_from 198.18.0.2" >/dev/null
ask --from 198.18.0.10:5353 --to 224.0.0.251 --id 4664
check "first printer's answer from its address" 1 '^via=multicast from=198\.18\.0\.1:5353 id=0 .*a=198\.18\.0\.1 .*instance=Corvane Zentil-640 '
check "first printer's answer from the second's" 1 '^via=multicast from=198\.18\.0\.2:5353 id=0 .*a=198\.18\.0\.1 .*instance=Corvane Zentil-640 '
check "second printer's own answer" 1 'instance=Corvane Zentil-1640'

# A local address that no printer holds gets a socket for the occasion; one that is not on this
# machine cannot send, and the answer goes out once.
control "set 198.18.0.1 mdns_also_from 198.18.0.3" >/dev/null
ask --from 198.18.0.10:5353 --to 198.18.0.1 --id 4666 --qu
check "answer from the printer" 1 '^via=unicast from=198\.18\.0\.1:5353 id=4666 .*a=198\.18\.0\.1 '
check "also from an address of no printer" 1 '^via=unicast from=198\.18\.0\.3:5353 id=4666 .*a=198\.18\.0\.1 '
control "set 198.18.0.1 mdns_also_from 198.18.7.7" >/dev/null
ask --from 198.18.0.10:5353 --to 198.18.0.1 --id 4667 --qu
check "also from an address not here" 1 '^via=unicast from=198\.18\.0\.1:5353 id=4667 '
check "no other answer" 1 '^via='

# twice and malformed over multicast.
control "set 198.18.0.1 mdns_also_from none" >/dev/null
control "set 198.18.0.1 mdns_fault twice" >/dev/null
control "set 198.18.0.2 mdns_fault malformed" >/dev/null
ask --from 198.18.0.10:5353 --to 224.0.0.251 --id 4665
check "twice" 2 '^via=multicast from=198\.18\.0\.1:5353 id=0 flags=8400 questions=0 problems=0 '
check "malformed" 1 '^via=multicast from=198\.18\.0\.2:5353 id=0 flags=8400 questions=0 problems=[1-9]'

# mdns_reply multicast: the first printer answers to the group with ID 0 even when asked for a
# unicast answer, as responders do with a question they have not answered lately; the second
# answers as asked. A plain DNS client is still answered straight back.
control "set 198.18.0.1 mdns_fault none" >/dev/null
control "set 198.18.0.2 mdns_fault none" >/dev/null
control "set 198.18.0.1 mdns_reply multicast" >/dev/null
ask --from 198.18.0.10:5353 --to 224.0.0.251 --id 4670 --qu
check "multicast though asked for unicast" 1 '^via=multicast from=198\.18\.0\.1:5353 id=0 flags=8400 questions=0 problems=0 .*instance=Corvane Zentil-640 '
check "the other printer as asked" 1 '^via=unicast from=198\.18\.0\.2:5353 id=4670 flags=8400 questions=0 problems=0 '
check "nothing else" 2 '^via='
ask --from 198.18.0.10 --to 198.18.0.1 --id 4671
check "legacy querier answered straight back" 1 '^via=unicast from=198\.18\.0\.1:5353 id=4671 flags=8400 questions=1 problems=0 '
check "and only so" 1 '^via='

# mdns_split: PTR, then SRV and TXT, then A, three multicast datagrams in that order.
control "set 198.18.0.1 mdns_split on" >/dev/null
ask --from 198.18.0.10:5353 --to 198.18.0.1 --id 4672 --qu
check "split into three datagrams" 3 '^via=multicast from=198\.18\.0\.1:5353 id=0 flags=8400 questions=0 problems=0 '
equal "what each datagram holds, in order" \
    "$(sed -n 's/^via=.* a=\([^ ]*\) host=\([^ ]*\) instance=\(.*\)$/\1|\2|\3/p' "$out/answers" | tr '\n' ';')" \
    "||Corvane Zentil-640 (ZT640-000001);|ZT640000001.local|;198.18.0.1||;"

# mdns_txt_pad: an answer longer than the veth's MTU goes out in IP fragments and arrives whole.
control "set 198.18.0.1 mdns_split off" >/dev/null
control "set 198.18.0.1 mdns_txt_pad 1760" >/dev/null
ask --from 198.18.0.10:5353 --to 198.18.0.1 --id 4673 --qu
check "answer of 1994 bytes" 1 '^via=multicast from=198\.18\.0\.1:5353 id=0 flags=8400 questions=0 problems=0 bytes=1994 a=198\.18\.0\.1 host=ZT640000001\.local instance=Corvane Zentil-640 \(ZT640-000001\)$'
equal "its size as the printer says" "$(show 198.18.0.1 mdns_last_answer)" 1994

[ $failures -eq 0 ] || { echo "---- simulator log ----"; cat "$out/log"; }
[ -z "${MDNS_NETNS_LOG:-}" ] || cp "$out/log" "$MDNS_NETNS_LOG"  # to read it after a good run too
[ $failures -eq 0 ]  # a count could collide with the skip code
