#!/usr/bin/env bash
# gst-launch-1.0 pipelines that users copy, checked end to end:
#   launch_test.sh ffv1 DIR    lossless: raw counts through FFV1 in Matroska, decoded
#                              by ffmpeg, equal the frames the element sent
#   launch_test.sh h264 DIR    colour as H.264 in MP4, as ffprobe reads it
# A tool that is missing fails the test: CI installs every one.
set -euo pipefail
mode=$1
dir=$2
mkdir -p "$dir"
for tool in gst-launch-1.0 ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
frames=12
case "$mode" in
  ffv1)
    rm -f "$dir/frames.raw" "$dir/run.mkv" "$dir/decoded.raw"
    gst-launch-1.0 -q kalvexsrc sim=true camera=1 num-buffers=$frames \
        sim-scene="--noise 30 --spot 320,240,60,37" ! tee name=t \
      t. ! queue ! filesink location="$dir/frames.raw" \
      t. ! queue ! avenc_ffv1 ! matroskamux ! filesink location="$dir/run.mkv"
    ffmpeg -v error -y -i "$dir/run.mkv" -fps_mode passthrough -f rawvideo -pix_fmt gray16le \
      "$dir/decoded.raw"
    size=$(stat -c %s "$dir/frames.raw")
    [ "$size" -eq $((frames * 640 * 480 * 2)) ] || { echo "sent $size bytes" >&2; exit 1; }
    cmp "$dir/frames.raw" "$dir/decoded.raw"
    # Noise makes every frame differ from the one before: a stuck frame would show.
    if cmp -s -n $((640 * 480 * 2)) "$dir/frames.raw" <(tail -c +$((640 * 480 * 2 + 1)) "$dir/frames.raw"); then
      echo "the first two frames are identical" >&2
      exit 1
    fi
    ;;
  h264)
    rm -f "$dir/run.mp4"
    gst-launch-1.0 -q -e kalvexsrc sim=true camera=2 num-buffers=$frames output=color \
        sim-scene="--spot 320,240,60,37" ! videoconvert ! \
      x264enc tune=zerolatency speed-preset=ultrafast ! h264parse ! mp4mux ! \
      filesink location="$dir/run.mp4"
    probe=$(ffprobe -v error -select_streams v:0 -count_frames \
      -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$dir/run.mp4")
    [ "$probe" = "h264,640,480,$frames" ] || { echo "ffprobe: $probe" >&2; exit 1; }
    ;;
  *) echo "usage: $0 ffv1|h264 DIR" >&2; exit 2 ;;
esac
echo "ok $mode"
