# Sourced by the test wrappers: stop_and_clean PID DIR stops a background peer (SIGTERM, then
# SIGKILL after five seconds) and removes its scratch folder.
stop_and_clean() {
  kill "$1" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  rm -rf "$2"
}
