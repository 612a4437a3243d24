# varforge: concatenate two BCF files written through htslib, view the result, then a
# concatenation that fails on a missing input.
cd "$DEMO_DIR"
af_fixture bcf part1.bcf 3 1
af_fixture bcf part2.bcf 3 2
echo "== varforge"
show 'varforge cat part1.bcf part2.bcf > joined.bcf'
show 'varforge view joined.bcf | grep -v "^##"'
show 'varforge cat part1.bcf missing.bcf > broken.bcf'
show wc -c broken.bcf
