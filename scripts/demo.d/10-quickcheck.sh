# quickcheck on a good BAM, the same BAM cut short, and a SAM without reference sequences.
cd "$DEMO_DIR"
af_fixture bam good.bam 100
head -c $(( $(stat -c %s good.bam) - 28 )) good.bam > truncated.bam
af_fixture sam-noref noref.sam 5
echo "== alnforge quickcheck"
show alnforge quickcheck good.bam
show alnforge quickcheck -v good.bam truncated.bam noref.sam
show alnforge quickcheck -vvv good.bam truncated.bam noref.sam
