# varforge: concatenate two BCF files written through htslib, view the result, then a
# concatenation that fails on a missing input and leaves the earlier result in place, and
# standard input as an input.
cd "$DEMO_DIR"
af_fixture bcf part1.bcf 3 1
af_fixture bcf part2.bcf 3 2
echo "== varforge"
show 'varforge cat -o joined.bcf part1.bcf part2.bcf'
show 'varforge view joined.bcf | grep -v "^##"'
# A failed join with -o leaves the file it would have replaced as it was.
show 'varforge cat -o joined.bcf part1.bcf missing.bcf'
show 'varforge view joined.bcf | grep -vc "^#"'
# Standard input works when it is redirected from a file; a pipe is refused, nothing written.
show 'varforge cat part1.bcf - < part2.bcf | cmp - joined.bcf && echo "same bytes as joined.bcf"'
show 'cat part2.bcf | varforge cat part1.bcf - > piped.bcf'
