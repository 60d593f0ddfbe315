# Sourced by the benchmark scripts that start a mail sink: a temporary work
# folder in $work, and on exit the sink whose pid is in $sink_pid ended and
# the folder removed, however the script ends.
work=$(mktemp -d)
sink_pid=
cleanup() {
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
