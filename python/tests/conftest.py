"""Fixtures: every test starts with a fresh simulator and a fast simulated camera."""

import os
from pathlib import Path

import pytest

_ROOT = Path(__file__).resolve().parents[2]
if "KALVEX_LIBRARY" not in os.environ and (_ROOT / "build" / "libkalvex.so.1").is_file():
    os.environ["KALVEX_LIBRARY"] = str(_ROOT / "build" / "libkalvex.so.1")

import kalvex  # noqa: E402
import kalvex.sim  # noqa: E402


@pytest.fixture(autouse=True)
def fresh_simulator():
    kalvex.sim.reset()
    yield
    kalvex.sim.reset()


@pytest.fixture
def sim():
    """Simulated camera 0, plugged, 22 deg C background, 300 frames a second.

    A frame read during capture can expire (its slot reused) when 30 more
    frames come first; tests that read pixels snap() or pause() capture."""
    return kalvex.sim.plug(0, background=22.0, frame_rate=300)


@pytest.fixture
def table(tmp_path):
    path = tmp_path / "table.bin"
    kalvex.sim.write_table(path)
    return path


@pytest.fixture(params=["window", "poll"])
def delivery(request):
    return request.param


@pytest.fixture
def camera(sim, delivery):
    """An open camera on the simulator, frames without sleeps or NUC hold."""
    with kalvex.Camera(delivery=delivery) as cam:
        cam.params.frame_interval_ms = 0
        cam.params.nuc_hold_ms = 0
        yield cam
