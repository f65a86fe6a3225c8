#!/bin/bash
# The certificates printers present, as OpenSSL's s_client sees them on TCP 9100: the shared one,
# self-signed ones by name (one name, one certificate; a new name renews a printer's), and those
# the run's test authority (--issuer-out) issues to the printer or to somebody else. Starts its
# own simulator on addresses of its own and always stops it.
set -u
sim="$1"
out=$(mktemp -d)
a=127.0.8.2 b=127.0.8.3 c=127.0.8.4 d=127.0.8.5
"$sim" --control 127.0.0.1:0 --issuer-out "$out/issuer.pem" --printer $a,tls=on --printer $b,tls=on \
       --printer $c,tls=on,serial=ZT640-000777,certificate=issued \
       --printer $d,tls=on,certificate=issued-elsewhere >"$out/stdout" 2>"$out/log" &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$out"' EXIT
for _ in $(seq 100); do grep -q ready "$out/stdout" && break; sleep 0.1; done
grep -q ready "$out/stdout" || { echo "simulator did not start"; cat "$out/log"; exit 1; }
port=$(sed -n 's/^ready control=//p' "$out/stdout")

control() {  # one command on the control port; its answer up to OK or ERR
    exec 3<>/dev/tcp/127.0.0.1/"$port"
    echo "$1" >&3
    timeout 10 sed '/^OK$/q; /^ERR/q' <&3
    exec 3<&-
}
show() { control "show $1" | sed -n "s/^$2=//p"; }
set_certificate() { control "set $1 certificate $2" | grep -qx OK || echo "FAIL: set $1 certificate $2"; }
# The certificate a client gets from ADDRESS:9100 (PEM), and its SHA-256 fingerprint as show gives it.
seen() { timeout 20 openssl s_client -connect "$1:9100" </dev/null 2>/dev/null | openssl x509 2>/dev/null; }
fingerprint() { seen "$1" | openssl x509 -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' | tr A-F a-f; }
# The handshake with the authority as the only trusted root and the given name checks.
verified() { timeout 20 openssl s_client -connect "$1:9100" -verify_return_error -CAfile "$out/issuer.pem" "${@:2}" \
                 </dev/null >/dev/null 2>&1; }

failures=0
check() {  # check WHAT COMMAND...
    if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}

shared=$(fingerprint $a)
check "a fingerprint is seen" [ ${#shared} -eq 64 ]
check "two printers with 'shared' present the same certificate" [ "$(fingerprint $b)" = "$shared" ]
check "show names the certificate and its fingerprint" \
    [ "$(show $a certificate) $(show $a certificate_sha256)" = "shared $shared" ]

set_certificate $a renewed
renewed=$(fingerprint $a)
check "'renewed' changes the certificate" [ ${#renewed} -eq 64 -a "$renewed" != "$shared" ]
check "show gives the fingerprint the client sees" \
    [ "$(show $a certificate) $(show $a certificate_sha256)" = "renewed $renewed" ]
check "the other printer keeps the shared one" [ "$(fingerprint $b)" = "$shared" ]
set_certificate $b renewed
check "two printers with the same name present the same certificate" [ "$(fingerprint $b)" = "$renewed" ]
set_certificate $a shared
check "'shared' is the same certificate for the whole run" [ "$(fingerprint $a)" = "$shared" ]

openssl x509 -in "$out/issuer.pem" -noout -ext basicConstraints,keyUsage >"$out/authority" 2>&1
check "--issuer-out holds a certificate authority" grep -q 'CA:TRUE' "$out/authority"
check "that signs certificates" grep -q 'Certificate Sign' "$out/authority"

seen $c >"$out/issued.pem"
check "'issued' verifies against the authority for a server" \
    openssl verify -CAfile "$out/issuer.pem" -purpose sslserver "$out/issued.pem"
check "'issued' names the printer's address and mDNS host" \
    grep -q "IP Address:$c, DNS:ZT640000777.local" <(openssl x509 -in "$out/issued.pem" -noout -ext subjectAltName)
check "s_client accepts 'issued' for the address" verified $c -verify_ip $c
check "s_client accepts 'issued' for the host" verified $c -verify_hostname ZT640000777.local
check "'issued' is not the shared certificate" [ "$(show $c certificate_sha256)" != "$shared" ]
control "set $c mdns_host press-7" >/dev/null
check "'issued' follows the host name" verified $c -verify_hostname press-7.local
check "s_client refuses the shared certificate" eval '! verified $a'

seen $d >"$out/elsewhere.pem"
check "'issued-elsewhere' comes from the authority" openssl verify -CAfile "$out/issuer.pem" "$out/elsewhere.pem"
check "'issued-elsewhere' names another address and host" \
    grep -q "IP Address:192.0.2.1, DNS:elsewhere.local" <(openssl x509 -in "$out/elsewhere.pem" -noout -ext subjectAltName)
check "s_client refuses 'issued-elsewhere' for the address" eval '! verified $d -verify_ip $d'
check "s_client refuses 'issued-elsewhere' for the host" eval '! verified $d -verify_hostname ZT640000001.local'
check "yet takes it for the name it has" verified $d -verify_hostname elsewhere.local

[ $failures -eq 0 ] || cat "$out/log"
exit $failures
