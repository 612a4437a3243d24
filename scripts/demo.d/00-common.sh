# Shared by the demo parts: `show CMD...` prints the command, its standard output,
# its standard error and its exit status.
show() {
  echo "\$ $*"
  "$@" >"$DEMO_DIR/.out" 2>"$DEMO_DIR/.err"
  rc=$?
  if [ -s "$DEMO_DIR/.out" ]; then echo "[stdout]"; cat "$DEMO_DIR/.out"; fi
  if [ -s "$DEMO_DIR/.err" ]; then echo "[stderr]"; cat "$DEMO_DIR/.err"; fi
  echo "[exit status $rc]"
  echo
}
