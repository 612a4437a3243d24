#!/bin/sh
# Installs the build into a scratch prefix, then, as a user would:
#  - builds every program in examples/ with plain cc through pkg-config --static (warnings are
#    errors), checks that the README shows each one verbatim, and runs the README's transcripts
#    of them on inputs written here;
#  - builds one example through the installed CMake package (tests/cmake_consumer) and runs it.
set -e
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
python3 "$root/tests/examples/readme_examples.py" "$root/README.md" --check

mkdir "$work/run"
cd "$work/run"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
for src in "$root"/examples/*.c; do
  cp "$src" .
  name=$(basename "$src" .c)
  cc -std=c99 -Wall -Wextra -Werror -pedantic "$name.c" \
     $(pkg-config --cflags --libs --static alnforge) -o "$name"
done
tab=$(printf '\t')
sed "s/|/$tab/g" > tiny.sam <<'SAM'
@HD|VN:1.6|SO:coordinate
@SQ|SN:chr1|LN:1000
r1|0|chr1|10|60|4M|*|0|0|ACGT|IIII
r2|0|chr1|12|60|2M1D2M|*|0|0|ACGT|IIII
SAM
sed "s/|/$tab/g" > pairs.sam <<'SAM'
@HD|VN:1.6|SO:coordinate
@SQ|SN:chr1|LN:1000
p1|99|chr1|100|60|4M|=|306|210|ACGT|IIII
p2|99|chr1|120|60|4M|=|326|210|ACGT|IIII
p3|83|chr1|150|60|4M|=|396|250|ACGT|IIII
p4|65|chr1|200|60|4M|=|596|400|ACGT|IIII
p1|147|chr1|306|60|4M|=|100|-210|ACGT|IIII
p2|147|chr1|326|60|4M|=|120|-210|ACGT|IIII
p3|163|chr1|396|60|4M|=|150|-250|ACGT|IIII
p4|129|chr1|596|60|4M|=|200|-400|ACGT|IIII
SAM
python3 "$root/tests/examples/readme_examples.py" "$root/README.md" --run "$work/run"

for f in lib/cmake/alnforge/alnforgeConfig.cmake lib/cmake/alnforge/alnforgeConfigVersion.cmake; do
  [ -f "$work/prefix/$f" ] || { echo "examples-test: $f was not installed" >&2; exit 1; }
done
cmake -S "$root/tests/cmake_consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
cd "$work/consumer"
got=$(./park spill)
want=$(cd "$work/run" && ./park spill)
[ -n "$got" ] && [ "$got" = "$want" ] ||
  { printf 'cmake consumer: park printed\n%s\nbut the pkg-config build printed\n%s\n' "$got" "$want" >&2; exit 1; }
echo "cmake consumer: find_package(alnforge) build of park ran"
