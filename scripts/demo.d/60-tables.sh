# The three table programs on small tables.
cd "$DEMO_DIR"
mkdir -p tables && cd tables

echo "== junction_gate: column 17 at least 0.5 and column 18 below 10 pass"
printf '#name\tstart\tend\tchrom\tscore\tstrand\ta\tb\tmotif\tc\tleft\tright\tq\td\tx\ty\tratio\tsupport\te\tf\n' > junctions.tsv
printf 'J1\t100\t350\tchr1\t5\t+\t7\t8\tGT/AG\t10\tACGT\tTTGA\t1.5\t3\tc\td\t0.75\t4\t4\t0.5\n' >> junctions.tsv
printf 'J2\t200\t450\tchr1\t5\t+\t7\t8\tGT/AG\t10\tACGT\tTTGA\t1.5\t3\tc\td\t0.25\t4\t4\t0.5\n' >> junctions.tsv
printf 'J3\t300\t550\tchr2\t5\t-\t7\t8\tCT/AC\t10\tACGT\tTTGA\t1.5\t3\tc\td\t0.5\t12\t4\t0.5\n' >> junctions.tsv
printf '\nJ4 400 650 chr2 5 - 7 8 CT/AC 10 ACGT TTGA 1.5 3 c d nan 9 4 0.5\n' >> junctions.tsv
show cat junctions.tsv
show junction_gate junctions.tsv 10 0.5 passing.tsv rejected.tsv
show cat passing.tsv
show cat rejected.tsv
show junction_gate junctions.tsv 10 0.5 passing.tsv junctions.tsv
show junction_gate junctions.tsv 10 0.5 both.tsv both.tsv

echo "== fusion_swap: the halves around the first separator change places"
printf 'BCR\tchr22\t23632600\t----\t----\tABL1\tchr9\t130713946  \n' > fusions.tsv
printf 'EML4\tchr2\t42522656\t----\t----\tALK\tchr2\t29446394\t----\t----\textra\n' >> fusions.tsv
printf 'no separator on this line\n' >> fusions.tsv
show cat fusions.tsv
show fusion_swap fusions.tsv swapped.tsv
show cat swapped.tsv

echo "== mate_tag_strip: /1 and /2 leave the first field"
printf 'read1/1\t99\tchr1\t100\nread1/2\t147\tchr1\t300\nr/3\t0\tchr2\t5\n/1\t0\tchr2\t7\nx\ty/2\n' > reads.tsv
show cat reads.tsv
show mate_tag_strip reads.tsv stripped.tsv
show cat stripped.tsv
show mate_tag_strip missing.tsv stripped.tsv
