# Sourced by the display step of the screenshot scripts (docs/make-*.sh),
# on the virtual display: starts a window manager (for the frames and
# captions; its process id in $wm) and defines `window NAME`, which waits
# (bounded) until a window with this name is mapped and prints its id.
openbox >/dev/null 2>&1 </dev/null &
wm=$!
window() {
  for _ in $(seq 100); do
    id=$(xwininfo -root -tree 2>/dev/null | grep -E "^ +0x[0-9a-f]+ \"$1" | awk '{print $1}' | head -n 1) || true
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.1
  done
  echo "no window '$1'" >&2
  return 1
}
