#!/bin/bash
# Usage: with-netns.sh PREFIX|- SIMULATOR [simulator options...] -- PROGRAM.exe [arguments...]
#
# Runs a Windows program under Wine on a network of its own, so that what it multicasts never
# leaves this machine's test namespaces. Two namespaces are made and always removed again:
#   printers  a bridge holding 10.N.0.1 and the printers' addresses 10.N.1.1 to 10.N.1.32 (@1 to
#             @32 in the simulator's options and the program's arguments; a word is read as a
#             whole number, so @12 is never @1 followed by 2, and @0 or @33 is refused); the
#             simulator runs here, serving as many of them as its options name
#   pc        two adapters on that bridge, 10.N.0.2 and 10.N.0.3 (as a PC with wired and wireless
#             on one network), and loopback; the Wine prefix PREFIX runs here
# All of them are on 10.N.0.0/16.
# Wine creates sockets in its wineserver, so the prefix's wineserver is started inside the pc
# namespace, and one prefix serves one namespace at a time. PREFIX is made on first use. With -
# in its place PROGRAM is a Linux program, run in the pc namespace without Wine.
# The program sees SIM_NET=10.N.1 (so @n is SIM_NET.n), SIM_CONTROL=10.N.0.1:PORT and
# PC_ADDRESSES="10.N.0.2 10.N.0.3". The exit code is the program's; 2 for bad usage.
# WITH_NETNS_SIM_LOG=FILE keeps the simulator's log in FILE (it is otherwise removed, its last
# lines shown when the program fails).
# WITH_NETNS_HELD_ADAPTER=1 gives the pc namespace a third adapter on the bridge, vpn with
# 10.N.0.4, whose UDP port 5353 a Linux process of that namespace holds for itself (bound to the
# adapter without SO_REUSEADDR, as another program on a PC may hold it): nothing else can bind
# that port there. The program then sees PC_ADDRESSES="10.N.0.2 10.N.0.3 10.N.0.4" and
# PC_HELD_ADDRESS=10.N.0.4.
set -u
if [ "${1:-}" = - ]; then prefix=""; else prefix=$(realpath -m "$1"); fi
shift
sim="$1"; shift
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
[ "${1:-}" = "--" ] || { echo "with-netns: missing -- PROGRAM" >&2; exit 2; }
shift

# The namespaces' names and the network's number come from WITH_NETNS_ID, by default this
# script's process id. A caller that may have to kill this script sets it (to its own process id),
# so that it can remove cvn-pc-ID and cvn-printers-ID itself afterwards.
id=${WITH_NETNS_ID:-$$}
tag=$(( id % 150 ))  # 10.100 to 10.249: always a valid address
net="10.$(( 100 + tag ))"
ns_printers="cvn-printers-$id"
ns_pc="cvn-pc-$id"
printers=32
# @n (1 to $printers, digits read to their end) becomes the printer's address; an @ without digits
# stays as it is.
substitute() {
  local rest="$1" done="" n
  while [[ "$rest" == *@* ]]; do
    done+="${rest%%@*}"
    rest="${rest#*@}"
    if [[ "$rest" =~ ^([0-9]+)(.*)$ ]]; then
      n="${BASH_REMATCH[1]}"
      rest="${BASH_REMATCH[2]}"
      if ! [[ "$n" =~ ^[1-9][0-9]?$ ]] || [ "$n" -gt $printers ]; then
        echo "with-netns: @$n in '$1': the printers are @1 to @$printers" >&2
        return 1
      fi
      done+="$net.1.$n"
    else
      done+="@"
    fi
  done
  printf '%s' "$done$rest"
}
for i in "${!sim_args[@]}"; do sim_args[$i]=$(substitute "${sim_args[$i]}") || exit 2; done
cmd=()
for a in "$@"; do a=$(substitute "$a") || exit 2; cmd+=("$a"); done
[ ${#cmd[@]} -gt 0 ] || { echo "with-netns: missing PROGRAM after --" >&2; exit 2; }

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
out=$(mktemp -d)
sim_pid=""
holder_pid=""
cleanup() {
  if [ -n "$holder_pid" ]; then kill "$holder_pid" 2>/dev/null; wait "$holder_pid" 2>/dev/null; fi
  if [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; then
    # The simulator joins every thread on SIGTERM; one that does not end within 10 s is killed.
    for _ in $(seq 100); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  [ -n "$prefix" ] && "$wineserver" -k 2>/dev/null
  ip netns del "$ns_pc" 2>/dev/null
  ip netns del "$ns_printers" 2>/dev/null
  [ -n "${WITH_NETNS_SIM_LOG:-}" ] && cp -f "$out/log" "$WITH_NETNS_SIM_LOG" 2>/dev/null
  rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

in_pc() { ip netns exec "$ns_pc" "$@"; }

ip netns add "$ns_printers" && ip netns add "$ns_pc" || { echo "with-netns: cannot make namespaces"; exit 1; }
ip -n "$ns_printers" link add br0 type bridge
ip -n "$ns_pc" link add wired type veth peer name port1 netns "$ns_printers"
ip -n "$ns_pc" link add wireless type veth peer name port2 netns "$ns_printers"
ip -n "$ns_printers" link set port1 master br0
ip -n "$ns_printers" link set port2 master br0
for l in lo br0 port1 port2; do ip -n "$ns_printers" link set "$l" up; done
for l in lo wired wireless; do ip -n "$ns_pc" link set "$l" up; done
ip -n "$ns_printers" addr add "$net.0.1/16" dev br0
for i in $(seq $printers); do echo "addr add $net.1.$i/16 dev br0"; done | ip -n "$ns_printers" -batch - ||
  { echo "with-netns: cannot give the bridge the printers' addresses"; exit 1; }
ip -n "$ns_pc" addr add "$net.0.2/16" dev wired
ip -n "$ns_pc" addr add "$net.0.3/16" dev wireless
pc_addresses="$net.0.2 $net.0.3"
held=""
if [ "${WITH_NETNS_HELD_ADAPTER:-}" = 1 ]; then
  held="$net.0.4"
  pc_addresses+=" $held"
  ip -n "$ns_pc" link add vpn type veth peer name port3 netns "$ns_printers"
  ip -n "$ns_printers" link set port3 master br0
  ip -n "$ns_printers" link set port3 up
  ip -n "$ns_pc" link set vpn up
  ip -n "$ns_pc" addr add "$held/16" dev vpn
  in_pc sysctl -qw net.ipv4.conf.vpn.rp_filter=0
fi
# Each adapter answers for its own address only, and a reply to it comes in through it.
in_pc sysctl -qw net.ipv4.conf.all.arp_ignore=1 net.ipv4.conf.all.arp_announce=2 \
  net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.wired.rp_filter=0 net.ipv4.conf.wireless.rp_filter=0
if [ -n "$held" ]; then
  # SO_BINDTODEVICE is 25 on Linux; the port stays held until this process is killed.
  ip netns exec "$ns_pc" perl -MSocket -e '
    socket(my $s, PF_INET, SOCK_DGRAM, 0) or die "socket: $!\n";
    setsockopt($s, SOL_SOCKET, 25, "vpn") or die "SO_BINDTODEVICE: $!\n";
    bind($s, pack_sockaddr_in(5353, inet_aton($ARGV[0]))) or die "bind: $!\n";
    open(my $ready, ">", $ARGV[1]) or die "$ARGV[1]: $!\n"; close($ready);
    sleep;' "$held" "$out/held" 2>"$out/holder" &
  holder_pid=$!
  for _ in $(seq 100); do [ -f "$out/held" ] && break; kill -0 "$holder_pid" 2>/dev/null || break; sleep 0.05; done
  [ -f "$out/held" ] || { echo "with-netns: cannot hold port 5353 of $held: $(cat "$out/holder")"; exit 1; }
fi

ip netns exec "$ns_printers" "$sim" "${sim_args[@]}" --control "$net.0.1:0" --log "$out/log" >"$out/stdout" 2>&1 &
sim_pid=$!
for _ in $(seq 200); do grep -q ready "$out/stdout" && break; kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
port=$(sed -n 's/.*ready.*control=\([0-9]*\).*/\1/p' "$out/stdout" | head -1)
if [ -z "$port" ]; then
  echo "with-netns: the simulator did not start"; cat "$out/stdout" "$out/log"; exit 1
fi

run=("${cmd[@]}")
if [ -n "$prefix" ]; then
  # A wineserver of this prefix outside the namespace would give the program sockets out there.
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"; mkdir -p "$prefix"
    in_pc "$wine" wineboot -i >/dev/null 2>&1 </dev/null
    in_pc "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 </dev/null
    "$wineserver" -w
    touch "$prefix/.ready"
  fi
  # Wine draws the caption buttons with Marlett; this Wine does not find its own copy, so the
  # close box would show as a letter. The prefix gets one.
  fonts="$prefix/drive_c/windows/Fonts"
  [ -f "$fonts/marlett.ttf" ] || { mkdir -p "$fonts" && cp /usr/share/wine/fonts/marlett.ttf "$fonts/" 2>/dev/null; }
  in_pc "$wineserver" -p30 >/dev/null 2>&1 </dev/null
  in_pc "$wine" cmd /c exit >/dev/null 2>&1 </dev/null
  run=("$wine" "${cmd[@]}")
fi

in_pc env SIM_NET="$net.1" SIM_CONTROL="$net.0.1:$port" PC_ADDRESSES="$pc_addresses" ${held:+PC_HELD_ADDRESS=$held} \
  "${run[@]}"
rc=$?
if [ $rc -ne 0 ]; then echo "---- simulator log ----"; tail -n 60 "$out/log"; fi
exit $rc
