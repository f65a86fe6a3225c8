#!/bin/bash
# Usage: with-snmpd.sh ADDRESS -- COMMAND [arguments...]
#
# Runs COMMAND with net-snmp's agent listening on ADDRESS:161 (a loopback address), answering
# only the default community "public" and serving the printer's status object with a fixed text
# (exported to COMMAND as SNMPD_TEXT). Always stops the agent afterwards; the exit code is
# COMMAND's.
set -u
address="$1"; shift
[ "${1:-}" = "--" ] || { echo "with-snmpd: missing -- COMMAND" >&2; exit 2; }
shift
snmpd=$(command -v snmpd || echo /usr/sbin/snmpd)
oid=.1.3.6.1.4.1.58213.3.2.1.1
text="MDL:Zentil-640;SN:SNMPD-0001;VER:3.30;PANEL:3.0.0;MODE:NORMAL;SECURITY:0.00;"

dir=$(mktemp -d)
cat >"$dir/snmpd.conf" <<CONF
rocommunity public 127.0.0.0/8
override $oid octet_str "$text"
CONF
SNMP_PERSISTENT_DIR="$dir/state" MIBS= "$snmpd" -f -Lf "$dir/log" -C -c "$dir/snmpd.conf" -r \
    -p "$dir/pid" "udp:$address:161" &
pid=$!
. "$(dirname "$0")/stop-helper.sh"
trap 'stop_and_clean "$pid" "$dir"' EXIT
for _ in $(seq 100); do
  snmpget -v1 -c public -t 0.2 -r 0 "$address" "$oid" >/dev/null 2>&1 && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! snmpget -v1 -c public -t 0.5 -r 0 "$address" "$oid" >/dev/null 2>&1; then
  echo "with-snmpd: the agent did not answer"; cat "$dir/log"; exit 1
fi

SNMPD_TEXT="$text" "$@"
