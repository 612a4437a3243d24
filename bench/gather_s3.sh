#!/bin/sh
# The gather inside an S3 store: 8 shards of about 12 MB (as htslib writes BCF: each one's first
# records share its header's block) in the S3 test server on 127.0.0.1, joined by
# `varforge cat -o s3+http://...` into an object of the same store, against downloading them,
# joining them here and uploading the result. Prints the time of each, and the bytes the
# join sent and received against the floor S3's 5 MiB part rule sets (5 MiB a shard; target:
# within 10% of it).
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${AF_BIN_DIR:-build/bin}" && pwd)
work=${AF_BUILD_DIR:-build}/bench-gather-s3
shards=${GATHER_S3_SHARDS:-8}
mkdir -p "$work/shards" "$work/got"
work=$(cd "$work" && pwd)
i=0
while [ $i -lt "$shards" ]; do
  if [ ! -s "$work/shards/s$i.bcf" ]; then
    "$bin/af_fixture" bcf "$work/piece.bcf" 100000 $((i + 1))
    p="$work/piece.bcf"
    "$bin/varforge" cat -q --no-sync -o "$work/shards/s$i.bcf" "$p" "$p" "$p" "$p" "$p" "$p" "$p"
  fi
  i=$((i + 1))
done

server_pid=
stop() { [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true; }
trap stop EXIT
rm -rf "$work/store" && mkdir "$work/store"
set -- $(python3 "$src/tests/servers/start" s3 "$work/store")
port=$1 server_pid=$2
s3() { python3 "$src/tests/servers/s3" "$port" "$@"; }
s3 mb bench
urls= locals= bytes=0
i=0
while [ $i -lt "$shards" ]; do
  s3 put bench "s$i.bcf" "$work/shards/s$i.bcf"
  urls="$urls s3+http://bench/s$i.bcf"
  locals="$locals $work/got/s$i.bcf"
  bytes=$((bytes + $(stat -c %s "$work/shards/s$i.bcf")))
  i=$((i + 1))
done
export AWS_ACCESS_KEY_ID=S3RVER AWS_SECRET_ACCESS_KEY=S3RVER HTS_S3_HOST=127.0.0.1:$port \
  HTS_S3_ADDRESS_STYLE=path AWS_DEFAULT_REGION=us-east-1
now() { date +%s.%N; }

t0=$(now)
# shellcheck disable=SC2086
"$bin/varforge" cat -v -o s3+http://bench/joined.bcf $urls 2> "$work/cat.err"
t1=$(now)
i=0
while [ $i -lt "$shards" ]; do
  curl -sSf -o "$work/got/s$i.bcf" "http://127.0.0.1:$port/bench/s$i.bcf"
  i=$((i + 1))
done
# shellcheck disable=SC2086
"$bin/varforge" cat -q --no-sync -o "$work/got/joined.bcf" $locals
s3 put bench joined-here.bcf "$work/got/joined.bcf"
t2=$(now)
curl -sSf -o "$work/got/inside.bcf" "http://127.0.0.1:$port/bench/joined.bcf"
cmp -s "$work/got/inside.bcf" "$work/got/joined.bcf" || { echo "bench gather_s3: the objects differ" >&2; exit 1; }

awk -v t0="$t0" -v t1="$t1" -v t2="$t2" -v n="$shards" -v bytes="$bytes" '
  /MB sent and/ { for (i = 1; i <= NF; i++) { if ($(i) == "sent") sent = $(i - 2); if ($(i) == "received") recv = $(i - 2) } }
  END {
    floor = n * 5 * 1048576 / 1e6
    printf "gather inside S3: %d shards, %.1f MB, their first records sharing their header blocks\n", n, bytes / 1e6
    printf "varforge cat -o s3 %.3f s against download, join, upload %.3f s: %.2f x\n", t1 - t0, t2 - t1, (t2 - t1) / (t1 - t0)
    printf "through this machine: %.1f MB sent, %.1f MB received, for %.1f MB of output; floor %.1f MB each way: %.2f x (target <= 1.10) %s\n", sent, recv, bytes / 1e6, floor, sent / floor, sent / floor <= 1.10 ? "met" : "MISSED"
  }' "$work/cat.err"
