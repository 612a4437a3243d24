#!/bin/sh
# Installs the build into a scratch prefix, then, as a user would:
#  - builds every program in examples/ with plain cc through pkg-config (warnings are errors)
#    both ways: with the shared library (run/shared) and with the archive (run/static; the
#    --static flags, with the archive named for -lalnforge). Checks that the README shows each
#    program verbatim, and runs the README's transcripts in both folders, on the sample files
#    that examples/ ships;
#  - builds one example through the installed CMake package (tests/cmake_consumer) with each
#    of its two targets and runs both.
set -e
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
python3 "$root/tests/examples/readme_examples.py" "$root/README.md" --check

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# The transcripts run the installed programs, as a user with the prefix on PATH would.
export PATH="$work/prefix/bin:$PATH"
# The transcripts' own cc line builds with the shared library, in both folders.
export LD_LIBRARY_PATH="$work/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
shared_libs=$(pkg-config --libs alnforge)
static_libs=$(pkg-config --libs --static alnforge | sed 's/-lalnforge\b/-l:libalnforge.a/')
for way in shared static; do
  mkdir -p "$work/run/$way"
  cd "$work/run/$way"
  cp "$root"/examples/*.sam "$root"/examples/*.vcf .
  for src in "$root"/examples/*.c; do
    cp "$src" .
    name=$(basename "$src" .c)
    if [ "$way" = shared ]; then libs=$shared_libs; else libs=$static_libs; fi
    # shellcheck disable=SC2086
    cc -std=c99 -Wall -Wextra -Werror -pedantic "$name.c" $(pkg-config --cflags alnforge) $libs \
       -o "$name"
    if readelf -d "$name" | grep -q 'NEEDED.*libalnforge'; then loads=shared; else loads=static; fi
    [ "$loads" = "$way" ] ||
      { echo "examples-test: $name built the $way way links the library $loads" >&2; exit 1; }
  done
  printf '%s: ' "$way"
  python3 "$root/tests/examples/readme_examples.py" "$root/README.md" --run "$work/run/$way"
done
cd "$work"

for f in lib/cmake/alnforge/alnforgeConfig.cmake lib/cmake/alnforge/alnforgeConfigVersion.cmake; do
  [ -f "$work/prefix/$f" ] || { echo "examples-test: $f was not installed" >&2; exit 1; }
done
cmake -S "$root/tests/cmake_consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" -- --no-print-directory >/dev/null
cd "$work/consumer"
want=$(cd "$work/run/static" && ./park spill)
for park in park park_static; do
  # The shared build finds the library through the run path CMake gives it.
  got=$(env -u LD_LIBRARY_PATH "./$park" spill)
  [ -n "$got" ] && [ "$got" = "$want" ] ||
    { printf 'cmake consumer: %s printed\n%s\nbut the pkg-config build printed\n%s\n' "$park" "$got" "$want" >&2; exit 1; }
done
readelf -d park | grep -q 'NEEDED.*libalnforge' && ! readelf -d park_static | grep -q 'NEEDED.*libalnforge' ||
  { echo "cmake consumer: alnforge::alnforge must link the shared library, alnforge::alnforge_static the archive" >&2; exit 1; }
echo "cmake consumer: find_package(alnforge) builds of park ran, shared and static"
