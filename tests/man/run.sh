#!/bin/sh
# Checks the manual pages as installed by `make install`:
#  - every installed program, and every alnforge command, has its page under share/man/man1;
#  - groff renders every page without a single warning (-ww);
#  - each page names every option its program accepts, taken from the program itself (option
#    strings and getopt tables in its sources, option lines of its usage text), every command
#    its usage lists and, for flags, every flag name; alnforge(3) names every function that
#    the installed headers declare.
set -e
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cd "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
bin=$prefix/bin
man=$prefix/share/man
pass=0
fail=0
bad() { echo "man-test: $*"; fail=$((fail + 1)); }

# Options a program's sources accept: "-x"/"--word" literals, getopt strings, long-option tables.
# The arguments are file patterns relative to the source tree; one that names no file is
# recorded in $work/unmatched (a moved source must not quietly leave its options unchecked).
source_options() {
  (cd "$root" && for f in $*; do
    if [ -f "$f" ]; then cat "$f"; else echo "$f" >> "$work/unmatched"; fi
  done) > "$work/src"
  grep -ohE '"--?[A-Za-z][-A-Za-z0-9]*"' "$work/src" | tr -d '"'
  grep -ohE 'getopt(_long)?\([^;]*"[^"]*"' "$work/src" | sed -E 's/.*"([^"]*)"$/\1/' |
    tr -d ':+' | fold -w1 | sed 's/^/-/'
  grep -ohE '\{"[a-z][-a-z]*", *(no|required|optional)_argument' "$work/src" |
    sed -E 's/^\{"([^"]*)".*/--\1/'
}
# Options on the option lines of a usage text.
usage_options() { grep -oE '^[[:space:]]+--?[A-Za-z][-A-Za-z0-9]*' | tr -d ' \t'; }

# check PAGE TOKEN...: the rendered page contains each token as a whole word.
check() {
  page=$1
  shift
  groff -man -Tascii -rLL=250n -rHY=0 -P-c -P-b -P-o -P-u "$page" > "$work/page.txt" 2>/dev/null
  for t in $(printf '%s\n' "$@" | sort -u); do
    if grep -qE -- "(^|[^-A-Za-z0-9_])$t([^-A-Za-z0-9_]|$)" "$work/page.txt"; then
      pass=$((pass + 1)); [ -z "$MAN_TEST_VERBOSE" ] || echo "$(basename "$page"): $t"
    else
      bad "$(basename "$page") does not mention $t"
    fi
  done
}

for p in alnforge alnforge-quickcheck alnforge-flags varforge varforge-cat junction_gate fusion_swap mate_tag_strip; do
  [ -f "$man/man1/$p.1" ] || bad "$p.1 was not installed"
done
for prog in "$bin"/*; do
  [ -f "$man/man1/$(basename "$prog").1" ] || bad "no page for the program $(basename "$prog")"
done
commands=$("$bin/alnforge" help | awk '/^Commands:/ { f = 1; next } f && /^  [a-z]/ { print $1 }')
for c in $commands; do
  case $c in help | version) ;; *) [ -f "$man/man1/alnforge-$c.1" ] || bad "no page for alnforge $c" ;; esac
done
[ -f "$man/man3/alnforge.3" ] || bad "alnforge.3 was not installed"

for page in "$man"/man1/*.1 "$man"/man3/*.3; do
  warnings=$(groff -man -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then bad "$(basename "$page"): groff warns: $warnings"; else pass=$((pass + 1)); fi
done

check "$man/man1/alnforge.1" $(source_options alnforge/commands/alnforge.cpp) $commands
check "$man/man1/alnforge-quickcheck.1" $(source_options alnforge/commands/bam_sanity.cpp) \
  $("$bin/alnforge" quickcheck | usage_options)
check "$man/man1/alnforge-flags.1" $(source_options alnforge/commands/flag_convert.cpp) \
  $("$bin/alnforge" flags 2>&1 | awk -F'\t' '/^\t0x/ { split($3, w, " "); print w[1] }')
# varforge(1) for the driver, view and index (and names every command); cat has a page of
# its own, varforge-cat(1), which varforge(1) must point to.
check "$man/man1/varforge.1" \
  $(source_options 'varforge/*.cpp' 'varforge/hts_commands/*.cpp') \
  $("$bin/varforge" 2>&1 | awk '/^Command:/ { print $2 } /^         [a-z]/ { print $1 }') \
  $("$bin/varforge" view --help | usage_options) $("$bin/varforge" index --help | usage_options) \
  'varforge-cat\(1\)'
check "$man/man1/varforge-cat.1" $(source_options 'varforge/join/*.cpp') \
  $("$bin/varforge" cat --help | usage_options)
for t in junction_gate fusion_swap mate_tag_strip; do
  check "$man/man1/$t.1" $(source_options "table_tools/$t.cpp" 'table_tools/*.h') \
    $("$bin/$t" --help 2>&1 | usage_options)
done
check "$man/man3/alnforge.3" $(grep -ohE '^[A-Za-z_][A-Za-z0-9_ *]*[ *][a-z_][a-z0-9_]*\(' \
  "$prefix"/include/alnforge/*.h | sed -E 's/.*[ *]([a-z_][a-z0-9_]*)\($/\1/')
if [ -f "$work/unmatched" ]; then
  while read -r f; do bad "no source file matches $f"; done < "$work/unmatched"
fi

echo "man pages: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
