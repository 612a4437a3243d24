# A sample sheet over the files above, for the workflow (README.md, "Workflow"): s1 is sound,
# s2 names the BAM file cut short. The demo does not run Snakemake; the README shows how.
cd "$DEMO_DIR"
t=tables
printf 'sample\talignments\tshards\tjunctions\tfusions\treads\n' > samples.tsv
printf 's1\tgood.bam\tpart1.bcf\t%s/junctions.tsv\t%s/fusions.tsv\t%s/reads.tsv\n' $t $t $t >> samples.tsv
printf 's2\tgood.bam,truncated.bam\tpart2.bcf\t%s/junctions.tsv\t%s/fusions.tsv\t%s/reads.tsv\n' $t $t $t >> samples.tsv
echo "== workflow: a sample sheet over these files (samples.tsv)"
show cat samples.tsv
