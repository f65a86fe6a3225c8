#!/bin/bash
# OpenSSL's s_client completes a TLS 1.2 handshake on the data and panel ports of a printer with
# security on. Starts its own simulator on an address of its own and always stops it.
set -u
sim="$1"
out=$(mktemp -d)
"$sim" --printer 127.0.7.2,tls=on >"$out/stdout" 2>"$out/log" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$out"' EXIT
for _ in $(seq 100); do grep -q ready "$out/stdout" && break; sleep 0.1; done
grep -q ready "$out/stdout" || { echo "simulator did not start"; cat "$out/log"; exit 1; }

failures=0
for port in 9100 57602; do
    got=$(timeout 20 openssl s_client -connect 127.0.7.2:$port -tls1_2 </dev/null 2>&1)
    if grep -q 'Protocol *: TLSv1.2' <<<"$got" && grep -q 'Verify return code: 18' <<<"$got"; then
        echo "ok: TLS 1.2 with a self-signed certificate on port $port"
    else
        echo "FAIL: port $port"; echo "$got" | head -40; failures=$((failures + 1))
    fi
done
[ $failures -eq 0 ] || cat "$out/log"
exit $failures
