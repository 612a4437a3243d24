#!/bin/sh
# alnforge flags: a flag value by number, by names, and an argument it cannot read.
err="${DEMO_DIR:-/tmp}/flags.err"
echo "== alnforge flags"
for arg in 99 0x63 REVERSE,SECONDARY NOSUCHFLAG; do
  echo "\$ alnforge flags $arg"
  status=0
  alnforge flags "$arg" 2>"$err" || status=$?
  # After an error line comes the whole usage text; its first lines are enough here.
  head -n 3 "$err"
  echo "exit status: $status"
done
