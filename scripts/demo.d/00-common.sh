# Shared by the demo parts, which are sourced, not run. `show CMD ARG...` prints the command,
# runs it, then prints its standard output, its standard error and its exit status.
# `show 'CMD LINE'` (one argument) runs a shell command line, for pipes and redirections.
show() {
  echo "\$ $*"
  if [ $# -eq 1 ]; then
    eval "$1"
  else
    "$@"
  fi >"$DEMO_DIR/.out" 2>"$DEMO_DIR/.err"
  rc=$?
  if [ -s "$DEMO_DIR/.out" ]; then echo "[stdout]"; cat "$DEMO_DIR/.out"; fi
  if [ -s "$DEMO_DIR/.err" ]; then echo "[stderr]"; cat "$DEMO_DIR/.err"; fi
  echo "[exit status $rc]"
  echo
}
