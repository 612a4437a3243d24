#!/bin/sh
# Seeds for the junction line fuzz target: whole junction lines and broken ones.
set -e
dir=$1
printf 'r1\t10\t20\tchr1\t5\t+\t7\t8\tx\t10\ta\tb\t1.5\t3\tc\td\t0.75\t12\t4\t0.5' > "$dir/line_tabs"
printf 'r1 10 20 chr1 5 + 7 8 x 10 a b 1.5 3 c d 0x1p-1 70000 4 nan extra' > "$dir/line_spaces"
printf 'r1\t-1\t+2\tc\t5\t-\t7\t8\tx\t10\ta\tb\t1e5\t3\tc\td\tinfinity\t-1\t4\tinf' > "$dir/line_signs"
printf 'r1\t1x\t2\tchr1' > "$dir/line_short"
printf '  \t \r ' > "$dir/line_blank"
printf 'a 1 2 b 3 c 4 5 d 6 e f 0x.8p1 7 g h -nan(1) 99999999999999999999 1 1e' > "$dir/line_odd"
