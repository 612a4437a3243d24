#!/bin/sh
# Seeds for the alignment-file fuzz target: small SAM, BAM and CRAM files and pieces of them.
set -e
dir=$1
gen=${2:-$(dirname "$0")/../../build/bin}/af_fixture
[ -x "$gen" ] || exit 0
"$gen" sam "$dir/seed.sam" 5
"$gen" bam "$dir/seed.bam" 5
"$gen" sam-noref "$dir/seed_noref.sam" 3
head -c 100 "$dir/seed.bam" > "$dir/seed_cut.bam"
