#!/bin/sh
# Installs the build into a scratch prefix, then compiles the C99 consumer with plain `cc`
# against the installed headers, linked only through pkg-config --static, and runs it.
set -e
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/alnforge bin/varforge bin/junction_gate bin/fusion_swap bin/mate_tag_strip \
         lib/libalnforge.a lib/pkgconfig/alnforge.pc; do
  [ -e "$prefix/$f" ] || { echo "c99-test: $f was not installed" >&2; exit 1; }
done
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cd "$prefix"
cc -std=c99 -Wall -Wextra -Werror -pedantic -I"$here" "$here"/*.c \
   $(pkg-config --cflags --libs --static alnforge) -o "$prefix/c99_consumer"
"$prefix/c99_consumer"
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
