#!/bin/sh
# Seeds for the spill file reader: files the module itself wrote, each behind the byte that
# shapes the handle, written by the fuzz target in its seed mode. The target lives in the
# fuzz build's fuzzbin/, two levels above the corpus directory; SPILL_FUZZ may name it.
set -e
dir=$1
bin=${SPILL_FUZZ:-$dir/../../fuzzbin/spill_fuzz}
if [ -x "$bin" ]; then
  SPILL_FUZZ_SEEDS="$dir" "$bin"
else
  # Without the target: an empty file (the terminator alone) under the start shape.
  printf '\000\000\000\000\000\000\000\000\000' > "$dir/spill_empty"
fi
