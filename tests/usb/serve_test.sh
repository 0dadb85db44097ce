#!/usr/bin/env bash
# The tool's servers on the emulated USB bus (two cameras; camera 1 is served):
#   serve_test.sh view   KALVEX PRELOAD EMULATE DIR   the viewer's status counts frames
#                                                     and its stream sends JPEGs
#   serve_test.sh stream KALVEX PRELOAD EMULATE DIR   a client reads frames from the
#                                                     raw and H.264 mounts
# Only the server runs under the bus (PRELOAD, EMULATE); clients are plain programs.
set -euo pipefail
mode=$1 kalvex=$2 preload=$3 emulate=$4 dir=$5
mkdir -p "$dir"
for tool in curl gst-launch-1.0; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
server=
cleanup() { [ -n "$server" ] && kill "$server" 2>/dev/null; wait 2>/dev/null || true; }
trap cleanup EXIT

# serve PATTERN ARGS...: starts the server, waits until its output matches PATTERN.
serve() {
  local pattern=$1
  shift
  LD_PRELOAD=$preload KALVEX_USB_EMULATE=$emulate "$kalvex" "$@" >"$dir/out" 2>"$dir/err" &
  server=$!
  for _ in $(seq 1 600); do
    grep -q "$pattern" "$dir/out" 2>/dev/null && return 0
    kill -0 "$server" 2>/dev/null || { cat "$dir/out" "$dir/err" >&2; exit 1; }
    sleep 0.1
  done
  echo "the server printed no address" >&2
  cat "$dir/out" "$dir/err" >&2
  exit 1
}

case "$mode" in
  view)
    serve '^open ' view --usb 1209:6a0e --camera 1 --port 0 --seconds 150
    grep -q '^kalvex view: camera 1, no table' "$dir/out" || { cat "$dir/out" >&2; exit 1; }
    url=$(sed -n 's/^open *//p' "$dir/out")
    url=${url%/}
    # Frames are counted once the hold after the start's NUC is over.
    for _ in $(seq 1 600); do
      frames=$(curl -sf "$url/api/status" | sed -n 's/.*"frames":\([0-9]*\).*/\1/p')
      [ "${frames:-0}" -gt 0 ] && break
      sleep 0.1
    done
    [ "${frames:-0}" -gt 0 ] || { echo "no frames: $(curl -s "$url/api/status")" >&2; exit 1; }
    # One part of the MJPEG stream: a JPEG (its start of image) of a frame.
    { curl -sN --max-time 60 "$url/stream.mjpg" || true; } | head -c 65536 >"$dir/stream"
    grep -qa 'Content-Type: image/jpeg' "$dir/stream" || { echo "no JPEG in the stream" >&2; exit 1; }
    LC_ALL=C grep -qaP '^\xff\xd8\xff' "$dir/stream" || { echo "the part is no JPEG" >&2; exit 1; }
    ;;
  stream)
    serve '/raw$' stream --usb 1209:6a0e --camera 1 --port 0 --seconds 150
    for mount in raw h264; do
      if [ $mount = raw ]; then
        url=$(grep '/camera1/raw$' "$dir/out"); depay="rtpgstdepay ! video/x-raw,format=GRAY16_LE,width=640,height=480"
      else
        url=$(grep '/camera1$' "$dir/out"); depay="rtph264depay ! avdec_h264"
      fi
      out=$(timeout 60 gst-launch-1.0 rtspsrc location="$url" latency=0 protocols=tcp ! $depay ! \
        fakesink num-buffers=5 2>&1) || true
      grep -q 'Got EOS from element "pipeline0"' <<<"$out" || {
        printf '%s\n' "$out" >&2; cat "$dir/err" >&2; exit 1; }
    done
    ;;
  *) echo "usage: $0 view|stream KALVEX PRELOAD EMULATE DIR" >&2; exit 2 ;;
esac
kill "$server"
wait "$server" || true
server=
echo "ok $mode"
