#!/bin/sh
# varforge: concatenate two BCF files written through htslib, then view the result.
set -e
cd "$DEMO_DIR"
af_fixture bcf part1.bcf 3 1
af_fixture bcf part2.bcf 3 2
echo "== varforge"
echo '$ varforge cat part1.bcf part2.bcf > joined.bcf'
varforge cat part1.bcf part2.bcf > joined.bcf
echo '$ varforge view joined.bcf | grep -v "^##"'
varforge view joined.bcf | grep -v '^##'
echo '$ varforge cat part1.bcf missing.bcf > broken.bcf'
if varforge cat part1.bcf missing.bcf 2>&1 >broken.bcf; then
  echo "expected a failure" >&2
  exit 1
else
  echo "exit status $?; broken.bcf holds $(wc -c < broken.bcf) bytes"
fi
