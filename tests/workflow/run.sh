#!/bin/sh
# Runs workflows/Snakefile with --cores 2 --keep-going on data written here: samples s1 and s2
# are sound (s2's shards named by a list file), s3 has a BAM file cut short, s4's sheet line
# names a BAM file that does not exist and s5's a shard (through a list file) and a read table
# that do not exist; s6's shards are URLs on a web server started here (tests/servers/start),
# one named in the sheet and one in a list file. Checks every output of s1, s2 and s6 (s6's
# joined file byte for byte against a join of the same files read locally), and of s5 the
# steps whose files exist; that s3 and s4 got no job past quickcheck; and the report line by
# line; then that the SLURM profile plans the same jobs (a dry run; no scheduler is needed for
# that). Without nginx, s6 is left out with a message, or the test fails when
# AF_SERVERS_REQUIRED is set. KEEP=1 keeps the scratch directory.
set -e
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
web_pid=""
trap '[ -n "$web_pid" ] && kill "$web_pid"; [ -n "$KEEP" ] && echo "kept $work" || rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
export PATH="$work/prefix/bin:$PATH"
cc -std=c99 -Wall -Wextra -Werror "$root/tests/workflow/make_shard.c" -lhts -o "$work/make_shard"
cd "$work"
mkdir data expected
tab=$(printf '\t')
t() { sed "s/|/$tab/g"; }  # tables are written with | for the tab

header='##fileformat=VCFv4.2
##contig=<ID=chr1,length=100000>
##contig=<ID=chr2,length=100000>
##INFO=<ID=DP,Number=1,Type=Integer,Description="Total depth">
##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">
#CHROM|POS|ID|REF|ALT|QUAL|FILTER|INFO|FORMAT|A|B'
for s in 1 2 3 4 5 6; do
  "$build/bin/af_fixture" bam "data/s$s.lane1.bam" 40 "$s"
  "$build/bin/af_fixture" bam "data/s$s.lane2.bam" 40 "1$s"
  for c in 1 2; do
    { echo "$header"; for p in 1 2 3; do
        echo "chr$c|$((p * 100 + s))|v$c$p|A|G|50|PASS|DP=$((p + s))|GT|0/1|1/1"; done; } | t > "data/s$s.chr$c.vcf"
    "$work/make_shard" "data/s$s.chr$c.vcf" "data/s$s.chr$c.bcf"
    grep -hv '^#' "data/s$s.chr$c.vcf" >> "expected/s$s.records"
  done
  t > "data/s$s.junctions.tsv" <<EOT
#name|start|end|chrom|score|strand|a|b|motif|c|left|right|q|d|x|y|ratio|support|e|f
J1|100|350|chr1|5|+|7|8|GT/AG|10|ACGT|TTGA|1.5|3|c|d|0.75|4|4|0.5
J2|200|450|chr1|5|+|7|8|GT/AG|10|ACGT|TTGA|1.5|3|c|d|0.25|4|4|0.5
J3|300|550|chr2|5|-|7|8|CT/AC|10|ACGT|TTGA|1.5|3|c|d|0.5|12|4|0.5
EOT
  printf 'BCR\tchr22\t----\t----\tABL1\tchr9  \nEML4\tchr2\t----\t----\tALK\tchr2\n' > "data/s$s.fusions.tsv"
  printf 'r%s/1\t99\tchr1\nr%s/2\t147\tchr1\nx/3\t0\tchr2\n' "$s" "$s" > "data/s$s.reads.tsv"
done
# Cut s3's second BAM file short: its end-of-file block is gone.
size=$(wc -c < data/s3.lane2.bam)
head -c $((size - 28)) data/s3.lane2.bam > data/cut && mv data/cut data/s3.lane2.bam
rm data/s4.lane2.bam data/s5.chr2.bcf data/s5.reads.tsv

# s6's shards, served over http.
samples="1 2 3 4 5"
started=0
server=$("$root/tests/servers/start" web "$work/data" 2> start.log) || started=$?
if [ "$started" -eq 0 ]; then
  port=${server% *} web_pid=${server#* } samples="$samples 6"
elif [ "$started" -eq 77 ] && [ -z "$AF_SERVERS_REQUIRED" ]; then
  echo "workflow: s6 (shards over http) skipped: $(cat start.log)"
else
  echo "workflow-test: no web server for s6: $(cat start.log)"; exit 1
fi
url=http://127.0.0.1:$port
printf 'data/s2.chr1.bcf\n\n  data/s2.chr2.bcf\n' > data/s2.shards
echo data/s5.chr2.bcf > data/s5.shards
echo "$url/s6.chr2.bcf" > data/s6.shards
{ echo "sample|alignments|shards|junctions|fusions|reads"
  for s in $samples; do
    case $s in
      2) shards=@data/s2.shards ;;
      5) shards=data/s5.chr1.bcf,@data/s5.shards ;;
      6) shards=$url/s6.chr1.bcf,@data/s6.shards ;;
      *) shards=data/s$s.chr1.bcf,data/s$s.chr2.bcf ;;
    esac
    echo "s$s|data/s$s.lane1.bam,data/s$s.lane2.bam|$shards|data/s$s.junctions.tsv|data/s$s.fusions.tsv|data/s$s.reads.tsv"
  done; } | t > samples.tsv
cp "$root/workflows/config.yaml" config.yaml

start=$(date +%s)
status=0
snakemake -s "$root/workflows/Snakefile" --configfile config.yaml --cores 2 --keep-going \
  > snakemake.log 2>&1 || status=$?
echo "workflow: ran in $(( $(date +%s) - start )) s"

pass=0
fail=0
bad() { echo "workflow-test: $*"; fail=$((fail + 1)); }
ok() { pass=$((pass + 1)); }
same() {  # same FILE EXPECTED-TEXT
  if [ ! -f "$1" ]; then bad "$1 is missing"
  elif [ "$(cat "$1")" != "$2" ]; then bad "$1 holds:"; cat "$1"; echo "--- expected:"; echo "$2"
  else ok; fi
}
[ "$status" -ne 0 ] && ok || bad "snakemake succeeded although s3 has a truncated BAM file"
for s in 1 2 5 ${web_pid:+6}; do
  r=results/s$s
  if [ "$s" != 5 ]; then
    varforge view "$r/variants.bcf" > "$r.vcf" 2>&1 || true
    grep -v '^#' "$r.vcf" > "$r.records" || true
    same "$r.records" "$(cat "expected/s$s.records")"
    grep -q "^#CHROM${tab}.*${tab}A${tab}B$" "$r.vcf" && ok || bad "$r/variants.bcf: header lost"
    [ -s "$r/variants.bcf.csi" ] && ok || bad "$r/variants.bcf.csi is missing"
    same "$r/reads.stripped.tsv" "$(printf 'r%s\t99\tchr1\nr%s\t147\tchr1\nx/3\t0\tchr2' "$s" "$s")"
  fi
  same "$r/junctions.passing.tsv" "$(sed -n '1p;2p' "data/s$s.junctions.tsv")"
  same "$r/junctions.rejected.tsv" "$(sed -n '1p;3p;4p' "data/s$s.junctions.tsv")"
  same "$r/junctions.counts.txt" "in filtered 1hits junction: 1
not in filtered 1hits junction: 2"
  same "$r/fusions.swapped.tsv" "$(printf 'ABL1\tchr9\t----\t----\tBCR\tchr22\nALK\tchr2\t----\t----\tEML4\tchr2')"
done
for s in 3 4; do
  [ ! -e results/s$s ] && ok || bad "s$s got jobs after its quickcheck failed: $(ls results/s$s)"
done
[ ! -e results/s5/variants.bcf ] && [ ! -e results/s5/reads.stripped.tsv ] && ok ||
  bad "s5 has outputs of steps whose input files are missing: $(ls results/s5)"
if [ -n "$web_pid" ]; then
  varforge cat -q -W -o local6.bcf data/s6.chr1.bcf data/s6.chr2.bcf
  cmp local6.bcf results/s6/variants.bcf && ok || bad "s6's shards read over http joined otherwise than read locally"
fi
all="quickcheck,join_shards,junction_gate,fusion_swap,mate_tag_strip"
same results/report.tsv "$(t <<EOT
sample|result|passed|failed|not_run|why
s1|passed|$all|-|-|-
s2|passed|$all|-|-|-
s3|failed|-|quickcheck|join_shards,junction_gate,fusion_swap,mate_tag_strip|data/s3.lane2.bam: quickcheck status 0x10 (data/s3.lane2.bam was missing EOF block when one should be present.)
s4|failed|-|quickcheck|join_shards,junction_gate,fusion_swap,mate_tag_strip|data/s4.lane2.bam: quickcheck status 0x2 (data/s4.lane2.bam could not be opened for reading.)
s5|failed|quickcheck,junction_gate,fusion_swap|join_shards,mate_tag_strip|-|join_shards: missing input file: data/s5.chr2.bcf; mate_tag_strip: missing input file: data/s5.reads.tsv
EOT
[ -z "$web_pid" ] || echo "s6|passed|$all|-|-|-" | t)"

# The cluster profile: the same rules, planned as SLURM jobs.
snakemake -s "$root/workflows/Snakefile" --configfile config.yaml \
  --profile "$root/workflows/profiles/slurm" --dry-run > dryrun.log 2>&1 && ok ||
  bad "the SLURM profile's dry run failed"
if [ "$fail" -ne 0 ]; then
  echo "--- snakemake output:"; cat snakemake.log; cat dryrun.log
fi
echo "workflow: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
