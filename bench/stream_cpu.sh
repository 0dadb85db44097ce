#!/usr/bin/env bash
# CPU of `kalvex stream` (the server process alone, from /proc) over a window
# of S seconds, with no client and with N clients of one mount (the simulated
# camera at 30 frames per second; clients are gst-launch-1.0 processes that
# decode, and their CPU is not counted):
#   bench/stream_cpu.sh KALVEX [N=4] [S=10] [MOUNT=camera0|camera0/raw]
set -euo pipefail
kalvex=$1 clients=${2:-4} seconds=${3:-10} mount=${4:-camera0}
dir=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT
"$kalvex" stream --sim --port 0 --spot 320,240,60,37 --noise 20 >"$dir/urls" 2>"$dir/err" &
server=$!
pids+=("$server")
for _ in $(seq 1 300); do grep -q '/raw$' "$dir/urls" 2>/dev/null && break; sleep 0.1; done
url=$(grep "/$mount\$" "$dir/urls")
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$server/stat"; }
# measure LABEL: the server's share of one core over the window.
measure() {
  local a b
  a=$(cpu); sleep "$seconds"; b=$(cpu)
  awk -v d=$((b - a)) -v t="$ticks" -v s="$seconds" -v l="$1" \
    'BEGIN { printf "%-12s %5.1f %% of one core\n", l, 100 * d / t / s }'
}
sleep 2
measure "0 clients"
case "$mount" in */raw) depay="rtpgstdepay" ;; *) depay="rtph264depay ! avdec_h264" ;; esac
for _ in $(seq 1 "$clients"); do
  gst-launch-1.0 -q rtspsrc location="$url" latency=0 protocols=tcp ! $depay ! fakesink >/dev/null 2>&1 &
  pids+=($!)
done
sleep 3  # connected, decoding
measure "$clients clients"
