#!/usr/bin/python3
"""Captures a few frames of the simulated scene and saves a matplotlib figure:
the colour image beside a temperature map with a colour bar in °C, and a
histogram of the temperatures.

    thermal_figure.py [OUTPUT.png]     (default: thermal-figure.png)
"""

import os
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")  # files only, no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import kalvex  # noqa: E402
import kalvex.sim  # noqa: E402


def simulated_scene() -> str:
    """The simulator's demo scene (with its sensor noise), and a matching table."""
    sim = kalvex.sim.plug(0, frame_rate=30)
    sim.demo_scene()
    table = os.path.join(tempfile.mkdtemp(), "table.bin")
    kalvex.sim.write_table(table)
    return table


def main() -> int:
    output = sys.argv[1] if len(sys.argv) > 1 else "thermal-figure.png"
    table = simulated_scene()
    with kalvex.Camera() as camera:
        camera.params.nuc_hold_ms = 0
        camera.load_table(table)
        temperatures = np.zeros((kalvex.HEIGHT, kalvex.WIDTH), np.float32)
        for frame in camera.frames(count=10):
            camera.pause()  # keep the frame's slot while it is copied out
            frame.temperatures(out=temperatures)
            color = frame.color()
            camera.resume()

    fig = plt.figure(figsize=(13, 7.5), layout="constrained")
    grid = fig.add_gridspec(2, 2, height_ratios=[3, 1.4])
    left, right = fig.add_subplot(grid[0, 0]), fig.add_subplot(grid[0, 1])
    left.imshow(color)
    left.set_title("Colour image (Frame.color())")
    image = right.imshow(temperatures, cmap="inferno")
    right.set_title("Temperatures (Frame.temperatures())")
    fig.colorbar(image, ax=right, label="°C", shrink=0.9)
    cy, cx = 140, 421  # the face of the demo scene
    right.plot(cx, cy, "c+", markersize=14)
    spot = temperatures[cy - 2:cy + 3, cx - 2:cx + 3].mean()  # 5 x 5 pixels
    right.annotate(f"{spot:.1f} °C", (cx, cy), xytext=(12, -12),
                   textcoords="offset points", color="cyan")
    for axes in (left, right):
        axes.set_xticks([])
        axes.set_yticks([])
    histogram = fig.add_subplot(grid[1, :])
    histogram.hist(temperatures.ravel(), bins=np.arange(0.0, 85.5, 0.5), color="#c0502c")
    histogram.set_yscale("log")
    histogram.set_xlabel("°C")
    histogram.set_ylabel("pixels")
    histogram.set_title("Histogram of the temperatures")
    fig.suptitle("Kalvex simulated camera from Python: last of 10 frames")
    fig.savefig(output, dpi=80)
    print(f"saved {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
