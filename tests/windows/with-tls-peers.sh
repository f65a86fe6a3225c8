#!/bin/bash
# Usage: with-tls-peers.sh -- COMMAND [arguments...]
#
# Runs COMMAND (a Windows test under Wine) against OpenSSL's s_server, TLS 1.2 with a fresh
# self-signed certificate, on loopback addresses of this run (127.A.B.1 to .4, from the process
# id), and always stops the servers afterwards. The peers:
#   A.B.1:9100   takes one connection and writes what it receives to $TLS_PEER_DIR/received.bin
#   A.B.1:57602  answers one "GET /big.bin HTTP/1.0" with the file $TLS_PEER_DIR/big.bin, then
#                closes the TLS session
#   A.B.2:9100   takes one connection; a second after the handshake it asks for a renegotiation
#                and then sends the line "after"
#   A.B.3:9100   takes one connection; a second after the handshake it asks for a renegotiation
#                and then waits for it, sending nothing
#   A.B.4:9100   takes one connection with a certificate of some 25 KB (800 names) behind four
#                intermediates, all sent in its first flight, and answers each line with the line
#                reversed
# COMMAND sees TLS_PEER_NET=127.A.B and TLS_PEER_DIR. The exit code is COMMAND's.
set -u
[ "${1:-}" = "--" ] || { echo "with-tls-peers: missing -- COMMAND" >&2; exit 2; }
shift

net="127.$((150 + ($$ / 250) % 40)).$(($$ % 250))"
dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  exec 3>&- 4>&- 5>&- 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" -days 30 \
  -subj "/CN=TLS test peer" >/dev/null 2>&1 || { echo "with-tls-peers: no certificate"; exit 1; }
# Root, four intermediates and the server's certificate with many names: a first flight of
# about 28 KB, more than one read of the handshake takes in.
chain() {
  local issuer=ca
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -days 30 -subj "/CN=TLS test root" || return 1
  printf 'basicConstraints=critical,CA:true\nkeyUsage=keyCertSign\n' >"$dir/ca.ext"
  for i in 1 2 3 4; do
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$dir/i$i.key" -out "$dir/i$i.csr" \
      -subj "/CN=TLS test intermediate $i" || return 1
    openssl x509 -req -in "$dir/i$i.csr" -CA "$dir/$issuer.pem" -CAkey "$dir/$issuer.key" -set_serial "$i" \
      -out "$dir/i$i.pem" -days 30 -extfile "$dir/ca.ext" || return 1
    issuer=i$i
  done
  cat "$dir"/i4.pem "$dir"/i3.pem "$dir"/i2.pem "$dir"/i1.pem >"$dir/chain.pem"
  printf 'subjectAltName=%s\n' "$(seq -f 'DNS:printer-%04g.example.invalid' 1 800 | paste -sd,)" >"$dir/big.ext"
  openssl req -newkey rsa:2048 -nodes -keyout "$dir/big-key.pem" -out "$dir/big.csr" -subj "/CN=TLS test peer" &&
    openssl x509 -req -in "$dir/big.csr" -CA "$dir/$issuer.pem" -CAkey "$dir/$issuer.key" -set_serial 5 \
      -out "$dir/big-cert.pem" -days 30 -extfile "$dir/big.ext"
}
chain >/dev/null 2>&1 || { echo "with-tls-peers: no certificate chain"; exit 1; }
head -c 200000 /dev/urandom >"$dir/big.bin"
# Held open here, so the servers' standard input never ends.
mkfifo "$dir/idle" "$dir/control" "$dir/control-waiting"
exec 3<>"$dir/idle" 4<>"$dir/control" 5<>"$dir/control-waiting"

# Runs the console lines after the handshake on ADDRESS:PORT.
after_handshake() {
  local where="$1"; shift
  for _ in $(seq 600); do
    ss -tnH state established "( src $where )" | grep -q . && break
    sleep 0.1
  done
  sleep 1
  "$@"
}

tls=(-tls1_2 -cert "$dir/cert.pem" -key "$dir/key.pem" -naccept 1)
openssl s_server -accept "$net.1:9100" "${tls[@]}" -quiet <"$dir/idle" >"$dir/received.bin" 2>"$dir/receiver.log" &
pids+=($!)
(cd "$dir" && exec openssl s_server -accept "$net.1:57602" "${tls[@]}" -HTTP <"$dir/idle" >"$dir/http.log" 2>&1) &
pids+=($!)
openssl s_server -accept "$net.2:9100" "${tls[@]}" <"$dir/control" >"$dir/console.log" 2>&1 &
pids+=($!)
# s_server's console: "r" renegotiates, other lines go to the client.
after_handshake "$net.2:9100" sh -c "printf 'r\n' >&4; sleep 0.5; printf 'after\n' >&4" &
pids+=($!)
openssl s_server -accept "$net.3:9100" "${tls[@]}" <"$dir/control-waiting" >"$dir/console-waiting.log" 2>&1 &
pids+=($!)
after_handshake "$net.3:9100" sh -c "printf 'r\n' >&5" &
pids+=($!)
openssl s_server -accept "$net.4:9100" -tls1_2 -cert "$dir/big-cert.pem" -key "$dir/big-key.pem" \
  -cert_chain "$dir/chain.pem" -naccept 1 -rev <"$dir/idle" >"$dir/chain.log" 2>&1 &
pids+=($!)

listening() { ss -ltnH "( src $net.1 or src $net.2 or src $net.3 or src $net.4 )" | wc -l; }
for _ in $(seq 100); do
  [ "$(listening)" -ge 5 ] && break
  sleep 0.05
done
if [ "$(listening)" -lt 5 ]; then
  echo "with-tls-peers: the servers did not start"; cat "$dir"/*.log; exit 1
fi

TLS_PEER_NET="$net" TLS_PEER_DIR="$dir" "$@"
rc=$?
if [ $rc -ne 0 ]; then
  for f in "$dir"/*.log; do echo "---- $(basename "$f") ----"; tail -n 30 "$f"; done
fi
exit $rc
