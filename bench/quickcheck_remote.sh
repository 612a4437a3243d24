#!/bin/sh
# quickcheck of 200 BAMs over http at 20 ms per round trip (a delaying proxy in front of a
# local web server that logs every request): one call checking them one by one against one
# call with -j 32. Prints the time of each, the rate ratio (target: at least 15x) and the
# requests and bytes the server sent per check.
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${AF_BIN_DIR:-build/bin}" && pwd)
work=${AF_BUILD_DIR:-build}/bench-quickcheck-remote
files=${QC_REMOTE_FILES:-200}
mkdir -p "$work/www"
work=$(cd "$work" && pwd)
# Small BAMs (a header and three records): the time is that of the round trips, not of
# moving bytes through the proxy, which is written in python.
if [ ! -s "$work/small.bam" ]; then
  "${AF_BUILD_DIR:-build}/benchbin/quickcheck_gen" "$work/big.bam" 1 "$work/small.bam"
  rm -f "$work/big.bam"
fi
i=0
while [ $i -lt "$files" ]; do ln -f "$work/small.bam" "$work/www/f$i.bam"; i=$((i + 1)); done

server_pid= proxy_pid=
stop() {
  for p in $proxy_pid $server_pid; do kill "$p" 2>/dev/null || true; done
  for p in $proxy_pid $server_pid; do wait "$p" 2>/dev/null || true; done
}
trap stop EXIT INT TERM
# Each server prints its port on its first line.
start() {
  f="$work/port.$(basename "$2")"; rm -f "$f"
  "$@" > "$f" &
  last_pid=$!
  n=0
  while [ ! -s "$f" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
  port=$(head -n 1 "$f")
  [ -n "$port" ] || { echo "bench quickcheck_remote: $1 $2 did not start" >&2; exit 1; }
}
start python3 "$src/tests/servers/range_http_server.py" "$work/www" --log "$work/requests.log"
server_pid=$last_pid
start python3 "$src/tests/servers/delay_proxy.py" "$port" --delay-ms 10
proxy_pid=$last_pid

urls=$(i=0; while [ $i -lt "$files" ]; do echo "http://127.0.0.1:$port/f$i.bam"; i=$((i + 1)); done)
now() { date +%s%N; }
# Runs quickcheck with the given options over every URL; sets `us` (wall time in microseconds)
# and `per_check` (requests and bytes the server sent per file).
run() {
  : > "$work/requests.log"
  t0=$(now)
  # shellcheck disable=SC2086
  "$bin/alnforge" quickcheck "$@" $urls || { echo "bench quickcheck_remote: a check failed" >&2; exit 1; }
  t1=$(now)
  us=$(( (t1 - t0) / 1000 ))
  sleep 0.3  # the server logs a request once its connection has ended
  per_check=$(awk -v n="$files" '{ r++; b += $NF } END { printf "%.2f requests, %.0f bytes", r / n, b / n }' "$work/requests.log")
}
run
serial=$us serial_checks=$per_check
best=0
for round in 1 2 3; do
  run -j 32
  if [ $best -eq 0 ] || [ $us -lt $best ]; then best=$us; fi
done
echo "quickcheck $files BAMs ($(stat -c %s "$work/small.bam") bytes each) over http at 20 ms per round trip: one by one ${serial} us ($serial_checks per check); -j 32 ${best} us ($per_check per check); rate ratio $(awk "BEGIN{printf \"%.1f\", $serial/$best}")x (target >= 15)"
