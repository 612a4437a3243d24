#!/bin/sh
# Installs the build into a scratch prefix, then compiles the C99 consumer with plain `cc`
# against the installed headers and links it only through pkg-config, both ways, and runs it:
#  - `pkg-config --libs alnforge`: the shared library (found at run time through
#    LD_LIBRARY_PATH), whose soname carries the version and which exports every function the
#    headers declare;
#  - `pkg-config --libs --static alnforge`, with the archive named for -lalnforge (the linker
#    would take the shared library beside it): the archive and its private needs alone.
set -e
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/alnforge bin/varforge bin/junction_gate bin/fusion_swap bin/mate_tag_strip \
         lib/libalnforge.a lib/libalnforge.so lib/pkgconfig/alnforge.pc; do
  [ -e "$prefix/$f" ] || { echo "c99-test: $f was not installed" >&2; exit 1; }
done
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cd "$prefix"
soname=libalnforge.so.$(pkg-config --modversion alnforge | cut -d. -f1,2)
readelf -d lib/libalnforge.so | grep -q "SONAME.*\[$soname\]" ||
  { echo "c99-test: the shared library's soname is not $soname" >&2; exit 1; }
[ -f "lib/$soname" ] || { echo "c99-test: lib/$soname was not installed" >&2; exit 1; }
nm -D --defined-only lib/libalnforge.so | awk '{ print $3 }' | sort -u > exported
unexported=$(grep -ohE '^[A-Za-z_][A-Za-z0-9_ *]*[ *][a-z_][a-z0-9_]*\(' include/alnforge/*.h |
  sed -E 's/.*[ *]([a-z_][a-z0-9_]*)\($/\1/' | sort -u | comm -23 - exported)
[ -z "$unexported" ] || { echo "c99-test: libalnforge.so does not export:" $unexported >&2; exit 1; }

cc -std=c99 -Wall -Wextra -Werror -pedantic -I"$here" "$here"/*.c \
   $(pkg-config --cflags --libs alnforge) -o c99_shared
cc -std=c99 -Wall -Wextra -Werror -pedantic -I"$here" "$here"/*.c \
   $(pkg-config --cflags --libs --static alnforge | sed 's/-lalnforge\b/-l:libalnforge.a/') \
   -o c99_static
readelf -d c99_shared | grep -q "NEEDED.*\[$soname\]" ||
  { echo "c99-test: the shared build does not load $soname" >&2; exit 1; }
! readelf -d c99_static | grep -q 'NEEDED.*libalnforge' ||
  { echo "c99-test: the static build loads libalnforge" >&2; exit 1; }
echo 'c99-test: with the shared library'
LD_LIBRARY_PATH="$prefix/lib" ./c99_shared
echo 'c99-test: with the archive'
./c99_static
# A caller that drops a result reporting failure must not build with -Werror.
for call in 'spill_file_destroy(0, 0, 0)' 'plp_feeder_push(0, 0)' 'init_isize_t(0)' \
            'parse_sam_global_opt(0, 0, 0, 0)' 'alnforge_version_short()' 'main_flags(0, 0)'; do
  printf '#include "%s"\n' commands.h fmt_opts.h isize_store.h plp_feeder.h report_util.h \
    spill_file.h > "$prefix/drop.c"
  printf 'void drop(void) { %s; }\n' "$call" >> "$prefix/drop.c"
  if cc -std=c99 -Wall -Werror -c "$prefix/drop.c" -o "$prefix/drop.o" \
       $(pkg-config --cflags alnforge) 2>"$prefix/drop.err" ||
     ! grep -q 'unused-result' "$prefix/drop.err"; then
    echo "c99-test: dropping the result of $call builds without a warning" >&2
    cat "$prefix/drop.err" >&2
    exit 1
  fi
done
