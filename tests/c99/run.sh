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
