#!/bin/bash
# Usage: with-tls-peers.sh -- COMMAND [arguments...]
#
# Runs COMMAND (a Windows test under Wine) against OpenSSL's s_server, TLS 1.2 with a fresh
# self-signed certificate, on loopback addresses of this run (127.A.B.1 and .2, from the process
# id), and always stops the servers afterwards. The peers:
#   A.B.1:9100   takes one connection and writes what it receives to $TLS_PEER_DIR/received.bin
#   A.B.1:57602  answers one "GET /big.bin HTTP/1.0" with the file $TLS_PEER_DIR/big.bin, then
#                closes the TLS session
#   A.B.2:9100   takes one connection; a second after the handshake it asks for a renegotiation
#                and then sends the line "after"
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
  exec 3>&- 4>&- 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/key.pem" -out "$dir/cert.pem" -days 30 \
  -subj "/CN=TLS test peer" >/dev/null 2>&1 || { echo "with-tls-peers: no certificate"; exit 1; }
head -c 200000 /dev/urandom >"$dir/big.bin"
# Held open here, so the servers' standard input never ends.
mkfifo "$dir/idle" "$dir/control"
exec 3<>"$dir/idle" 4<>"$dir/control"

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

for _ in $(seq 100); do
  [ "$(ss -ltnH "( src $net.1 or src $net.2 )" | wc -l)" -ge 3 ] && break
  sleep 0.05
done
if [ "$(ss -ltnH "( src $net.1 or src $net.2 )" | wc -l)" -lt 3 ]; then
  echo "with-tls-peers: the servers did not start"; cat "$dir"/*.log; exit 1
fi

TLS_PEER_NET="$net" TLS_PEER_DIR="$dir" "$@"
rc=$?
if [ $rc -ne 0 ]; then
  for f in "$dir"/*.log; do echo "---- $(basename "$f") ----"; tail -n 30 "$f"; done
fi
exit $rc
