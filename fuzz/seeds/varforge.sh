#!/bin/sh
# Seeds for the variant-file library fuzz target: small BCF and bgzipped VCF files and
# pieces of them.
set -e
dir=$1
gen=${2:-$(dirname "$0")/../../build/bin}/af_fixture
[ -x "$gen" ] || exit 0
"$gen" bcf "$dir/seed.bcf" 4
"$gen" bcf "$dir/seed_empty.bcf" 0
"$gen" vcf.gz "$dir/seed.vcf.gz" 2
head -c 60 "$dir/seed.bcf" > "$dir/seed_cut.bcf"
