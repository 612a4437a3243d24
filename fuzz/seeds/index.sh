#!/bin/sh
# Seeds for the index reader: htslib's indexes of small BCF and bgzipped VCF files that the
# fixture generator writes, decompressed by the fuzz target in its seed mode. The target lives
# in the fuzz build's fuzzbin/, two levels above the corpus directory; INDEX_FUZZ may name it.
set -e
dir=$1
gen=${2:-$(dirname "$0")/../../build/bin}/af_fixture
bin=${INDEX_FUZZ:-$dir/../../fuzzbin/index_fuzz}
{ [ -x "$gen" ] && [ -x "$bin" ]; } || exit 0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$gen" bcf "$tmp/small.bcf" 6
"$gen" bcf "$tmp/empty.bcf" 0
"$gen" bcf "$tmp/many.bcf" 3000 5
"$gen" vcf.gz "$tmp/small.vcf.gz" 6
"$gen" vcf.gz "$tmp/many.vcf.gz" 3000 5
INDEX_FUZZ_SEEDS="$dir" "$bin" "$tmp"/*
