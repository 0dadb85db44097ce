"""Camera(usb=...) against the emulated USB bus that the test run preloads
(KALVEX_USB_EMULATE=1209:6a0e:2: two cameras served by simulated cameras 0 and 1)."""

import os

import numpy as np
import pytest

import kalvex

IDS = (0x1209, 0x6A0E)


def test_the_emulated_bus_is_there():
    # Without it every other case here would test nothing.
    assert os.environ.get("KALVEX_USB_EMULATE", "").startswith("1209:6a0e")


def test_a_usb_camera_gives_the_frames_of_its_engine():
    with kalvex.Camera(1, usb=IDS) as cam:
        assert cam.number == 1
        raw = cam.snap().raw()
    assert raw.shape == (480, 640)
    assert np.all(raw == 8000)  # a 22 degree background


def test_a_camera_beyond_the_bus_is_not_available_and_bad_ids_are_refused():
    with pytest.raises(kalvex.CameraNotAvailable):
        kalvex.Camera(2, usb=IDS)
    for bad in [(0x1209,), (-1, 5), (0x10000, 1), "1209:6a0e"]:
        with pytest.raises(kalvex.InvalidArgument):
            kalvex.Camera(usb=bad)
