#!/usr/bin/python3
"""Live spot meter: prints the temperature at the centre of each frame.

    spot_meter.py --sim              # the simulated camera with a warm body in view
    spot_meter.py --table t.bin      # a real camera and its calibration table

Stop it with Ctrl+C (or --frames N).
"""

import argparse
import os
import sys
import tempfile

import kalvex
import kalvex.sim


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the simulated camera")
    parser.add_argument("--camera", type=int, default=None, help="camera number 0-7")
    parser.add_argument("--table", help="calibration table (with --sim: written for you)")
    parser.add_argument("--frames", type=int, default=None, help="stop after N frames")
    parser.add_argument("--size", type=int, default=5, help="average over an N x N spot")
    args = parser.parse_args()

    table = args.table
    if args.sim:
        sim = kalvex.sim.plug(args.camera or 0, background=22.0, frame_rate=10)
        sim.add_spot(320, 240, 60, 36.6)
        sim.set_temporal_noise(8)
        if table is None:
            table = os.path.join(tempfile.mkdtemp(), "table.bin")
            kalvex.sim.write_table(table)
    if table is None:
        print("a calibration table is needed for temperatures: --table FILE", file=sys.stderr)
        return 2

    half = args.size // 2
    try:
        with kalvex.Camera(args.camera) as camera:
            camera.load_table(table)  # also a NUC: the next 1.2 s of frames are dropped
            print(f"camera {camera.number} ({camera.name}), internal "
                  f"{camera.internal_temperature:.2f} °C; Ctrl+C stops")
            for frame in camera.frames(count=args.frames):
                try:
                    t = frame.temperatures()
                except kalvex.FrameExpired:
                    continue  # this script fell 30 frames behind: take the next one
                spot = t[240 - half:240 + half + 1, 320 - half:320 + half + 1]
                print(f"frame {frame.id & 0xFFFFFFFF:10d}  centre {spot.mean():6.2f} °C"
                      f"  (min {t.min():6.2f}, max {t.max():6.2f})", flush=True)
    except KeyboardInterrupt:
        pass
    except kalvex.KalvexError as error:
        print(f"spot_meter: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
