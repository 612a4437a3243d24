#!/bin/sh
# quickcheck reads no records, so checking a ~1 GiB BAM must cost about what checking a
# ~1 KiB BAM costs. Also: 1,000 small BAMs in one call, against `cat` of the same files.
set -e
bin=$(cd "${AF_BIN_DIR:-build/bin}" && pwd)
work=${AF_BUILD_DIR:-build}/bench-quickcheck
mkdir -p "$work"
if [ ! -s "$work/big.bam" ]; then
  "${AF_BUILD_DIR:-build}/benchbin/quickcheck_gen" "$work/big.bam" 1024 "$work/small.bam"
fi
if [ ! -s "$work/many/f999.bam" ]; then
  mkdir -p "$work/many"
  i=0
  while [ $i -lt 1000 ]; do cp "$work/small.bam" "$work/many/f$i.bam"; i=$((i + 1)); done
fi
now() { date +%s%N; }
# Best of 7 runs, in microseconds.
best() {
  b=0; n=0
  while [ $n -lt 7 ]; do
    t0=$(now); "$@" >/dev/null; t1=$(now)
    d=$(( (t1 - t0) / 1000 ))
    if [ $b -eq 0 ] || [ $d -lt $b ]; then b=$d; fi
    n=$((n + 1))
  done
  echo $b
}
small=$(best "$bin/alnforge" quickcheck "$work/small.bam")
big=$(best "$bin/alnforge" quickcheck "$work/big.bam")
echo "quickcheck small BAM ($(stat -c %s "$work/small.bam") bytes): ${small} us; big BAM ($(stat -c %s "$work/big.bam") bytes): ${big} us; big/small ratio $(awk "BEGIN{printf \"%.2f\", $big/$small}") (target <= 1.5)"
cd "$work/many"
qc=$(best "$bin/alnforge" quickcheck f*.bam)
ct=$(best cat f*.bam)
echo "quickcheck 1000 small BAMs in one call: ${qc} us = $(awk "BEGIN{printf \"%.0f\", 1000/($qc/1e6)}") files/s; cat of the same files: ${ct} us = $(awk "BEGIN{printf \"%.0f\", 1000/($ct/1e6)}") files/s; quickcheck/cat time ratio $(awk "BEGIN{printf \"%.2f\", $qc/$ct}")"
